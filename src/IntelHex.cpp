#include "IntelHex.h"

#include "StringOperations.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace {

// The byte value of every pair of characters, indexed by the two characters as one 16-bit load
// reads them (so the table is right whatever the byte order): the record reader then reads
// each byte with one load of the text and one of the table. Characters that are not
// hexadecimal count as 0, as for int_from_hex_char.
std::array<uint8_t, 65536> makePairTable() {
    std::array<uint8_t, 65536> table{};
    for (unsigned first = 0; first < 256; ++first) {
        for (unsigned second = 0; second < 256; ++second) {
            const char pair[2] = {static_cast<char>(first), static_cast<char>(second)};
            uint16_t index = 0;
            std::memcpy(&index, pair, 2);
            table[index] =
                static_cast<uint8_t>(int_from_hex_char(pair[0]) * 16u + int_from_hex_char(pair[1]));
        }
    }
    return table;
}

const std::array<uint8_t, 65536> kPairValue = makePairTable();

inline uint8_t pairValue(const char* pair) {
    uint16_t index = 0;
    std::memcpy(&index, pair, 2);
    return kPairValue[index];
}

} // namespace

uint8_t u8_checksum_from_hex_string(char* hexString, uint8_t numberOfBytes) {
    unsigned sum = 0;
    for (unsigned i = 0; i < numberOfBytes; ++i) {
        const char* pair = hexString + 2 * i;
        if (pair[0] == '\0' || pair[1] == '\0') {
            sum += u8_from_hex_string(hexString + 2 * i); // a text that ends inside the pair
        } else {
            sum += int_from_hex_char(pair[0]) * 16u + int_from_hex_char(pair[1]);
        }
    }
    return static_cast<uint8_t>(0u - sum);
}

uint8_t intel_hex_start_code_present(char* intelHexString) {
    return intelHexString[0] == ':' ? 1 : 0;
}

uint8_t intel_hex_line_data_length(char* intelHexString) {
    // The length field lies beyond a line of fewer than two characters; such a line reads as 0.
    if (intelHexString[0] == '\0' || intelHexString[1] == '\0') {
        return 0;
    }
    return u8_from_hex_string(intelHexString + 1);
}

uint16_t intel_hex_line_address(char* intelHexString) {
    if (!intel_hex_line_is_valid(intelHexString)) {
        return 0;
    }
    return static_cast<uint16_t>(u8_from_hex_string(intelHexString + 3) * 256 +
                                 u8_from_hex_string(intelHexString + 5));
}

uint8_t intel_hex_line_record_type(char* intelHexString) {
    // Read only after the line is known to reach position 8.
    if (std::strlen(intelHexString) < 9) {
        return 0xFF;
    }
    return static_cast<uint8_t>(intelHexString[8] - '0');
}

uint8_t intel_hex_line_is_data_record(char* intelHexString) {
    return intel_hex_line_record_type(intelHexString) == INTEL_HEX_RECORD_DATA ? 1 : 0;
}

uint8_t intel_hex_line_is_extended_linear_address_record(char* intelHexString) {
    return intel_hex_line_record_type(intelHexString) == INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS ? 1 : 0;
}

uint8_t intel_hex_line_is_valid(char* intelHexString) {
    return intel_hex_line_is_valid_with_length(intelHexString, std::strlen(intelHexString));
}

uint8_t intel_hex_line_is_valid_with_length(char* intelHexString, std::size_t lineLength) {
    uint8_t recordBytes[INTEL_HEX_MAX_RECORD_BYTES];
    return intel_hex_line_decode_valid(intelHexString, lineLength, recordBytes);
}

uint8_t intel_hex_line_decode_valid(char* intelHexString, std::size_t lineLength, uint8_t* recordBytes) {
    if (!intel_hex_start_code_present(intelHexString)) {
        return INTEL_HEX_STRING_INVALID;
    }
    if (lineLength < INTEL_HEX_MIN_LINE_LENGTH) {
        return INTEL_HEX_STRING_INVALID;
    }
    const unsigned dataLength = intel_hex_line_data_length(intelHexString);
    if (lineLength < INTEL_HEX_MIN_LINE_LENGTH + 2 * dataLength) {
        return INTEL_HEX_STRING_INVALID;
    }
    // The 4 + L bytes before the checksum end at position 2L + 8, inside a line of at least
    // 11 + 2L characters: every pair is whole, so each byte is read as two digits straight away.
    const char* digits = intelHexString + 1;
    unsigned sum = 0;
    for (unsigned i = 0; i < dataLength + 4; ++i) {
        const uint8_t byte = pairValue(digits + 2 * i);
        recordBytes[i] = byte;
        sum += byte;
    }
    // The checksum covers (L + 4) mod 256 bytes from position 1: the 8-bit count wraps for the
    // longest records (L of 252 and more), which no well-formed line reaches.
    const unsigned count = (dataLength + 4) % 256;
    if (count != dataLength + 4) {
        sum = 0;
        for (unsigned i = 0; i < count; ++i) {
            sum += recordBytes[i];
        }
    }
    const uint8_t expected = u8_from_hex_string(intelHexString + lineLength - 2);
    return expected == static_cast<uint8_t>(0u - sum) ? INTEL_HEX_STRING_OK : INTEL_HEX_STRING_INVALID;
}

uint8_t* new_u8_data_array_from_intel_hex_string(char* intelHexString) {
    if (!intel_hex_line_is_valid(intelHexString)) {
        return nullptr;
    }
    const unsigned dataLength = intel_hex_line_data_length(intelHexString);
    // malloc(0) may return null; keep at least one byte so a valid empty record is not mistaken
    // for a failure.
    auto* data = static_cast<uint8_t*>(std::malloc(dataLength > 0 ? dataLength : 1));
    if (data == nullptr) {
        return nullptr;
    }
    for (unsigned i = 0; i < dataLength; ++i) {
        data[i] = u8_from_hex_string(intelHexString + 9 + 2 * i);
    }
    return data;
}
