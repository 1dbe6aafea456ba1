#include "PtyPort.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace velmora_sim {

namespace {

struct SpeedEntry {
    speed_t code;
    uint32_t baud;
};

constexpr SpeedEntry kSpeeds[] = {
    {B50, 50},         {B75, 75},       {B110, 110},     {B134, 134},     {B150, 150},       {B200, 200},
    {B300, 300},       {B600, 600},     {B1200, 1200},   {B1800, 1800},   {B2400, 2400},     {B4800, 4800},
    {B9600, 9600},     {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
#ifdef B230400
    {B230400, 230400},
#endif
#ifdef B460800
    {B460800, 460800},
#endif
#ifdef B921600
    {B921600, 921600},
#endif
};

#ifdef __linux__
// The kernel's own record of a line's settings (termios2), whose rates are numbers: a program that
// sets a rate as a number (BOTHER; Wine 10 sets every rate so) leaves a speed code that the
// termios calls cannot read. asm/termbits.h, which declares it, cannot be included beside termios.h.
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
#endif

} // namespace

void makeRaw(termios& tio) {
    tio.c_iflag &= static_cast<tcflag_t>(
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK));
    tio.c_oflag &= static_cast<tcflag_t>(~OPOST);
    tio.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL | ICANON | ISIG | IEXTEN));
    tio.c_cflag &= static_cast<tcflag_t>(~(CSIZE | PARENB));
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

uint32_t baudOfSpeedCode(unsigned long code) {
    for (const SpeedEntry& entry : kSpeeds) {
        if (static_cast<unsigned long>(entry.code) == code) {
            return entry.baud;
        }
    }
    return 0;
}

unsigned long speedCodeOfBaud(uint32_t baud) {
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.baud == baud) {
            return static_cast<unsigned long>(entry.code);
        }
    }
    return 0;
}

PtyPort::~PtyPort() {
    destroy();
}

bool PtyPort::create() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error_ = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(master_);
    if (name == nullptr) {
        error_ = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    slavePath_ = name;
    slaveHold_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slaveHold_ < 0) {
        error_ = "cannot open " + slavePath_ + ": " + std::strerror(errno);
        return false;
    }
    // Raw from the start: a probe that opens the port without configuring it must not have the
    // unit's bytes echoed back to the unit or line ends rewritten.
    termios tio{};
    if (tcgetattr(slaveHold_, &tio) != 0) {
        error_ = std::string("cannot read the pty settings: ") + std::strerror(errno);
        return false;
    }
    makeRaw(tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    if (tcsetattr(slaveHold_, TCSANOW, &tio) != 0) {
        error_ = std::string("cannot set the pty to raw mode: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool PtyPort::publish(const std::string& path) {
    unlink(path.c_str()); // a link left behind by an earlier run
    if (symlink(slavePath_.c_str(), path.c_str()) != 0) {
        error_ = "cannot link " + path + " to " + slavePath_ + ": " + std::strerror(errno);
        return false;
    }
    links_.push_back(path);
    return true;
}

void PtyPort::unpublish() {
    for (const std::string& link : links_) {
        unlink(link.c_str());
    }
    links_.clear();
}

void PtyPort::destroy() {
    unpublish();
    if (slaveHold_ >= 0) {
        ::close(slaveHold_);
        slaveHold_ = -1;
    }
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

ToolLine PtyPort::toolLine(uint32_t, uint32_t) {
    ToolLine line;
    termios tio{};
    if (slaveHold_ < 0 || tcgetattr(slaveHold_, &tio) != 0) {
        return line;
    }
    line.sendBaud = baudOfSpeedCode(static_cast<unsigned long>(cfgetospeed(&tio)));
    const speed_t in = cfgetispeed(&tio);
    // An input speed of 0 means "the same as the output speed".
    line.listenBaud = in == 0 ? line.sendBaud : baudOfSpeedCode(static_cast<unsigned long>(in));
#ifdef __linux__
    KernelTermios2 kernel{};
    if (ioctl(slaveHold_, _IOR('T', 0x2A, KernelTermios2), &kernel) == 0) { // TCGETS2
        line.sendBaud = kernel.c_ospeed;
        line.listenBaud = kernel.c_ispeed; // the kernel gives the output rate for "the same"
    }
#endif
#ifdef CRTSCTS
    line.ctsFlow = (tio.c_cflag & CRTSCTS) != 0;
#endif
    return line;
}

bool PtyPort::holdToolOutput(bool hold) {
    return slaveHold_ >= 0 && tcflow(slaveHold_, hold ? TCOOFF : TCOON) == 0;
}

} // namespace velmora_sim
