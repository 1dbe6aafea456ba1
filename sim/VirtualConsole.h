// The console side of the virtual platform: captures everything the tool prints and feeds it
// scripted keyboard input.
#ifndef VIRTUAL_CONSOLE_H
#define VIRTUAL_CONSOLE_H

#include <string>

namespace virtual_console {

// Everything printed since the last reset.
const std::string& output();
// Forgets the printed text and the scripted input.
void reset();
// Text that the keyboard will deliver; prompts read numbers from it like scanf("%d"), key waits
// take one character. When it runs out, reads see end of input.
void setInput(const std::string& text);
// Number of key waits so far.
int keyWaits();

} // namespace virtual_console

#endif
