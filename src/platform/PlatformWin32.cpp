// Serial ports, sleeping and the console on Windows.
//
// The serial functions are thin wrappers over the Windows communications API. One thing is added:
// a write deadline. ComPortAPI asks for no write time-out, and with CTS flow control on a unit
// that never raises CTS would hold a write (and the tool) forever. So whenever time-outs are
// applied, the write fields are filled on a copy: a write may take the line time of its bytes at
// the current rate plus PLATFORM_WRITE_STALL_MARGIN_MS, and then fails.
#include "platform/Platform.h"

#include "DecimalNumber.h"

#include <climits>
#include <conio.h>
#include <cstdio>
#include <io.h>

namespace {

// The last time-outs the caller asked for and the last rate set, so the write deadline can be
// worked out again when the rate changes. The tool holds one port at a time.
COMMTIMEOUTS gRequestedTimeouts{};
bool gHaveRequestedTimeouts = false;
DWORD gLastBaudRate = 9600;
DWORD gLastBitsPerCharacter = 10;

COMMTIMEOUTS withWriteDeadline(const COMMTIMEOUTS& requested) {
    COMMTIMEOUTS applied = requested;
    if (applied.WriteTotalTimeoutMultiplier == 0 && applied.WriteTotalTimeoutConstant == 0) {
        const DWORD rate = gLastBaudRate != 0 ? gLastBaudRate : 1200;
        // Whole milliseconds per byte, rounded up: never shorter than the real line time.
        applied.WriteTotalTimeoutMultiplier = (gLastBitsPerCharacter * 1000 + rate - 1) / rate;
        applied.WriteTotalTimeoutConstant = PLATFORM_WRITE_STALL_MARGIN_MS;
    }
    return applied;
}

} // namespace

HANDLE Platform_SerialOpen(const char* winDevicePath, int portNumber) {
    (void)portNumber; // the path already names the port
    return CreateFileA(winDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

BOOL Platform_SerialSetQueues(HANDLE port, DWORD rxSize, DWORD txSize) {
    return SetupComm(port, rxSize, txSize) ? 1 : 0;
}

BOOL Platform_SerialSetTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts) {
    if (timeouts == nullptr) {
        return 0;
    }
    gRequestedTimeouts = *timeouts;
    gHaveRequestedTimeouts = true;
    COMMTIMEOUTS applied = withWriteDeadline(*timeouts);
    return SetCommTimeouts(port, &applied) ? 1 : 0;
}

BOOL Platform_SerialSetState(HANDLE port, const DCB* settings) {
    if (settings == nullptr) {
        return 0;
    }
    DCB copy = *settings; // SetCommState takes a non-const record
    if (!SetCommState(port, &copy)) {
        return 0;
    }
    const DWORD bits = 1u + settings->ByteSize + (settings->Parity != NOPARITY ? 1u : 0u) +
                       (settings->StopBits != ONESTOPBIT ? 2u : 1u);
    const bool lineTimeChanged = settings->BaudRate != gLastBaudRate || bits != gLastBitsPerCharacter;
    gLastBaudRate = settings->BaudRate;
    gLastBitsPerCharacter = bits;
    if (lineTimeChanged && gHaveRequestedTimeouts) {
        // The write deadline depends on the rate: apply it again for the new one.
        COMMTIMEOUTS applied = withWriteDeadline(gRequestedTimeouts);
        if (!SetCommTimeouts(port, &applied)) {
            return 0;
        }
    }
    return 1;
}

BOOL Platform_SerialPurge(HANDLE port) {
    return PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) ? 1 : 0;
}

BOOL Platform_SerialRaiseDtr(HANDLE port) { return EscapeCommFunction(port, SETDTR) ? 1 : 0; }

BOOL Platform_SerialRead(HANDLE port, void* buffer, DWORD size, DWORD* bytesRead) {
    DWORD got = 0;
    const BOOL ok = ReadFile(port, buffer, size, &got, nullptr);
    if (bytesRead != nullptr) {
        *bytesRead = got;
    }
    return ok ? 1 : 0;
}

BOOL Platform_SerialWrite(HANDLE port, const void* buffer, DWORD size, DWORD* bytesWritten) {
    DWORD done = 0;
    const BOOL ok = WriteFile(port, buffer, size, &done, nullptr);
    if (bytesWritten != nullptr) {
        *bytesWritten = done;
    }
    // A write that timed out reports success with a partial count: that is a failed write.
    return ok && done == size ? 1 : 0;
}

BOOL Platform_SerialClose(HANDLE port) { return CloseHandle(port) ? 1 : 0; }

void Platform_SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }

int Platform_GetKey() {
    if (_isatty(_fileno(stdin))) {
        return _getch();
    }
    // Redirected or piped input (scripts, Wine without a console): one byte, or end of input.
    const int c = std::getchar();
    return c == EOF ? -1 : c;
}

int Platform_ConsoleReadInt(int* value) {
    return readDecimalNumber([]() { return std::getchar(); }, [](int c) { std::ungetc(c, stdin); }, value);
}

void Platform_ConsoleWrite(const char* text, std::size_t length) {
    // Unbuffered from the first write on, so progress counters without a line end appear at once.
    static const bool unbuffered = std::setvbuf(stdout, nullptr, _IONBF, 0) == 0;
    (void)unbuffered;
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
}
