// Command line of the simulator program.
#ifndef VELMORA_SIM_PTY_OPTIONS_H
#define VELMORA_SIM_PTY_OPTIONS_H

#include "UnitModel.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora_sim {

struct SimOptions {
    UnitOptions unit;
    std::vector<std::string> links;   // paths under which the pty's slave is published
    std::string port;                 // a real serial device instead of a pty ("" = a pty)
    bool usbCdc = false;              // the unit has native USB: any rate, no CTS
    std::string udc;                  // its gadget's USB device controller ("" = the one of g_serial)
    std::string traceFile;            // every line and event, one per line ("" = none)
    std::string imagesDir;            // received images are saved here ("" = not saved)
    std::string readyFile;            // written once the links exist ("" = none)
    bool exitAfterReboot = false;     // quit once the unit rebooted and has said everything
    int64_t exitAfterRebootMs = 3000; // ... this long after its last byte
    int64_t maxRunMs = 0;             // quit after this long whatever happens (0 = never)
    bool realtime = false;            // run at real-time priority (root), as hardware keeps its time
    bool showHelp = false;
};

// Parses argv. False with a message in *error for an unknown option, a bad value, or an option
// that cannot work on the chosen line.
bool parseSimOptions(int argc, const char* const* argv, SimOptions* options, std::string* error);

// The --help text.
const char* simUsage();

} // namespace velmora_sim

#endif
