// Arbitrary bytes through the Base64 coder of the web upload file, each call into a buffer of
// exactly the room it is given, so that a write past the room is an overrun. The first byte
// chooses the room of the decode and where the round trip's text is broken into lines.
//
// Checked, besides the sanitizers: the rest of the input, read as text, decodes within its room or
// is refused with the buffer untouched; read as bytes, it encodes into a text that decodes back to
// the bytes, broken into lines with CR LF or LF as the web upload file breaks it (or whole, when
// the lines are longer than the text).
#include "Encoder.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t* input = data + 1;
    const int length = static_cast<int>(size - 1);

    // As text, into a room of 0 to 63 bytes or of as many bytes as it has characters.
    std::vector<unsigned char> out(data[0] < 128 ? data[0] % 64 : size - 1, 0xA5);
    int dlen = static_cast<int>(out.size());
    assert(base64_decode(out.data(), &dlen, input, length) == 0 ||
           out == std::vector<unsigned char>(out.size(), 0xA5));

    // As bytes: encoded into the text and its zero, then decoded back from lines.
    std::vector<unsigned char> text(4 * ((size + 1) / 3) + 1);
    dlen = static_cast<int>(text.size());
    assert(base64_encode(text.data(), &dlen, input, length) == 0);
    std::vector<unsigned char> lines(text.begin(), text.begin() + dlen);
    const std::string lineEnd = data[0] >= 128 ? "\n" : "\r\n";
    for (std::size_t i = 1 + data[0] % 64; i < lines.size(); i += 1 + data[0] % 64 + lineEnd.size()) {
        lines.insert(lines.begin() + static_cast<long>(i), lineEnd.begin(), lineEnd.end());
    }
    std::vector<unsigned char> back(lines.size());
    dlen = static_cast<int>(back.size());
    assert(base64_decode(back.data(), &dlen, lines.data(), static_cast<int>(lines.size())) == 0 &&
           std::equal(input, input + length, back.begin(), back.begin() + dlen));
    return 0;
}
