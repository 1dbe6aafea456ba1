#include "Encoder.h"

#include <climits>
#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char kPadValue = 64;
constexpr unsigned char kInvalidValue = 127;

constexpr std::array<unsigned char, 64> makeEncMap() {
    std::array<unsigned char, 64> map{};
    for (std::size_t i = 0; i < map.size(); ++i) {
        map[i] = static_cast<unsigned char>(kAlphabet[i]);
    }
    return map;
}

constexpr std::array<unsigned char, 128> makeDecMap() {
    std::array<unsigned char, 128> map{};
    for (auto& value : map) {
        value = kInvalidValue;
    }
    for (std::size_t i = 0; i < 64; ++i) {
        map[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
    }
    map[static_cast<unsigned char>('=')] = kPadValue;
    return map;
}

// Line breaks the decoder steps over: the CR of a CR LF pair, and every LF.
bool isSkippedLineBreak(const unsigned char* src, int i, int slen) {
    if (src[i] == '\n') {
        return true;
    }
    return src[i] == '\r' && i + 1 < slen && src[i + 1] == '\n';
}

} // namespace

const std::array<unsigned char, 64> base64_enc_map = makeEncMap();
const std::array<unsigned char, 128> base64_dec_map = makeDecMap();

int base64_encode(unsigned char* dst, int* dlen, const unsigned char* src, int slen) {
    if (dlen == nullptr || slen < 0 || (slen > 0 && src == nullptr)) {
        return -1;
    }
    if (slen == 0) {
        return 0;
    }
    const int64_t textLength = 4 * ((static_cast<int64_t>(slen) + 2) / 3);
    if (textLength + 1 > INT_MAX) {
        // More than any int-sized buffer can hold.
        *dlen = INT_MAX;
        return -1;
    }
    if (*dlen < textLength + 1) {
        *dlen = static_cast<int>(textLength + 1);
        return -1;
    }
    if (dst == nullptr) {
        return -1;
    }

    unsigned char* out = dst;
    int i = 0;
    for (; i + 3 <= slen; i += 3) {
        const uint32_t group = (static_cast<uint32_t>(src[i]) << 16) |
                               (static_cast<uint32_t>(src[i + 1]) << 8) | static_cast<uint32_t>(src[i + 2]);
        out[0] = base64_enc_map[(group >> 18) & 0x3F];
        out[1] = base64_enc_map[(group >> 12) & 0x3F];
        out[2] = base64_enc_map[(group >> 6) & 0x3F];
        out[3] = base64_enc_map[group & 0x3F];
        out += 4;
    }
    const int rest = slen - i;
    if (rest > 0) {
        uint32_t group = static_cast<uint32_t>(src[i]) << 16;
        if (rest == 2) {
            group |= static_cast<uint32_t>(src[i + 1]) << 8;
        }
        out[0] = base64_enc_map[(group >> 18) & 0x3F];
        out[1] = base64_enc_map[(group >> 12) & 0x3F];
        out[2] = rest == 2 ? base64_enc_map[(group >> 6) & 0x3F] : '=';
        out[3] = '=';
        out += 4;
    }
    *out = 0;
    *dlen = static_cast<int>(textLength);
    return 0;
}

int base64_decode(unsigned char* dst, int* dlen, const unsigned char* src, int slen) {
    if (dlen == nullptr || slen < 0 || (slen > 0 && src == nullptr)) {
        return -1;
    }

    // First pass: validate and count the symbols, "=" included.
    int64_t symbols = 0;
    int pads = 0;
    for (int i = 0; i < slen; ++i) {
        if (isSkippedLineBreak(src, i, slen)) {
            continue;
        }
        const unsigned char c = src[i];
        if (c >= base64_dec_map.size()) {
            return -1;
        }
        const unsigned char value = base64_dec_map[c];
        if (value == kInvalidValue) {
            return -1;
        }
        if (value == kPadValue) {
            if (++pads > 2) {
                return -1;
            }
        } else if (pads != 0) {
            return -1;
        }
        ++symbols;
    }
    if (symbols == 0) {
        return 0;
    }
    const int64_t room = (symbols * 6 + 7) / 8;
    if (*dlen < room) {
        *dlen = static_cast<int>(room);
        return -1;
    }
    if (dst == nullptr) {
        return -1;
    }

    // Second pass: every complete group of four symbols gives three bytes, less one for each
    // "=" it holds. Symbols after the last complete group are dropped.
    unsigned char* out = dst;
    uint32_t group = 0;
    int inGroup = 0;
    int groupPads = 0;
    for (int i = 0; i < slen; ++i) {
        if (isSkippedLineBreak(src, i, slen)) {
            continue;
        }
        unsigned char value = base64_dec_map[src[i]];
        if (value == kPadValue) {
            ++groupPads;
            value = 0;
        }
        group = (group << 6) | value;
        if (++inGroup == 4) {
            *out++ = static_cast<unsigned char>(group >> 16);
            if (groupPads < 2) {
                *out++ = static_cast<unsigned char>(group >> 8);
            }
            if (groupPads < 1) {
                *out++ = static_cast<unsigned char>(group);
            }
            group = 0;
            inGroup = 0;
            groupPads = 0;
        }
    }
    *dlen = static_cast<int>(out - dst);
    return 0;
}
