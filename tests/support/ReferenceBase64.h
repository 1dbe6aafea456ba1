// Base64 for tests and fuzzers, written plainly with the standard library so that it shares
// nothing with the tool's codec: the alphabet looked up one symbol at a time.
#ifndef TESTS_REFERENCE_BASE64_H
#define TESTS_REFERENCE_BASE64_H

#include <cstring>
#include <string>

namespace reference_base64 {

inline const char* alphabet() {
    return "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

inline std::string encode(const std::string& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        unsigned group = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            text += k <= n ? alphabet()[(group >> (18 - 6 * k)) & 63] : '=';
        }
    }
    return text;
}

// What the tool's decoder must answer: valid or not, the room it asks for, and the bytes. CR LF
// pairs and LF are skipped; at most two "=", nothing but "=" after one; symbols after the last
// whole group of four are dropped.
struct Decoded {
    bool valid = false;
    std::size_t room = 0;
    std::string bytes;
};

inline Decoded decode(const std::string& text) {
    Decoded d;
    std::string symbols;
    int pads = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            continue;
        }
        if (c == '=' ? ++pads > 2 : c == '\0' || std::strchr(alphabet(), c) == nullptr || pads > 0) {
            return d;
        }
        symbols += c;
    }
    d.valid = true;
    d.room = (symbols.size() * 6 + 7) / 8;
    for (std::size_t g = 0; g + 4 <= symbols.size(); g += 4) {
        unsigned group = 0;
        int groupPads = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = symbols[g + k];
            groupPads += c == '=' ? 1 : 0;
            group =
                group << 6 | (c == '=' ? 0u : static_cast<unsigned>(std::strchr(alphabet(), c) - alphabet()));
        }
        d.bytes += static_cast<char>(group >> 16);
        d.bytes += groupPads < 2 ? std::string(1, static_cast<char>(group >> 8 & 0xFF)) : "";
        d.bytes += groupPads < 1 ? std::string(1, static_cast<char>(group & 0xFF)) : "";
    }
    return d;
}

} // namespace reference_base64

#endif
