// How COM port numbers map to device paths on systems other than Windows.
//
// The tool speaks of ports as COM1, COM2, ... as on Windows. On a POSIX system the number is
// turned into a device path, either by a printf format fixed when the tool is built (for
// instance "/home/tech/ports/COM%d" for links made by hand or by the simulated unit) or by the
// built-in mapping:
//   COM1  .. COM16  -> /dev/ttyUSB0 .. /dev/ttyUSB15  (USB serial adapters)
//   COM17 .. COM32  -> /dev/ttyACM0 .. /dev/ttyACM15  (USB CDC-ACM devices)
//   COM33 and up    -> /dev/ttyS0 and up               (on-board UARTs)
#ifndef POSIX_DEVICE_NAMES_H
#define POSIX_DEVICE_NAMES_H

#include <cstddef>

// Highest port number the tool accepts: eight decimal digits, as in the Windows device path.
#define POSIX_COM_PORT_MAX 99999999

// Writes the device path of COM port `portNumber` into `path` (capacity `pathSize`, zero
// terminated). `format` is a printf format with exactly one integer conversion (%d, %i or %u)
// and any number of "%%"; null selects the built-in mapping. Fails (returns false, path left
// empty when it has room) for a number outside 1..POSIX_COM_PORT_MAX, a format with any other
// conversion, or a path that does not fit.
bool PosixDeviceNames_ComPath(int portNumber, const char* format, char* path, std::size_t pathSize);

// The format fixed when the tool was built, or null for the built-in mapping.
const char* PosixDeviceNames_BuildFormat();

#endif
