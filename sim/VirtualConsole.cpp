#include "VirtualConsole.h"

#include "platform/Platform.h"

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
const std::string& output() { return g_output; }
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
int keyWaits() { return g_keyWaits; }
} // namespace virtual_console

void Platform_ConsoleWrite(const char* text, std::size_t length) { g_output.append(text, length); }

int Platform_GetKey() {
    ++g_keyWaits;
    if (g_inputPos >= g_input.size()) {
        return -1;
    }
    return static_cast<unsigned char>(g_input[g_inputPos++]);
}

int Platform_ConsoleReadInt(int* value) {
    // Same rules as scanf("%d"): skip white space, then an optional sign and digits. A character
    // that cannot start a number stays unread.
    while (g_inputPos < g_input.size() && std::isspace(static_cast<unsigned char>(g_input[g_inputPos]))) {
        ++g_inputPos;
    }
    if (g_inputPos >= g_input.size()) {
        return -1;
    }
    std::size_t end = g_inputPos;
    if (g_input[end] == '+' || g_input[end] == '-') {
        ++end;
    }
    const std::size_t digitsStart = end;
    while (end < g_input.size() && std::isdigit(static_cast<unsigned char>(g_input[end]))) {
        ++end;
    }
    if (end == digitsStart) {
        return 0;
    }
    long long parsed = std::strtoll(g_input.substr(g_inputPos, end - g_inputPos).c_str(), nullptr, 10);
    if (parsed > INT_MAX) {
        parsed = INT_MAX;
    } else if (parsed < INT_MIN) {
        parsed = INT_MIN;
    }
    *value = static_cast<int>(parsed);
    g_inputPos = end;
    return 1;
}
