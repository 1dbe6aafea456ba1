// Serial ports, sleeping and the console on Windows.
//
// The serial functions are thin wrappers over the Windows communications API. Three things are
// added. A port is kept to one copy of the tool (PortLock below). A write deadline: ComPortAPI asks
// for no write time-out, and with CTS flow control on a unit that never raises CTS would hold a
// write (and the tool) forever, and with it off a port that takes nothing (a Bluetooth port without
// a partner) would too. So when the caller set no write time-out, every write gets one of its own,
// Platform_SerialWriteBoundMs of its bytes at the current rate and flow control, applied just
// before the write when it differs from the last. And a failed open says why: Windows drivers
// refuse a quick reopen with "access denied".
#include "platform/Platform.h"

#include "DecimalNumber.h"

#include <algorithm>
#include <array>
#include <climits>
#include <conio.h>
#include <cstdio>
#include <io.h>

namespace {

// The time-outs the caller asked for, those the port has, and the line format last set. The tool
// holds one port at a time.
COMMTIMEOUTS gRequestedTimeouts{};
COMMTIMEOUTS gAppliedTimeouts{};
DWORD gLastBaudRate = 9600;
DWORD gLastBitsPerCharacter = 10;
bool gLastCtsFlowControl = false;
DWORD gLastOpenError = ERROR_SUCCESS;

static_assert(NOPARITY == 0 && ONESTOPBIT == 0,
              "Platform_SerialBitsPerCharacter reads 0 as no parity, one stop bit");

bool callerSetWriteTimeout() {
    return gRequestedTimeouts.WriteTotalTimeoutMultiplier != 0 ||
           gRequestedTimeouts.WriteTotalTimeoutConstant != 0;
}

// The bound of a write of `bytes` bytes, or of the drain of a queue that counts them.
ULONGLONG writeBoundMs(ULONGLONG bytes) {
    return Platform_SerialWriteBoundMs(bytes, gLastBaudRate, gLastBitsPerCharacter, gLastCtsFlowControl);
}

// One copy of the tool per port. Windows' serial drivers refuse a second open of a port, but
// Wine opens the tty once more for every process that asks, and a second copy's detection would
// then write its queries into an update in progress. So an open first takes a mutex named after
// the COM number and keeps it until the port is closed; a port whose mutex another copy holds is
// refused as a driver refuses a port in use.
struct PortLock {
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE mutex = nullptr;
    int number = 0;
};
std::array<PortLock, 4> gPortLocks{};

void unlockPort(HANDLE mutex) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

// The mutex of COM<number>, taken; nullptr when another copy holds it, or this one already has
// the port open (a mutex is taken again by the thread that holds it).
HANDLE lockPort(int number) {
    char name[48];
    std::snprintf(name, sizeof name, "Local\\VelmoraFwUpgrade.COM%d", number);
    const HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr) {
        return nullptr;
    }
    // Taken, or abandoned: the copy that held it ended without closing the port, now free.
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return nullptr;
    }
    if (std::any_of(gPortLocks.begin(), gPortLocks.end(),
                    [&](const PortLock& held) { return held.number == number; })) {
        unlockPort(mutex);
        return nullptr;
    }
    return mutex;
}

} // namespace

// gLastOpenError keeps why the open failed: a port whose mutex another copy holds is refused as a
// driver refuses a port in use, otherwise the driver's own answer.
HANDLE Platform_SerialOpen(const char* winDevicePath, int portNumber) {
    gLastOpenError = ERROR_ACCESS_DENIED;
    const auto slot = std::find_if(gPortLocks.begin(), gPortLocks.end(),
                                   [](const PortLock& l) { return l.mutex == nullptr; });
    const HANDLE mutex = slot != gPortLocks.end() ? lockPort(portNumber) : nullptr;
    if (mutex == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE port =
        CreateFileA(winDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        gLastOpenError = GetLastError();
        unlockPort(mutex);
        return port;
    }
    gLastOpenError = ERROR_SUCCESS;
    *slot = PortLock{port, mutex, portNumber};
    return port;
}

// A port held by another program, or a driver still finishing a close, answers "access denied"
// (or "sharing violation", "busy"); an absent port "file not found".
BOOL Platform_SerialLastOpenRefused() {
    return gLastOpenError == ERROR_ACCESS_DENIED || gLastOpenError == ERROR_SHARING_VIOLATION ||
                   gLastOpenError == ERROR_BUSY
               ? 1
               : 0;
}

BOOL Platform_SerialSetQueues(HANDLE port, DWORD rxSize, DWORD txSize) {
    return SetupComm(port, rxSize, txSize) ? 1 : 0;
}

BOOL Platform_SerialSetTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts) {
    if (timeouts == nullptr) {
        return 0;
    }
    gRequestedTimeouts = *timeouts;
    COMMTIMEOUTS applied = *timeouts;
    if (!callerSetWriteTimeout()) {
        applied.WriteTotalTimeoutConstant = static_cast<DWORD>(writeBoundMs(0)); // until a write sets its own
    }
    if (!SetCommTimeouts(port, &applied)) {
        return 0;
    }
    gAppliedTimeouts = applied;
    return 1;
}

