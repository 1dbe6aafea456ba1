// Hex text and string helpers used by the Intel HEX code and the update sequence.
#ifndef STRING_OPERATIONS_H
#define STRING_OPERATIONS_H

#include "FwUpgradeConfig.h"

#include <cstdint>

// Value of one hexadecimal character; any other character counts as 0.
uint8_t int_from_hex_char(char aChar);

// The byte written as two hexadecimal characters at the start of inputString.
// A text shorter than two characters gives the value of its first character alone.
uint8_t u8_from_hex_string(char* inputString);

// Cuts s in place at every character of ct, like the standard tokeniser (runs of separators
// count as one, no empty pieces). Returns a newly allocated, null-terminated list of pointers
// into s; the caller frees the list with free(). Null when either argument is null.
// A text without any piece gives a list holding only the null entry.
// When memory runs out it prints "Memoire insuffisante" and ends the process with a failure status.
char** str_split(char* s, const char* ct);

// Replaces every CR and LF in str by ch. Always returns 1.
BOOL StrRemoveNL(char* str, char ch);

#endif
