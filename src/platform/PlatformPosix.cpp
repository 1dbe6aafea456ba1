// Serial ports and sleeping on POSIX systems, over termios.
//
// The tool is written against the Windows communications API; this file gives the same
// observable behaviour on a tty:
//  - A port is opened exclusively. Both the tty's exclusive flag (TIOCEXCL) and an flock() are
//    taken, because TIOCEXCL does not stop root and flock only binds programs that use it. A
//    port that another program holds under either counts as one that cannot be opened.
//  - Reads follow the Windows time-out record: a read returns as soon as the requested count
//    has arrived, or else when the total time-out has passed since the read began. The deadline
//    is kept on the monotonic clock and waited for with poll(); VTIME is not used, because it
//    counts in 100 ms steps and only between bytes.
//  - Writes go out completely or fail. A write that cannot make progress (CTS held low by a unit
//    that is stuck or absent, or a port that takes nothing) fails after the bytes' own line time
//    plus a margin: 15 s with CTS flow control on, 1 s with it off (Platform_SerialWriteBoundMs).
//  - An open that fails says why: refused (held by another program) or absent.
//  - A device that vanishes (a USB adapter pulled out) shows as hang-up, error or end of file.
//    It is treated as a silent line for the rest of the read's deadline, without spinning, and
//    the read reports failure.
#include "platform/Platform.h"
#include "platform/PosixDeviceNames.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// One open port. The handle given to the caller is the slot index + 1, so it is never null and
// never INVALID_HANDLE_VALUE; a stale handle points at a closed slot and every call on it fails.
struct OpenPort {
    int fd = -1;
    COMMTIMEOUTS timeouts{};
    uint32_t baudRate = 0;
    unsigned bitsPerCharacter = 10; // start bit + 8 data bits + stop bit
    bool ctsFlowControl = false;
};

constexpr std::size_t kMaxOpenPorts = 8;
std::array<OpenPort, kMaxOpenPorts> gOpenPorts;
bool gLastOpenRefused = false;

constexpr DWORD kNoTimeout = 0xFFFFFFFFu; // MAXDWORD
// Time-outs are clamped to this (30 days) so that a huge multiplier times a huge count cannot
// overflow the clock's arithmetic.
constexpr unsigned long long kLongestWaitMs = 30ull * 24 * 3600 * 1000;

OpenPort* portOf(HANDLE handle) {
    const auto value = reinterpret_cast<intptr_t>(handle);
    if (value < 1 || value > static_cast<intptr_t>(kMaxOpenPorts)) {
        return nullptr;
    }
    OpenPort& port = gOpenPorts[static_cast<std::size_t>(value - 1)];
    return port.fd >= 0 ? &port : nullptr;
}

HANDLE handleOf(std::size_t slot) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(slot + 1));
}

struct BaudEntry {
    uint32_t rate;
    speed_t code;
};

