#include "Console.h"

#include "platform/Platform.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

void printFormatted(const char* format, va_list args, bool newline) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0) {
        return;
    }
    if (static_cast<std::size_t>(needed) < sizeof small) {
        if (newline) {
            small[needed] = '\n';
            Platform_ConsoleWrite(small, static_cast<std::size_t>(needed) + 1);
        } else {
            Platform_ConsoleWrite(small, static_cast<std::size_t>(needed));
        }
        return;
    }
    // Long texts (a whole received reply, for instance) are formatted on the heap.
    std::string text(static_cast<std::size_t>(needed) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<std::size_t>(needed));
    if (newline) {
        text.push_back('\n');
    }
    Platform_ConsoleWrite(text.data(), text.size());
}

} // namespace

void consolePrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    printFormatted(format, args, false);
    va_end(args);
}

void consolePrintLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    printFormatted(format, args, true);
    va_end(args);
}

void consoleWrite(const char* text, std::size_t length) {
    Platform_ConsoleWrite(text, length);
}
