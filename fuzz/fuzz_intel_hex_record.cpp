// One record line into the IntelHex functions. The line is the fuzzer's bytes up to the first
// zero, in a buffer of exactly that size, so any read past the terminator is an overrun.
//
// The answers are checked against the record format read independently here: the length at
// position 1, the address at 3 and 5, the type from the character at 8, the checksum from the
// line's last two characters over (length + 4) mod 256 bytes, and the size rule (a line shorter
// than 11 + 2 x length characters is invalid).
#include "IntelHex.h"

#include "FuzzCheck.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

unsigned nibble(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<unsigned>(c - 'A' + 10);
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<unsigned>(c - 'a' + 10);
    }
    return 0;
}

// The byte written at `at` in a line of `length` characters; a lone last character reads alone.
unsigned pairAt(const char* line, std::size_t length, std::size_t at) {
    if (at + 1 >= length) {
        return at < length ? nibble(line[at]) : 0;
    }
    return (nibble(line[at]) * 16 + nibble(line[at + 1])) & 0xFF;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const auto* bytes = reinterpret_cast<const char*>(data);
    const std::size_t length = strnlen(bytes, size);
    std::vector<char> buffer(bytes, bytes + length);
    buffer.push_back('\0');
    char* line = buffer.data();

    const unsigned dataLength = length >= 2 ? pairAt(line, length, 1) : 0;
    bool expectValid =
        length >= 11 && line[0] == ':' && length >= 11 + 2 * static_cast<std::size_t>(dataLength);
    if (expectValid) {
        unsigned sum = pairAt(line, length, length - 2);
        const unsigned count = (dataLength + 4) % 256;
        for (unsigned i = 0; i < count; ++i) {
            sum += pairAt(line, length, 1 + 2 * i);
        }
        expectValid = sum % 256 == 0;
    }

    const uint8_t valid = intel_hex_line_is_valid(line);
    FUZZ_CHECK(valid == (expectValid ? INTEL_HEX_STRING_OK : INTEL_HEX_STRING_INVALID));
    FUZZ_CHECK(intel_hex_line_is_valid_with_length(line, length) == valid);
    // The one-pass reading gives the same answer and, for a valid line, every byte before the
    // checksum (in an array of exactly the documented room, so writing past it is an overrun).
    std::vector<uint8_t> recordBytes(INTEL_HEX_MAX_RECORD_BYTES);
    FUZZ_CHECK(intel_hex_line_decode_valid(line, length, recordBytes.data()) == valid);
    if (expectValid) {
        for (unsigned i = 0; i < 4 + dataLength; ++i) {
            FUZZ_CHECK(recordBytes[i] == pairAt(line, length, 1 + 2 * i));
        }
    }
    FUZZ_CHECK(intel_hex_start_code_present(line) == (length > 0 && line[0] == ':' ? 1 : 0));
    FUZZ_CHECK(intel_hex_line_data_length(line) == dataLength);

    const uint16_t address = intel_hex_line_address(line);
    uint8_t* array = new_u8_data_array_from_intel_hex_string(line);
    if (!expectValid) {
        FUZZ_CHECK(address == 0);
        FUZZ_CHECK(array == nullptr);
    } else {
        FUZZ_CHECK(address == pairAt(line, length, 3) * 256 + pairAt(line, length, 5));
        const auto type = static_cast<uint8_t>(line[8] - '0');
        FUZZ_CHECK(intel_hex_line_record_type(line) == type);
        FUZZ_CHECK(intel_hex_line_is_data_record(line) == (type == INTEL_HEX_RECORD_DATA ? 1 : 0));
        FUZZ_CHECK(intel_hex_line_is_extended_linear_address_record(line) ==
                   (type == INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS ? 1 : 0));
        FUZZ_CHECK(array != nullptr);
        for (unsigned i = 0; i < dataLength; ++i) { // the sanitizer checks the array's size
            FUZZ_CHECK(array[i] == pairAt(line, length, 9 + 2 * i));
        }
    }
    std::free(array);

    // The checksum helper over every whole pair the line holds after its start code.
    if (length >= 1) {
        const std::size_t pairs = (length - 1) / 2 < 255 ? (length - 1) / 2 : 255;
        unsigned sum = 0;
        for (std::size_t i = 0; i < pairs; ++i) {
            sum += pairAt(line, length, 1 + 2 * i);
        }
        FUZZ_CHECK(u8_checksum_from_hex_string(line + 1, static_cast<uint8_t>(pairs)) ==
                   ((0x100 - sum % 256) & 0xFF));
    }
    return 0;
}