// The standard rates this system knows. A rate missing here cannot be set.
constexpr BaudEntry kBaudTable[] = {
    {50, B50},           {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},         {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool speedCodeOf(uint32_t rate, speed_t* code) {
    for (const BaudEntry& entry : kBaudTable) {
        if (entry.rate == rate) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

uint32_t rateOf(speed_t code) {
    for (const BaudEntry& entry : kBaudTable) {
        if (entry.code == code) {
            return entry.rate;
        }
    }
    return 0;
}

// Milliseconds left until `deadline`, rounded up so that a wait never ends early.
int msUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void sleepUntil(Clock::time_point deadline) {
    for (int ms = msUntil(deadline); ms > 0; ms = msUntil(deadline)) {
        Platform_SleepMs(static_cast<uint32_t>(ms));
    }
}

// The modem lines are best effort: a pseudo-terminal has none, and a port without them is
// still a port.
void setModemLines(int fd, int lines, bool raised) {
    if (lines != 0) {
        (void)ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &lines);
    }
}

} // namespace

// Opens the device, or says through gLastOpenRefused why it could not: a port held by another
// program (EBUSY from a tty another program made exclusive, its lock, its exclusive flag) is
// refused; a missing node, a vanished device, a file that is no terminal or a port the user may
// not open fails at once, as absent.
HANDLE Platform_SerialOpen(const char* winDevicePath, int portNumber) {
    (void)winDevicePath; // the Windows name means nothing here; the number picks the device
    gLastOpenRefused = false;
    char path[4096];
    if (!PosixDeviceNames_ComPath(portNumber, PosixDeviceNames_BuildFormat(), path, sizeof path)) {
        return INVALID_HANDLE_VALUE;
    }
    std::size_t slot = 0;
    while (slot < kMaxOpenPorts && gOpenPorts[slot].fd >= 0) {
        ++slot;
    }
    if (slot == kMaxOpenPorts) {
        return INVALID_HANDLE_VALUE;
    }

    int flags = O_RDWR | O_NOCTTY | O_NONBLOCK;
#ifdef O_CLOEXEC
    flags |= O_CLOEXEC; // a child process must not inherit the port and its lock
#endif
    const int fd = open(path, flags);
    if (fd < 0) {
        gLastOpenRefused = errno == EBUSY;
        return INVALID_HANDLE_VALUE;
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) { // not a terminal: not a serial port either
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        gLastOpenRefused = errno == EWOULDBLOCK;
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
#ifdef TIOCGEXCL
    // Root passes an exclusive flag that another program set; refuse the port all the same.
    int alreadyExclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &alreadyExclusive) == 0 && alreadyExclusive != 0) {
        gLastOpenRefused = true;
        flock(fd, LOCK_UN);
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
#endif
    if (ioctl(fd, TIOCEXCL) != 0) {
        flock(fd, LOCK_UN);
        close(fd);
        return INVALID_HANDLE_VALUE;
    }

    OpenPort& port = gOpenPorts[slot];
    port = OpenPort{};
    port.fd = fd;
    port.baudRate = rateOf(cfgetospeed(&settings));
    return handleOf(slot);
}

BOOL Platform_SerialLastOpenRefused() {
    return gLastOpenRefused ? 1 : 0;
}

BOOL Platform_SerialSetQueues(HANDLE handle, DWORD rxSize, DWORD txSize) {
    // The kernel's tty buffers have a fixed size; there is nothing to set.
    (void)rxSize;
    (void)txSize;
    return portOf(handle) != nullptr ? 1 : 0;
}

BOOL Platform_SerialSetTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
    OpenPort* port = portOf(handle);
    if (port == nullptr || timeouts == nullptr) {
        return 0;
    }
    port->timeouts = *timeouts;
    return 1;
}

BOOL Platform_SerialSetState(HANDLE handle, const DCB* settings) {
    OpenPort* port = portOf(handle);
    if (port == nullptr || settings == nullptr) {
        return 0;
    }
    speed_t speed = 0;
    if (!speedCodeOf(settings->BaudRate, &speed)) {
        return 0;
    }
    tcflag_t characterSize = CS8;
    switch (settings->ByteSize) {
    case 5:
        characterSize = CS5;
        break;
    case 6:
        characterSize = CS6;
        break;
    case 7:
        characterSize = CS7;
        break;
    case 8:
        characterSize = CS8;
        break;
    default:
        return 0;
    }
    // Parity: 0 none, 1 odd, 2 even. Mark and space parity have no portable termios form.
    if (settings->Parity > 2) {
        return 0;
    }
    // Stop bits: 0 one, 1 one and a half (taken as two, as UARTs do), 2 two.
    if (settings->StopBits > 2) {
        return 0;
    }

    termios tio{};
    if (tcgetattr(port->fd, &tio) != 0) {
        return 0;
    }
    // Raw mode: no line editing, no translation of CR or LF, no signals, no software flow
    // control, every byte passed through as it is.
    tio.c_iflag &= static_cast<tcflag_t>(
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK));
    tio.c_oflag &= static_cast<tcflag_t>(~OPOST);
    tio.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL | ICANON | ISIG | IEXTEN));
    tio.c_cflag &= static_cast<tcflag_t>(~(CSIZE | PARENB | PARODD | CSTOPB));
    tio.c_cflag |= characterSize | CLOCAL | CREAD;
    if (settings->Parity != 0) {
        tio.c_cflag |= PARENB;
        if (settings->Parity == 1) {
            tio.c_cflag |= PARODD;
        }
    }
    if (settings->StopBits != 0) {
        tio.c_cflag |= CSTOPB;
    }
#ifdef CRTSCTS
    if (settings->fOutxCtsFlow) {
        tio.c_cflag |= CRTSCTS;
    } else {
        tio.c_cflag &= static_cast<tcflag_t>(~CRTSCTS);
    }
#else
    if (settings->fOutxCtsFlow) {
        return 0; // no hardware flow control on this system
    }