BOOL Platform_SerialSetState(HANDLE port, const DCB* settings) {
    if (settings == nullptr) {
        return 0;
    }
    DCB copy = *settings; // SetCommState takes a non-const record
    if (!SetCommState(port, &copy)) {
        return 0;
    }
    gLastBaudRate = settings->BaudRate;
    gLastCtsFlowControl = settings->fOutxCtsFlow != 0;
    gLastBitsPerCharacter = Platform_SerialBitsPerCharacter(*settings);
    return 1;
}

BOOL Platform_SerialPurge(HANDLE port) {
    return PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) ? 1 : 0;
}

BOOL Platform_SerialRaiseDtr(HANDLE port) {
    return EscapeCommFunction(port, SETDTR) ? 1 : 0;
}

BOOL Platform_SerialRead(HANDLE port, void* buffer, DWORD size, DWORD* bytesRead) {
    DWORD got = 0;
    const BOOL ok = ReadFile(port, buffer, size, &got, nullptr);
    if (bytesRead != nullptr) {
        *bytesRead = got;
    }
    return ok ? 1 : 0;
}

BOOL Platform_SerialWrite(HANDLE port, const void* buffer, DWORD size, DWORD* bytesWritten) {
    ULONGLONG limitMs = static_cast<ULONGLONG>(gRequestedTimeouts.WriteTotalTimeoutMultiplier) * size +
                        gRequestedTimeouts.WriteTotalTimeoutConstant;
    if (!callerSetWriteTimeout()) {
        limitMs = std::min<ULONGLONG>(writeBoundMs(size), MAXDWORD - 1);
        if (gAppliedTimeouts.WriteTotalTimeoutMultiplier != 0 ||
            gAppliedTimeouts.WriteTotalTimeoutConstant != limitMs) {
            COMMTIMEOUTS applied = gAppliedTimeouts;
            applied.WriteTotalTimeoutMultiplier = 0;
            applied.WriteTotalTimeoutConstant = static_cast<DWORD>(limitMs);
            if (SetCommTimeouts(port, &applied)) {
                gAppliedTimeouts = applied;
            }
        }
    }
    DWORD done = 0;
    const BOOL ok = WriteFile(port, buffer, size, &done, nullptr);
    if (bytesWritten != nullptr) {
        *bytesWritten = done;
    }
    // A write that timed out reports success with a partial count: that is a failed write.
    return ok && done == size ? 1 : 0;
}

BOOL Platform_SerialFlush(HANDLE port) {
    // Waits until the output queue is empty, within the bound of a write of what it counts at
    // first. Windows' own drivers count only writes not yet completed, so after a blocking write
    // the count is 0 and there is nothing to wait for; the bytes in the adapter's chip are
    // invisible to every call. Wine counts what the tty still holds (TIOCOUTQ). FlushFileBuffers
    // would wait without a bound, and Wine has been reported to carry it out as a discard
    // (tcflush), which would drop the end of an image.
    ULONGLONG deadline = 0;
    for (bool first = true;; first = false) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(port, &errors, &status)) {
            return 0;
        }
        if (status.cbOutQue == 0) {
            return 1;
        }
        const ULONGLONG now = GetTickCount64();
        if (first) {
            deadline = now + writeBoundMs(status.cbOutQue);
        }
        if (now >= deadline) {
            return 0;
        }
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(20, deadline - now)));
    }
}

BOOL Platform_SerialClose(HANDLE port) {
    const BOOL closed = CloseHandle(port) ? 1 : 0;
    // The port is closed before its mutex goes, so no other copy opens it while this one has it.
    for (PortLock& held : gPortLocks) {
        if (held.mutex != nullptr && held.port == port) {
            unlockPort(held.mutex);
            held = PortLock{};
        }
    }
    return closed;
}

void Platform_SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

uint64_t Platform_MonotonicMs() {
    return GetTickCount64();
}

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
