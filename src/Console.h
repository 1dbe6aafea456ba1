// Console output of the tool. Everything goes to standard output at once, unbuffered,
// because the progress counters carry no line end and rewrite themselves with backspaces.
#ifndef CONSOLE_H
#define CONSOLE_H

#include <cstddef>

// Prints a format string filled from the arguments, exactly as given.
void consolePrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Prints the filled format string followed by one newline.
void consolePrintLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Writes raw text without any formatting.
void consoleWrite(const char* text, std::size_t length);

#endif