#endif
    // Reads never block in the driver: poll() does the waiting.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) {
        return 0;
    }
    if (tcsetattr(port->fd, TCSANOW, &tio) != 0) {
        return 0;
    }
    // tcsetattr succeeds when any part of the change was taken; a rate the driver refused
    // shows only when the settings are read back.
    termios applied{};
    if (tcgetattr(port->fd, &applied) != 0 || cfgetospeed(&applied) != speed) {
        return 0;
    }

    // fDtrControl and fRtsControl: 1 holds the line on, 0 holds it off. The handshake modes
    // (2) leave the line to the driver.
    int raiseLines = 0;
    int dropLines = 0;
    if (settings->fDtrControl == 1) {
        raiseLines |= TIOCM_DTR;
    } else if (settings->fDtrControl == 0) {
        dropLines |= TIOCM_DTR;
    }
    if (settings->fRtsControl == 1) {
        raiseLines |= TIOCM_RTS;
    } else if (settings->fRtsControl == 0) {
        dropLines |= TIOCM_RTS;
    }
    setModemLines(port->fd, raiseLines, true);
    setModemLines(port->fd, dropLines, false);

    port->baudRate = settings->BaudRate;
    port->ctsFlowControl = settings->fOutxCtsFlow != 0;
    port->bitsPerCharacter = Platform_SerialBitsPerCharacter(*settings);
    return 1;
}

BOOL Platform_SerialPurge(HANDLE handle) {
    OpenPort* port = portOf(handle);
    if (port == nullptr) {
        return 0;
    }
    return tcflush(port->fd, TCIOFLUSH) == 0 ? 1 : 0;
}

BOOL Platform_SerialRaiseDtr(HANDLE handle) {
    OpenPort* port = portOf(handle);
    if (port == nullptr) {
        return 0;
    }
    int lines = TIOCM_DTR;
    if (ioctl(port->fd, TIOCMBIS, &lines) == 0) {
        return 1;
    }
    // A pseudo-terminal or a similar line without modem lines: nothing to raise.
    return errno == ENOTTY || errno == EINVAL ? 1 : 0;
}

