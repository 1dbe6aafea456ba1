#include "SerialLine.h"

#include <cerrno>

#include <sys/ioctl.h>
#include <unistd.h>

namespace velmora_sim {

std::size_t SerialLine::pendingFromTool() const {
    int count = 0;
    if (fd() < 0 || ioctl(fd(), FIONREAD, &count) != 0 || count < 0) {
        return 0;
    }
    return static_cast<std::size_t>(count);
}

long SerialLine::readFromTool(char* buffer, std::size_t max) {
    if (fd() < 0) {
        return -1;
    }
    const ssize_t n = read(fd(), buffer, max);
    if (n >= 0) {
        return static_cast<long>(n);
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

long SerialLine::writeToTool(const char* data, std::size_t size) {
    if (fd() < 0) {
        return -1;
    }
    const ssize_t n = write(fd(), data, size);
    if (n >= 0) {
        return static_cast<long>(n);
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

} // namespace velmora_sim
