#include "StringOperations.h"

#include "Console.h"

#include <array>
#include <cstdlib>

namespace {

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

constexpr std::array<uint8_t, 256> kHexValue = makeHexTable();

} // namespace

uint8_t int_from_hex_char(char aChar) { return kHexValue[static_cast<unsigned char>(aChar)]; }

uint8_t u8_from_hex_string(char* inputString) {
    if (inputString[0] == '\0' || inputString[1] == '\0') {
        return int_from_hex_char(inputString[0]);
    }
    return static_cast<uint8_t>(int_from_hex_char(inputString[0]) * 16 + int_from_hex_char(inputString[1]));
}

char** str_split(char* s, const char* ct) {
    if (s == nullptr || ct == nullptr) {
        return nullptr;
    }
    std::array<bool, 256> isSeparator{};
    for (const char* c = ct; *c != '\0'; ++c) {
        isSeparator[static_cast<unsigned char>(*c)] = true;
    }

    char** list = nullptr;
    std::size_t room = 1;
    std::size_t count = 0;
    auto grow = [&]() {
        void* bigger = std::realloc(list, 2 * room * sizeof(char*));
        if (bigger == nullptr) {
            consolePrintLine("Memoire insuffisante");
            std::free(list);
            std::exit(EXIT_OUT_OF_MEMORY);
        }
        list = static_cast<char**>(bigger);
        room *= 2;
    };

    char* p = s;
    for (;;) {
        while (*p != '\0' && isSeparator[static_cast<unsigned char>(*p)]) {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        if (count + 1 >= room) {
            grow();
        }
        list[count++] = p;
        while (*p != '\0' && !isSeparator[static_cast<unsigned char>(*p)]) {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        *p++ = '\0';
    }
    if (list == nullptr) {
        grow(); // a text without pieces still gets its terminating null entry
    }
    list[count] = nullptr;
    return list;
}

BOOL StrRemoveNL(char* str, char ch) {
    for (char* p = str; *p != '\0'; ++p) {
        if (*p == '\r' || *p == '\n') {
            *p = ch;
            if (ch == '\0') {
                break; // the text now ends here
            }
        }
    }
    return 1;
}
