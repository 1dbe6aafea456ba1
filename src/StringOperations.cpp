#include "StringOperations.h"

#include "Console.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace {

// The list starts with room for one entry and no allocation, and doubles whenever the next piece
// would leave no room for the terminating null entry.
struct PieceList {
    char** entries = nullptr;
    std::size_t room = 1;
    std::size_t count = 0;

    void grow() {
        void* bigger = std::realloc(entries, 2 * room * sizeof(char*));
        if (bigger == nullptr) {
            consolePrintLine("Memoire insuffisante");
            std::free(entries);
            std::exit(EXIT_OUT_OF_MEMORY);
        }
        entries = static_cast<char**>(bigger);
        room *= 2;
    }
    void add(char* piece) {
        if (count + 1 >= room) {
            grow();
        }
        entries[count++] = piece;
    }
    char** finish() {
        if (entries == nullptr) {
            grow(); // a text without pieces still gets its terminating null entry
        }
        entries[count] = nullptr;
        return entries;
    }
};

// The common case of a hex text cut at ':': the library's character search does the scanning.
char** splitAtOneCharacter(char* s, char separator) {
    PieceList list;
    char* p = s;
    for (;;) {
        while (*p == separator) {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        list.add(p);
        char* end = std::strchr(p, separator);
        if (end == nullptr) {
            break;
        }
        *end = '\0';
        p = end + 1;
    }
    return list.finish();
}

} // namespace

char** str_split(char* s, const char* ct) {
    if (s == nullptr || ct == nullptr) {
        return nullptr;
    }
    if (ct[0] != '\0' && ct[1] == '\0') {
        return splitAtOneCharacter(s, ct[0]);
    }
    std::array<bool, 256> isSeparator{};
    for (const char* c = ct; *c != '\0'; ++c) {
        isSeparator[static_cast<unsigned char>(*c)] = true;
    }

    PieceList list;
    char* p = s;
    for (;;) {
        while (*p != '\0' && isSeparator[static_cast<unsigned char>(*p)]) {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        list.add(p);
        while (*p != '\0' && !isSeparator[static_cast<unsigned char>(*p)]) {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        *p++ = '\0';
    }
    return list.finish();
}

BOOL StrRemoveNL(char* str, char ch) {
    // The length is taken first: with ch 0 the text ends at its first line break, and the line
    // breaks after it are replaced all the same.
    const std::size_t length = std::strlen(str);
    for (std::size_t i = 0; i < length; ++i) {
        if (str[i] == '\r' || str[i] == '\n') {
            str[i] = ch;
        }
    }
    return 1;
}
