// Hex text and string helpers used by the Intel HEX code and the update sequence.
#ifndef STRING_OPERATIONS_H
#define STRING_OPERATIONS_H

#include "FwUpgradeConfig.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace string_operations_detail {
constexpr std::array<uint8_t, 256> makeHexTable() {
    std::array<uint8_t, 256> table{};
    for (int c = '0'; c <= '9'; ++c) {
        table[static_cast<std::size_t>(c)] = static_cast<uint8_t>(c - '0');
    }
    for (int c = 'A'; c <= 'F'; ++c) {
        table[static_cast<std::size_t>(c)] = static_cast<uint8_t>(c - 'A' + 10);
    }
    for (int c = 'a'; c <= 'f'; ++c) {
        table[static_cast<std::size_t>(c)] = static_cast<uint8_t>(c - 'a' + 10);
    }
    return table;
}
inline constexpr std::array<uint8_t, 256> kHexValue = makeHexTable();
} // namespace string_operations_detail

// Value of one hexadecimal character; any other character counts as 0.
// Defined here so that the record reader, which calls it for every character of a hex text,
// can inline it.
inline uint8_t int_from_hex_char(char aChar) {
    return string_operations_detail::kHexValue[static_cast<unsigned char>(aChar)];
}

// The byte written as two hexadecimal characters at the start of inputString.
// A text shorter than two characters gives the value of its first character alone.
inline uint8_t u8_from_hex_string(char* inputString) {
    if (inputString[0] == '\0' || inputString[1] == '\0') {
        return int_from_hex_char(inputString[0]);
    }
    return static_cast<uint8_t>(int_from_hex_char(inputString[0]) * 16 + int_from_hex_char(inputString[1]));
}

// Cuts s in place at every character of ct, like the standard tokeniser (runs of separators
// count as one, no empty pieces). Returns a newly allocated, null-terminated list of pointers
// into s; the caller frees the list with free(). Null when either argument is null.
// A text without any piece gives a list holding only the null entry.
// When memory runs out it prints "Memoire insuffisante" and ends the process with a failure status.
char** str_split(char* s, const char* ct);

// Replaces every CR and LF in str by ch. Always returns 1.
BOOL StrRemoveNL(char* str, char ch);

#endif
