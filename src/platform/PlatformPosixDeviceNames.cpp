// COM port number -> device path on POSIX systems.
#include "platform/PosixDeviceNames.h"

#include <cstdio>

namespace {

// A format is usable when its only conversion is one plain integer conversion: anything else
// (a %s, a width taken from the arguments, two conversions) would read arguments we never pass.
bool formatTakesOneInteger(const char* format) {
    int conversions = 0;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        ++p;
        if (*p == '%') {
            continue;
        }
        if (*p != 'd' && *p != 'i' && *p != 'u') {
            return false;
        }
        ++conversions;
    }
    return conversions == 1;
}

bool fill(char* path, std::size_t pathSize, const char* format, int value) {
    const int written = std::snprintf(path, pathSize, format, value);
    if (written < 0 || static_cast<std::size_t>(written) >= pathSize) {
        path[0] = '\0';
        return false;
    }
    return true;
}

} // namespace

bool PosixDeviceNames_ComPath(int portNumber, const char* format, char* path, std::size_t pathSize) {
    if (path == nullptr || pathSize == 0) {
        return false;
    }
    path[0] = '\0';
    if (portNumber < 1 || portNumber > POSIX_COM_PORT_MAX) {
        return false;
    }
    if (format != nullptr) {
        return formatTakesOneInteger(format) && fill(path, pathSize, format, portNumber);
    }
    if (portNumber <= 16) {
        return fill(path, pathSize, "/dev/ttyUSB%d", portNumber - 1);
    }
    if (portNumber <= 32) {
        return fill(path, pathSize, "/dev/ttyACM%d", portNumber - 17);
    }
    return fill(path, pathSize, "/dev/ttyS%d", portNumber - 33);
}

const char* PosixDeviceNames_BuildFormat() {
#ifdef FWUPGRADE_COM_DEVICE_FORMAT
    return FWUPGRADE_COM_DEVICE_FORMAT;
#else
    return nullptr;
#endif
}
