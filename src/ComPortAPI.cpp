#include "ComPortAPI.h"

#include "Console.h"

#include <cstdio>

namespace {

// Highest port number whose device path fits szCOM: "\\.\COM" plus eight digits and the zero.
constexpr int kHighestPortNumber = 99999999;
constexpr std::size_t kDevicePathSize = 16;

// Formats "\\.\COMn" into szCOM. Numbers that do not fit are refused instead of cut.
bool formatDevicePath(char (&szCOM)[kDevicePathSize], int nId) {
    if (nId < 1 || nId > kHighestPortNumber) {
        return false;
    }
    const int length = std::snprintf(szCOM, sizeof szCOM, "\\\\.\\COM%d", nId);
    return length > 0 && static_cast<std::size_t>(length) < sizeof szCOM;
}

// Windows drivers refuse a quick reopen: right after a close, opening the same port can fail with
// "access denied" while the driver finishes the close. Detection closes and reopens each port for
// every rate, so a port closed here less than kReopenWindowMs ago that refuses is tried again,
// every kReopenRetryMs, until kReopenWindowMs have passed since the first try. An absent port
// fails at once; a port another program took costs at most the window.
constexpr uint64_t kReopenWindowMs = 1000;
constexpr uint32_t kReopenRetryMs = 50;

int gOpenPort = 0;         // the number of the port g_hCOM was opened on
int gLastClosedPort = 0;   // the port this module closed last (0: none yet)
uint64_t gLastCloseMs = 0; // and when, on the platform's monotonic clock

void closePort() {
    if (Platform_SerialClose(g_hCOM)) {
        gLastClosedPort = gOpenPort;
        gLastCloseMs = Platform_MonotonicMs();
    }
}

BOOL openDevice(int nId) {
    char szCOM[kDevicePathSize];
    if (!formatDevicePath(szCOM, nId)) {
        g_hCOM = INVALID_HANDLE_VALUE;
        return 0;
    }
    const uint64_t firstTryMs = Platform_MonotonicMs();
    const bool justClosed = nId == gLastClosedPort && firstTryMs - gLastCloseMs < kReopenWindowMs;
    g_hCOM = Platform_SerialOpen(szCOM, nId);
    while (g_hCOM == INVALID_HANDLE_VALUE && justClosed && Platform_SerialLastOpenRefused() &&
           Platform_MonotonicMs() - firstTryMs < kReopenWindowMs) {
        Platform_SleepMs(kReopenRetryMs);
        g_hCOM = Platform_SerialOpen(szCOM, nId);
    }
    if (g_hCOM == INVALID_HANDLE_VALUE) {
        return 0;
    }
    gOpenPort = nId;
    return 1;
}

} // namespace

static_assert(sizeof(DCB) == 28, "the line-settings record must have the platform's layout");

HANDLE g_hCOM = INVALID_HANDLE_VALUE;

// Field order of the record: length, rate, the flag bits from fBinary to fAbortOnError and the
// spare bits, then the reserved word, XON/XOFF limits, byte size, parity, stop bits and the five
// special characters.
DCB g_dcb = {
    28,        // DCBlength
    BAUD_RATE, // BaudRate
    1,         // fBinary
    0,         // fParity
    1,         // fOutxCtsFlow
    0,         // fOutxDsrFlow
    1,         // fDtrControl: DTR held on
    0,         // fDsrSensitivity
    0,         // fTXContinueOnXoff
    0,         // fOutX
    0,         // fInX
    0,         // fErrorChar
    0,         // fNull
    1,         // fRtsControl: RTS held on, no handshake
    0,         // fAbortOnError
    0,         // fDummy2
    0,         // wReserved
    256,       // XonLim
    256,       // XoffLim
    8,         // ByteSize
    0,         // Parity: none
    0,         // StopBits: one
    0x11,      // XonChar
    0x13,      // XoffChar
    0x3F,      // ErrorChar
    0x1A,      // EofChar
    0x10,      // EvtChar
    0,         // wReserved1
};

COMMTIMEOUTS g_cto = {
    MAX_WAIT_READ, // ReadIntervalTimeout
    0,             // ReadTotalTimeoutMultiplier
    MAX_WAIT_READ, // ReadTotalTimeoutConstant
    0,             // WriteTotalTimeoutMultiplier: no write time-out
    0,             // WriteTotalTimeoutConstant
};

BOOL ComPortAPI_OpenCOM(int nId) {
    if (!openDevice(nId)) {
        consolePrint("ERROR: Opening COM%d failed !", nId);
        return 0;
    }
    Platform_SerialSetQueues(g_hCOM, RX_SIZE, TX_SIZE);
    if (!Platform_SerialSetTimeouts(g_hCOM, &g_cto) || !Platform_SerialSetState(g_hCOM, &g_dcb)) {
        consolePrint("ERROR: COM%d configuration failed !", nId);
        closePort();
        return 0;
    }
    Platform_SerialPurge(g_hCOM);
    Platform_SerialRaiseDtr(g_hCOM);
    return 1;
}

BOOL ComPortAPI_ProbeCOM(int nId) {
    return openDevice(nId);
}

BOOL ComPortAPI_CloseCOM() {
    closePort();
    return 1;
}

BOOL ComPortAPI_ReadCOM(void* buffer, int nBytesToRead, int* pBytesRead) {
    DWORD got = 0;
    const BOOL ok =
        Platform_SerialRead(g_hCOM, buffer, nBytesToRead > 0 ? static_cast<DWORD>(nBytesToRead) : 0, &got);
    *pBytesRead = static_cast<int>(got);
    return ok ? 1 : 0;
}

BOOL ComPortAPI_WriteCOM(const void* buffer, int nBytesToWrite, int* pBytesWritten) {
    DWORD done = 0;
    const BOOL ok = Platform_SerialWrite(g_hCOM, buffer,
                                         nBytesToWrite > 0 ? static_cast<DWORD>(nBytesToWrite) : 0, &done);
    *pBytesWritten = static_cast<int>(done);
    return ok ? 1 : 0;
}

BOOL ComPortAPI_FlushCOM() {
    return Platform_SerialFlush(g_hCOM) ? 1 : 0;
}

BOOL ComPortAPI_SetReadingTimeoutInMs(int timeoutInMs) {
    const auto timeout = static_cast<DWORD>(timeoutInMs);
    if (timeout == g_cto.ReadIntervalTimeout) {
        return 1;
    }
    g_cto.ReadIntervalTimeout = timeout;
    g_cto.ReadTotalTimeoutConstant = timeout;
    return Platform_SerialSetTimeouts(g_hCOM, &g_cto) ? 1 : 0;
}

BOOL ComPortAPI_SetBaudRate(int baudrate) {
    const auto rate = static_cast<DWORD>(baudrate);
    if (rate == g_dcb.BaudRate) {
        return 1;
    }
    g_dcb.BaudRate = rate;
    return Platform_SerialSetState(g_hCOM, &g_dcb) ? 1 : 0;
}

BOOL ComPortAPI_SetHardwareFlowControl(BOOL isEnable) {
    if (static_cast<BOOL>(g_dcb.fOutxCtsFlow) == isEnable) {
        return 1;
    }
    g_dcb.fOutxCtsFlow = static_cast<DWORD>(isEnable) & 1u;
    return Platform_SerialSetState(g_hCOM, &g_dcb) ? 1 : 0;
}
