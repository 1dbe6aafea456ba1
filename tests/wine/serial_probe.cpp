// Serial probe: a small Windows program that measures how the serial port it is given behaves on
// the points the update tool relies on. It is cross-built and run under Wine against a
// pseudo-terminal, whose other side is driven by the wine test program (test_wine_serial.cpp).
//
//   serial_probe.exe <port number>
//
// The probe and the far end keep in step through the line itself: before each experiment the
// probe writes a marker line "@@probe <name>\n", and the far end answers it with the bytes or the
// silence that the experiment needs, timed from the moment the marker arrives. Results go to
// standard output, one line per experiment:
//
//   result <name> ok=<0|1> bytes=<count> ms=<elapsed> err=<GetLastError> [key=value ...]
//
// The Windows rules measured here: a read whose interval and total time-outs are both T (no
// multiplier) returns once the requested count has arrived, or T ms after it began with whatever
// came; PurgeComm drops what is queued; SetCommState takes the line settings the tool uses,
// CTS output flow control included; a write time-out ends a write the far end does not take.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

HANDLE gPort = INVALID_HANDLE_VALUE;
LARGE_INTEGER gFrequency;

double nowMs() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(gFrequency.QuadPart);
}

void report(const char* name, BOOL ok, unsigned long bytes, double ms, const std::string& extra = {}) {
    std::printf("result %s ok=%d bytes=%lu ms=%.0f err=%lu%s%s\n", name, ok ? 1 : 0, bytes, ms,
                ok ? 0ul : static_cast<unsigned long>(GetLastError()), extra.empty() ? "" : " ", extra.c_str());
    std::fflush(stdout);
}

std::string devicePath(int port) { return "\\\\.\\COM" + std::to_string(port); }

