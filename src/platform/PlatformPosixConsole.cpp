// Console input and output on POSIX systems.
#include "platform/Platform.h"

#include "DecimalNumber.h"

#include <climits>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

void Platform_ConsoleWrite(const char* text, std::size_t length) {
    // Standard output is unbuffered from the first write on, so progress counters without a
    // line end appear at once, and text never sits in a buffer when the process ends.
    static const bool unbuffered = std::setvbuf(stdout, nullptr, _IONBF, 0) == 0;
    (void)unbuffered;
    std::fwrite(text, 1, length, stdout);
}

int Platform_ConsoleReadInt(int* value) {
    return readDecimalNumber([]() { return std::getchar(); }, [](int c) { std::ungetc(c, stdin); }, value);
}

int Platform_GetKey() {
    unsigned char key = 0;
    if (isatty(STDIN_FILENO)) {
        // One key, unechoed, without waiting for a line end.
        termios saved{};
        if (tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios raw = saved;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            tcsetattr(STDIN_FILENO, TCSANOW, &raw);
            const ssize_t got = read(STDIN_FILENO, &key, 1);
            tcsetattr(STDIN_FILENO, TCSANOW, &saved);
            return got == 1 ? key : -1;
        }
    }
    // Not a terminal (a pipe, a file or nothing): one byte, or end of input at once.
    // Anything scanf left in the stdio buffer counts as typed ahead.
    const int c = std::getchar();
    return c == EOF ? -1 : c;
}
