#include "DevicePort.h"

#include "PtyPort.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace velmora_sim {

bool DevicePort::open(const std::string& path, uint32_t baud) {
    // A gadget port has no rate of its own; its settings keep a nominal one.
    const auto code = static_cast<speed_t>(speedCodeOfBaud(usbCdc_ ? 9600 : baud));
    if (code == 0) {
        error_ = "a UART has no standard rate " + std::to_string(baud);
        return false;
    }
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    // Raw at once: a device starts cooked with echo on, so the tool's first bytes would be echoed
    // back to it or held as a line. CLOCAL too, or closing this end hangs up the tool's end.
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) {
        error_ = path + " is not a serial device: " + std::strerror(errno);
        close();
        return false;
    }
    makeRaw(tio);
    tio.c_cflag &= static_cast<tcflag_t>(~CSTOPB);
#ifdef CRTSCTS
    tio.c_cflag &= static_cast<tcflag_t>(~CRTSCTS); // RTS is the unit's CTS, driven by hand
#endif
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) {
        error_ = "cannot set " + path + " to raw 8N1: " + std::strerror(errno);
        close();
        return false;
    }
    tcflush(fd_, TCIOFLUSH); // anything that came in before the line was raw
    ioctl(fd_, TIOCEXCL);
    int lines = TIOCM_RTS | TIOCM_DTR;
    ioctl(fd_, TIOCMBIS, &lines); // a gadget port has no modem lines: fails, and needs none
    rate_ = baud;
    return true;
}

ToolLine DevicePort::toolLine(uint32_t unitTalks, uint32_t unitListens) {
    if (usbCdc_) {
        return ToolLine{unitListens, 0, false}; // every byte understood, whatever the rates
    }
    const auto code = static_cast<speed_t>(speedCodeOfBaud(unitTalks));
    termios tio{};
    if (unitTalks != rate_ && code != 0 && tcgetattr(fd_, &tio) == 0 && cfsetispeed(&tio, code) == 0 &&
        cfsetospeed(&tio, code) == 0 && tcsetattr(fd_, TCSADRAIN, &tio) == 0) {
        rate_ = unitTalks;
    }
    // The bytes are heard at the device's rate, and what the unit sends is garbled on the wire.
    // RTS is the unit's CTS: a real line.
    return ToolLine{rate_, 0, false, true};
}

bool DevicePort::holdToolOutput(bool hold) {
    int rts = TIOCM_RTS;
    return !usbCdc_ && fd_ >= 0 && ioctl(fd_, hold ? TIOCMBIC : TIOCMBIS, &rts) == 0;
}

void DevicePort::vanish() {
    DIR* controllers = usbCdc_ ? opendir("/sys/class/udc") : nullptr;
    bool unplugged = false;
    while (const dirent* entry = controllers != nullptr ? readdir(controllers) : nullptr) {
        const std::string path = std::string("/sys/class/udc/") + entry->d_name + "/soft_connect";
        std::FILE* file = entry->d_name[0] == '.' ? nullptr : std::fopen(path.c_str(), "w");
        if (file != nullptr) {
            const bool written = std::fputs("disconnect", file) >= 0;
            unplugged = (std::fclose(file) == 0 && written) || unplugged;
        }
    }
    if (controllers != nullptr) {
        closedir(controllers);
    }
    if (!unplugged) {
        std::fprintf(stderr, "VelmoraUnitSim: no USB device controller took the disconnect\n");
    }
    close();
}

void DevicePort::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace velmora_sim
