// Arbitrary text into base64_decode, with a room that is sometimes too small, into a buffer of
// exactly that room so that a write past it is an overrun. The answer must agree with the plain
// decoder of ReferenceBase64.h: failure for a foreign character, a third "=" or a symbol after "=";
// for a text too big for the room, failure with the room needed; else the bytes.
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
    // First byte: how the room compares with what the text needs.
    const uint8_t roomChoice = data[0];
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const reference_base64::Decoded expected = reference_base64::decode(text);

    std::size_t room = expected.room;
    if (roomChoice < 64) {
        room = room > roomChoice % 4 ? room - roomChoice % 4 - 1 : 0; // one to four bytes short
    } else if (roomChoice < 128) {
        room = roomChoice - 64u; // a small fixed room
    } else {
        room += roomChoice % 8; // enough, and a little more
    }
    std::vector<unsigned char> dst(room);
    const int initial = static_cast<int>(room);
    int dlen = initial;
    const int result = base64_decode(dst.data(), &dlen, reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
    if (!expected.valid) {
        FUZZ_CHECK(result == -1);
        FUZZ_CHECK(dlen == initial);
        return 0;
    }
    if (expected.room == 0) {
        FUZZ_CHECK(result == 0 && dlen == initial);
        return 0;
    }
    if (room < expected.room) {
        FUZZ_CHECK(result == -1);
        FUZZ_CHECK(dlen == static_cast<int>(expected.room));
        return 0;
    }
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(dlen == static_cast<int>(expected.bytes.size()));
    FUZZ_CHECK(std::string(dst.begin(), dst.begin() + dlen) == expected.bytes);
    return 0;
}
