#include "DevicePort.h"

#include "PtyPort.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace velmora_sim {

std::string gadgetController(const std::string& udcFolder, const std::string& port, const std::string& named,
                             std::string* why) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!named.empty()) {
        if (fs::is_directory(fs::path(udcFolder) / named, error)) {
            return named;
        }
        *why = "no USB device controller " + named + " in " + udcFolder;
        return {};
    }
    if (fs::weakly_canonical(port, error).filename().string().rfind("ttyGS", 0) != 0) {
        *why = port + " is no ttyGS port of the g_serial gadget: name its USB device controller with --udc";
        return {};
    }
    std::vector<std::string> serving;
    for (const fs::directory_entry& controller : fs::directory_iterator(udcFolder, error)) {
        std::string function;
        if (std::getline(std::ifstream(controller.path() / "function"), function) && function == "g_serial") {
            serving.push_back(controller.path().filename().string());
        }
    }
    if (serving.size() != 1) {
        *why = std::to_string(serving.size()) + " USB device controllers in " + udcFolder +
               " serve the g_serial gadget: name the one of " + port + " with --udc";
        return {};
    }
    return serving.front();
}

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
    path_ = path;
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
    std::string why;
    const std::string controller = usbCdc_ ? gadgetController("/sys/class/udc", path_, udc_, &why) : "";
    if (!controller.empty()) {
        std::ofstream softConnect("/sys/class/udc/" + controller + "/soft_connect");
        if (!(softConnect << "disconnect" << std::flush)) {
            why = "the USB device controller " + controller + " did not take the disconnect";
        }
    }
    if (!why.empty()) {
        std::fprintf(stderr, "VelmoraUnitSim: the gadget stays on the bus, its port only closed: %s\n",
                     why.c_str());
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
