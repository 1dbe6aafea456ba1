#include "VirtualConsole.h"

#include "platform/Platform.h"

#include "DecimalNumber.h"

#include <cctype>
#include <climits>
#include <cstdlib>

namespace {
std::string g_output;
std::string g_input;
std::size_t g_inputPos = 0;
int g_keyWaits = 0;
} // namespace

namespace virtual_console {
const std::string& output() {
    return g_output;
}
void reset() {
    g_output.clear();
    g_input.clear();
    g_inputPos = 0;
    g_keyWaits = 0;
}
void setInput(const std::string& text) {
    g_input = text;
    g_inputPos = 0;
}
int keyWaits() {
    return g_keyWaits;
}
} // namespace virtual_console

void Platform_ConsoleWrite(const char* text, std::size_t length) {
    g_output.append(text, length);
}

int Platform_GetKey() {
    ++g_keyWaits;
    if (g_inputPos >= g_input.size()) {
        return -1;
    }
    return static_cast<unsigned char>(g_input[g_inputPos++]);
}

int Platform_ConsoleReadInt(int* value) {
    // The same rules as the real consoles, over the scripted text.
    auto next = []() {
        return g_inputPos < g_input.size() ? static_cast<unsigned char>(g_input[g_inputPos++]) : -1;
    };
    auto unread = [](int) { --g_inputPos; };
    return readDecimalNumber(next, unread, value);
}
