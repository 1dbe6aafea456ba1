// Arbitrary bytes through the Base64 functions of the web upload file, each into a buffer of
// exactly the room it is given, so that a write past the room is an overrun. The first byte
// chooses the room of the decode and where the round trip's text is broken into lines.
//
// Checked, besides the sanitizers: the rest of the input, read as text, decodes within its room or
// is refused with the buffer untouched, and when only the room was short, the room asked for is
// enough; read as bytes, it encodes into exactly 4 x ceil(n / 3) characters and a zero (one byte
// less is refused, untouched), and that text decodes back to the bytes, broken into lines with
// CR LF or LF as the web upload file breaks it (or whole, when the lines are longer than the text).
#include "Encoder.h"

#include <cassert>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr unsigned char kUntouched = 0xA5;

int decode(const std::string& text, std::size_t room, Bytes& out, int& dlen) {
    out.assign(room, kUntouched);
    dlen = static_cast<int>(room);
    return base64_decode(out.data(), &dlen, reinterpret_cast<const unsigned char*>(text.data()),
                         static_cast<int>(text.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const uint8_t choice = data[0];
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);

    // As text, into a room of 0 to 63 bytes or of as many bytes as it has characters.
    const std::size_t room = choice < 128 ? choice % 64 : input.size();
    Bytes out;
    int dlen = 0;
    if (decode(input, room, out, dlen) != 0) {
        assert(out == Bytes(room, kUntouched));
        if (dlen != static_cast<int>(room)) { // only the room was short
            const auto asked = static_cast<std::size_t>(dlen);
            assert(asked > room && decode(input, asked, out, dlen) == 0);
        }
    }

    // As bytes: encoded, then decoded back from lines.
    if (input.empty()) {
        return 0;
    }
    const auto* src = reinterpret_cast<const unsigned char*>(input.data());
    const int slen = static_cast<int>(input.size());
    const std::size_t n = 4 * ((input.size() + 2) / 3);
    Bytes text(n, kUntouched);
    dlen = static_cast<int>(n);
    assert(base64_encode(text.data(), &dlen, src, slen) == -1 && dlen == static_cast<int>(n + 1));
    assert(text == Bytes(n, kUntouched));
    text.push_back(kUntouched);
    assert(base64_encode(text.data(), &dlen, src, slen) == 0 && dlen == static_cast<int>(n) && text[n] == 0);
    const std::string lineEnd = choice >= 128 ? "\n" : "\r\n";
    std::string lines(text.begin(), text.begin() + static_cast<long>(n));
    for (std::size_t i = 1 + choice % 64; i < lines.size(); i += 1 + choice % 64 + lineEnd.size()) {
        lines.insert(i, lineEnd);
    }
    assert(decode(lines, lines.size(), out, dlen) == 0 &&
           std::string(out.begin(), out.begin() + dlen) == input);
    return 0;
}