BOOL Platform_SerialRead(HANDLE handle, void* buffer, DWORD size, DWORD* bytesRead) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    OpenPort* port = portOf(handle);
    if (port == nullptr || (buffer == nullptr && size != 0)) {
        return 0;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    const COMMTIMEOUTS& t = port->timeouts;
    const auto start = Clock::now();

    // The Windows rules: a total time-out of constant + multiplier x count, measured from the
    // start; an interval time-out measured from the last byte received; both zero means wait
    // for the count; an interval of MAXDWORD with no total time-out means "take what is there".
    const bool takeWhatIsThere = t.ReadIntervalTimeout == kNoTimeout && t.ReadTotalTimeoutConstant == 0 &&
                                 t.ReadTotalTimeoutMultiplier == 0;
    const unsigned long long totalMs = std::min(
        static_cast<unsigned long long>(t.ReadTotalTimeoutMultiplier) * size + t.ReadTotalTimeoutConstant,
        kLongestWaitMs);
    const bool hasTotal = totalMs != 0 || takeWhatIsThere;
    const auto totalDeadline = start + std::chrono::milliseconds(takeWhatIsThere ? 0 : totalMs);
    const bool hasInterval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kNoTimeout;

    DWORD got = 0;
    auto lastByte = start;
    bool vanished = false;
    while (got < size) {
        auto deadline = Clock::time_point::max();
        if (hasTotal) {
            deadline = totalDeadline;
        }
        if (hasInterval && got > 0) {
            const auto intervalDeadline = lastByte + std::chrono::milliseconds(t.ReadIntervalTimeout);
            if (intervalDeadline < deadline) {
                deadline = intervalDeadline;
            }
        }
        const bool unbounded = deadline == Clock::time_point::max();
        const int waitMs = unbounded ? -1 : msUntil(deadline);
        if (!unbounded && waitMs == 0 && !takeWhatIsThere) {
            break;
        }
        pollfd pfd{port->fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, waitMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            vanished = true;
            break;
        }
        if (ready == 0) {
            if (takeWhatIsThere) {
                break;
            }
            continue; // the loop head sees whether the deadline has really passed
        }
        if ((pfd.revents & POLLIN) != 0) {
            const ssize_t n = read(port->fd, bytes + got, size - got);
            if (n > 0) {
                got += static_cast<DWORD>(n);
                lastByte = Clock::now();
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                continue;
            }
            vanished = true; // end of file or EIO: the device is gone
            break;
        }
        if ((pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            vanished = true;
            break;
        }
    }
    if (bytesRead != nullptr) {
        *bytesRead = got;
    }
    if (vanished) {
        // A line that has gone silent for good: wait out the read as a silent line would,
        // so callers that read until silence do not spin, then report the failure.
        if (hasTotal) {
            sleepUntil(totalDeadline);
        }
        return 0;
    }
    return 1;
}

BOOL Platform_SerialWrite(HANDLE handle, const void* buffer, DWORD size, DWORD* bytesWritten) {
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    OpenPort* port = portOf(handle);
    if (port == nullptr || (buffer == nullptr && size != 0)) {
        return 0;
    }
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    const COMMTIMEOUTS& t = port->timeouts;

    // A write time-out set by the caller is kept. Without one, the write may take the bytes'
    // line time plus the margin of the flow control in force: enough for any healthy unit, short
    // of hanging the tool when CTS never rises or the port takes nothing.
    unsigned long long limitMs = 0;
    if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
        limitMs = static_cast<unsigned long long>(t.WriteTotalTimeoutMultiplier) * size +
                  t.WriteTotalTimeoutConstant;
    } else {
        limitMs =
            Platform_SerialWriteBoundMs(size, port->baudRate, port->bitsPerCharacter, port->ctsFlowControl);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::min(limitMs, kLongestWaitMs));

    DWORD done = 0;
    bool failed = false;
    while (done < size) {
        const ssize_t n = write(port->fd, bytes + done, size - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            failed = true; // EIO and the like: the device is gone
            break;
        }
        // The driver's queue is full: wait for room, up to the deadline.
        const int waitMs = msUntil(deadline);
        if (waitMs == 0) {
            failed = true;
            break;
        }
        pollfd pfd{port->fd, POLLOUT, 0};
        const int ready = poll(&pfd, 1, waitMs);
        if (ready < 0 && errno != EINTR) {
            failed = true;
            break;
        }
        if (ready > 0 && (pfd.revents & POLLOUT) == 0 &&
            (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            failed = true;
            break;
        }
    }
    if (bytesWritten != nullptr) {
        *bytesWritten = done;
    }
    return failed ? 0 : 1;
}

BOOL Platform_SerialFlush(HANDLE handle) {
    OpenPort* port = portOf(handle);
    if (port == nullptr) {
        return 0;
    }
    // TIOCOUTQ counts what the driver still holds: the serial core's buffer, a USB adapter's FIFO
    // and its requests in flight. (tcdrain would wait the same way, but without a bound.) cdc-acm
    // counts busy write buffers times 10,240 rather than bytes (up to 160 KiB, 14 s at 115200),
    // so the bound comes from the first count, like a write of that many bytes.
    Clock::time_point deadline{};
    for (bool first = true;; first = false) {
        int queued = 0;
        if (ioctl(port->fd, TIOCOUTQ, &queued) != 0) {
            // A line that cannot tell has nothing to wait for; a device that is gone (EIO) fails.
            return errno == ENOTTY || errno == EINVAL ? 1 : 0;
        }
        if (queued <= 0) {
            return 1;
        }
        if (first) {
            deadline = Clock::now() + std::chrono::milliseconds(Platform_SerialWriteBoundMs(
                                          static_cast<uint64_t>(queued), port->baudRate,
                                          port->bitsPerCharacter, port->ctsFlowControl));
        }
        const int left = msUntil(deadline);
        if (left == 0) {
            return 0;
        }
        // Short naps, so that the end of the queue is seen within a few ms of line time.
        const uint64_t lineMs = Platform_SerialLineTimeMs(static_cast<uint64_t>(queued), port->baudRate,
                                                          port->bitsPerCharacter, false);
        const auto nap = std::clamp<uint64_t>(lineMs, 1, static_cast<uint64_t>(std::min(20, left)));
        Platform_SleepMs(static_cast<uint32_t>(nap));
    }
}

BOOL Platform_SerialClose(HANDLE handle) {
    OpenPort* port = portOf(handle);
    if (port == nullptr) {
        return 0;
    }
    // Leave no exclusive flag behind: the next program to open the port must find it free.
    (void)ioctl(port->fd, TIOCNXCL);
    (void)flock(port->fd, LOCK_UN);
    const int result = close(port->fd);
    *port = OpenPort{};
    return result == 0 ? 1 : 0;
}

uint64_t Platform_MonotonicMs() {
    const auto sinceStart = Clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count());
}

void Platform_SleepMs(uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000u),
                       static_cast<long>(milliseconds % 1000u) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
