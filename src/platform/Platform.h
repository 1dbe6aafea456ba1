// The platform layer: the only place where the tool touches the operating system.
//
// Three implementations exist and one is chosen at link time:
//   PlatformWin32.cpp  - the Windows communications API, console library and Sleep
//   PlatformPosix.cpp  - termios serial ports, poll() deadlines, nanosleep, raw terminal key read
//   sim/VirtualSerial.cpp  - a virtual clock with the simulated unit at the far end (tests only)
//
// The serial functions mirror the Win32 calls that ComPortAPI needs, so ComPortAPI reads the same
// on every system. On systems other than Windows the DCB and COMMTIMEOUTS records are declared
// here with the Windows field names and layout.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
typedef int BOOL;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef void* HANDLE;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// Line settings, laid out like the Windows device-control block (28 bytes).
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

// Read and write time-outs, laid out like the Windows record.
struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
#endif

// How long a write may take beyond its bytes' own line time. With CTS flow control on, a unit may
// hold CTS low for a while (no healthy unit comes near 15 s); with it off, only a port that takes no
// bytes at all (a Bluetooth port without a partner, a wedged adapter) holds a write, so a second
// is plenty.
#define PLATFORM_WRITE_STALL_MARGIN_MS 15000u
#define PLATFORM_WRITE_NO_CTS_MARGIN_MS 1000u

// Bits one character takes on the line with these settings: the start bit, the data bits, a
// parity bit unless Parity is 0 (none), and one stop bit when StopBits is 0, else two (one and a
// half counts as two, as UARTs send it). On Windows NOPARITY and ONESTOPBIT are 0 as well, so the
// same rule reads both records.
constexpr unsigned Platform_SerialBitsPerCharacter(const DCB& settings) {
    return 1u + settings.ByteSize + (settings.Parity != 0 ? 1u : 0u) + (settings.StopBits != 0 ? 2u : 1u);
}

// The line time in ms of `bytes` characters of `bitsPerCharacter` bits each at `baudRate`, rounded
// up (never shorter than the bytes need: a bound) or down (never longer: a nap while they leave).
// A rate of 0 counts as 1200.
constexpr uint64_t Platform_SerialLineTimeMs(uint64_t bytes, uint32_t baudRate, unsigned bitsPerCharacter,
                                             bool roundUp) {
    const uint64_t rate = baudRate != 0 ? baudRate : 1200u;
    return (bytes * bitsPerCharacter * 1000u + (roundUp ? rate - 1u : 0u)) / rate;
}

// The bound of a write of `bytes` bytes, and of the drain of a transmit queue that counts `bytes`:
// their line time, rounded up, plus the margin for the flow control in force. One rule for every
// platform layer.
constexpr uint64_t Platform_SerialWriteBoundMs(uint64_t bytes, uint32_t baudRate, unsigned bitsPerCharacter,
                                               bool ctsFlowControl) {
    return Platform_SerialLineTimeMs(bytes, baudRate, bitsPerCharacter, true) +
           (ctsFlowControl ? PLATFORM_WRITE_STALL_MARGIN_MS : PLATFORM_WRITE_NO_CTS_MARGIN_MS);
}

// Opens serial port number portNumber; winDevicePath is its Windows name ("\\.\COMn").
// Exclusive access: a port already open elsewhere cannot be opened.
// Returns INVALID_HANDLE_VALUE on failure.
HANDLE Platform_SerialOpen(const char* winDevicePath, int portNumber);
// After an open that failed: 1 when the port exists but refused to open (held by another program,
// or a driver still finishing a close), 0 when it is absent or not a serial port at all.
BOOL Platform_SerialLastOpenRefused();
BOOL Platform_SerialSetQueues(HANDLE port, DWORD rxSize, DWORD txSize);
BOOL Platform_SerialSetTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts);
BOOL Platform_SerialSetState(HANDLE port, const DCB* settings);
// Aborts pending reads and writes and clears both driver queues.
BOOL Platform_SerialPurge(HANDLE port);
BOOL Platform_SerialRaiseDtr(HANDLE port);
// One blocking read under the time-outs last applied: returns once `size` bytes have arrived,
// or when the total time-out has passed since the read began.
BOOL Platform_SerialRead(HANDLE port, void* buffer, DWORD size, DWORD* bytesRead);
// One blocking write of all bytes, held back by CTS when CTS flow control is on. Unless the caller
// set a write time-out, it fails once Platform_SerialWriteBoundMs of its bytes has passed.
BOOL Platform_SerialWrite(HANDLE port, const void* buffer, DWORD size, DWORD* bytesWritten);
// Waits until the driver's transmit queue is empty: the bytes written have left the PC. A write
// returns once the driver has taken its bytes, and a Linux driver may hold seconds of line time
// (cdc-acm: up to 160 KiB). Bounded like a write of what the queue counts when the wait begins
// (Platform_SerialWriteBoundMs); 0 when the queue does not empty in time or the device is gone.
BOOL Platform_SerialFlush(HANDLE port);
BOOL Platform_SerialClose(HANDLE port);

void Platform_SleepMs(uint32_t milliseconds);
// Milliseconds on a clock that only moves forward, from an arbitrary start.
uint64_t Platform_MonotonicMs();

// Waits for one key press without echo. Returns the key, or -1 at end of input.
int Platform_GetKey();

// Reads one decimal integer from the console like scanf("%d").
// Returns 1 when a number was read (stored in *value), 0 for non-numeric input, -1 at end of input.
int Platform_ConsoleReadInt(int* value);

// Writes text to standard output at once.
void Platform_ConsoleWrite(const char* text, std::size_t length);

#endif
