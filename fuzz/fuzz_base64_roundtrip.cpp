// Arbitrary bytes through base64_encode and back through base64_decode.
//
// The encoder must need exactly 4 x ceil(n / 3) + 1 bytes of room, refuse one byte less without
// touching the buffer, and give the text of the plain encoder in ReferenceBase64.h followed by a
// zero. The decoder must give the bytes back, also after the text is broken into lines with
// CR LF or LF, as the web upload file breaks it.
#include "Encoder.h"

#include "ReferenceBase64.h"
#include "FuzzCheck.h"

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t lineLength = 1 + data[0] % 64; // where the text is broken for the second decode
    const bool lfOnly = data[0] >= 128;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
    const int slen = static_cast<int>(bytes.size());

    if (bytes.empty()) {
        int dlen = 7;
        FUZZ_CHECK(base64_encode(nullptr, &dlen, src, 0) == 0 && dlen == 7);
        return 0;
    }
    const std::string expectedText = reference_base64::encode(bytes);
    const std::size_t n = expectedText.size();
    FUZZ_CHECK(n == 4 * ((bytes.size() + 2) / 3));

    // One byte short: refused, asking for n + 1, buffer untouched.
    std::vector<unsigned char> tooSmall(n, 0xA5);
    int dlen = static_cast<int>(n);
    FUZZ_CHECK(base64_encode(tooSmall.data(), &dlen, src, slen) == -1);
    FUZZ_CHECK(dlen == static_cast<int>(n + 1));
    for (unsigned char c : tooSmall) {
        FUZZ_CHECK(c == 0xA5);
    }

    std::vector<unsigned char> text(n + 1);
    dlen = static_cast<int>(n + 1);
    FUZZ_CHECK(base64_encode(text.data(), &dlen, src, slen) == 0);
    FUZZ_CHECK(dlen == static_cast<int>(n));
    FUZZ_CHECK(text[n] == 0);
    FUZZ_CHECK(std::string(text.begin(), text.begin() + static_cast<long>(n)) == expectedText);

    std::vector<unsigned char> back(bytes.size() + 2);
    dlen = static_cast<int>(back.size());
    FUZZ_CHECK(base64_decode(back.data(), &dlen, text.data(), static_cast<int>(n)) == 0);
    FUZZ_CHECK(std::string(back.begin(), back.begin() + dlen) == bytes);

    std::string lines;
    for (std::size_t i = 0; i < n; i += lineLength) {
        lines += expectedText.substr(i, lineLength);
        if (i + lineLength < n) {
            lines += lfOnly ? "\n" : "\r\n";
        }
    }
    dlen = static_cast<int>(back.size());
    FUZZ_CHECK(base64_decode(back.data(), &dlen, reinterpret_cast<const unsigned char*>(lines.data()),
                             static_cast<int>(lines.size())) == 0);
    FUZZ_CHECK(std::string(back.begin(), back.begin() + dlen) == bytes);
    return 0;
}