HANDLE openPort(int port) {
    return CreateFileA(devicePath(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The line settings the update tool applies: 8N1, binary, DTR and RTS held on.
DCB toolSettings(DWORD rate, bool ctsFlow) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = rate;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = ctsFlow ? 1 : 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 256;
    dcb.XoffLim = 256;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0x3F;
    dcb.EofChar = 0x1A;
    dcb.EvtChar = 0x10;
    return dcb;
}

BOOL setReadTimeout(DWORD ms, DWORD writeMultiplier = 0, DWORD writeConstant = 0) {
    COMMTIMEOUTS cto;
    cto.ReadIntervalTimeout = ms;
    cto.ReadTotalTimeoutMultiplier = 0;
    cto.ReadTotalTimeoutConstant = ms;
    cto.WriteTotalTimeoutMultiplier = writeMultiplier;
    cto.WriteTotalTimeoutConstant = writeConstant;
    return SetCommTimeouts(gPort, &cto);
}

bool marker(const std::string& name) {
    const std::string line = "@@probe " + name + "\n";
    DWORD written = 0;
    return WriteFile(gPort, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) && written == line.size();
}

// One read of `count` bytes under read time-out `timeoutMs`, started right after the marker.
void timedRead(const char* name, DWORD timeoutMs, DWORD count) {
    setReadTimeout(timeoutMs);
    std::vector<char> buffer(count);
    marker(name);
    DWORD got = 0;
    const double start = nowMs();
    const BOOL ok = ReadFile(gPort, buffer.data(), count, &got, nullptr);
    report(name, ok, got, nowMs() - start, "timeout=" + std::to_string(timeoutMs));
}

void settingsReadback(const char* name) {
    DCB current;
    std::memset(&current, 0, sizeof current);
    current.DCBlength = sizeof current;
    const BOOL ok = GetCommState(gPort, &current);
    const std::string extra = "baud=" + std::to_string(current.BaudRate) +
                              " cts=" + std::to_string(current.fOutxCtsFlow) +
                              " dtr=" + std::to_string(current.fDtrControl) +
                              " rts=" + std::to_string(current.fRtsControl) +
                              " bytesize=" + std::to_string(current.ByteSize) +
                              " parity=" + std::to_string(current.Parity) +
                              " stopbits=" + std::to_string(current.StopBits);
    report(name, ok, 0, 0, extra);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: serial_probe <port number>\n");
        return 2;
    }
    QueryPerformanceFrequency(&gFrequency);
    const int port = std::atoi(argv[1]);

    // Opening and configuring as ComPortAPI_OpenCOM does.
    gPort = openPort(port);
    report("open", gPort != INVALID_HANDLE_VALUE, 0, 0);
    if (gPort == INVALID_HANDLE_VALUE) {
        return 1;
    }
    report("setup_queues", SetupComm(gPort, 8192, 8192), 0, 0);
    report("set_timeouts", setReadTimeout(500), 0, 0);
    DCB dcb = toolSettings(9600, false);
    report("set_state", SetCommState(gPort, &dcb), 0, 0);
    settingsReadback("readback_9600");
    report("purge", PurgeComm(gPort, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR), 0, 0);
    report("raise_dtr", EscapeCommFunction(gPort, SETDTR), 0, 0);
    DWORD modem = 0;
    const BOOL modemOk = GetCommModemStatus(gPort, &modem);
    report("modem_status", modemOk, 0, 0, "cts_on=" + std::to_string((modem & MS_CTS_ON) != 0 ? 1 : 0));

    // The time-out rule.
    timedRead("silent", 500, 100);       // nothing comes: 0 bytes after T
    timedRead("full", 500, 64);          // 64 bytes at +100 ms: returns when they are in
    timedRead("partial", 500, 100);      // 10 bytes at +100 ms, then silence
    timedRead("gap", 500, 100);          // 5 bytes at +100 ms, 5 more at +350 ms
    timedRead("trickle", 500, 100);      // one byte every 150 ms, eight in all
    Sleep(1200);                         // let the trickle end, then drop its rest
    PurgeComm(gPort, PURGE_RXABORT | PURGE_RXCLEAR);
    timedRead("silent_long", 1000, 100); // a changed time-out applies to the open port

    // Purge: bytes queued before PurgeComm are gone afterwards.
    {
        setReadTimeout(300);
        marker("purge_rx");
        Sleep(400); // the far end sends 32 bytes at once on the marker
        const BOOL purged = PurgeComm(gPort, PURGE_RXABORT | PURGE_RXCLEAR);
        char buffer[100];
        DWORD got = 0;
        const double start = nowMs();
        ReadFile(gPort, buffer, sizeof buffer, &got, nullptr);
        report("purge_rx", purged, got, nowMs() - start);
    }
    // Bytes that arrive while the port is closed are dropped by the purge of the next open.
    {
        marker("reopen");
        CloseHandle(gPort);
        Sleep(400); // the far end sends 16 bytes at once on the marker
        gPort = openPort(port);
        const BOOL reopened = gPort != INVALID_HANDLE_VALUE;
        setReadTimeout(300);
        dcb = toolSettings(9600, false);
        SetCommState(gPort, &dcb);
        PurgeComm(gPort, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        char buffer[100];
        DWORD got = 0;
        const double start = nowMs();
        ReadFile(gPort, buffer, sizeof buffer, &got, nullptr);
        report("reopen", reopened, got, nowMs() - start);
    }

    // Rates: the far end reads the tty's speed after each marker.
    for (DWORD rate : {115200ul, 1200ul, 57600ul, 9600ul}) {
        dcb = toolSettings(rate, false);
        const std::string name = "baud_" + std::to_string(rate);
        const BOOL ok = SetCommState(gPort, &dcb);
        report(name.c_str(), ok, 0, 0);
        marker(name);
        Sleep(200); // the far end reads the speed before the next change
    }

    // CTS output flow control: accepted, and what a write does when the line has no CTS.
    {
        dcb = toolSettings(115200, true);
        report("cts_on", SetCommState(gPort, &dcb), 0, 0);
        settingsReadback("readback_cts");
        marker("cts_on");
        Sleep(200);
        setReadTimeout(500, 1, 2000);
        std::vector<char> data(20000, 'c');
        DWORD written = 0;
        const double start = nowMs();
        const BOOL ok = WriteFile(gPort, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
        report("cts_write", ok, written, nowMs() - start);
    }

    // A far end that takes nothing: does the write time-out end the write?
    {
        dcb = toolSettings(115200, false);
        SetCommState(gPort, &dcb);
        setReadTimeout(500, 0, 1000);
        marker("stall");
        Sleep(200);
        std::vector<char> data(1 << 20, 's');
        DWORD written = 0;
        const double start = nowMs();
        const BOOL ok = WriteFile(gPort, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
        report("stall_write", ok, written, nowMs() - start);
    }

    // Exclusive access and absent ports.
    {
        HANDLE second = openPort(port);
        report("open_twice", second != INVALID_HANDLE_VALUE, 0, 0);
        if (second != INVALID_HANDLE_VALUE) {
            CloseHandle(second);
        }
        HANDLE absent = openPort(port + 1);
        report("open_absent", absent != INVALID_HANDLE_VALUE, 0, 0);
        if (absent != INVALID_HANDLE_VALUE) {
            CloseHandle(absent);
        }
    }

    setReadTimeout(500);
    marker("done");
    report("close", CloseHandle(gPort), 0, 0);
    return 0;
}
