// VelmoraUnitSim: a simulated Kovlar QV7 unit on a pseudo-terminal or a serial device, for
// end-to-end runs of the update tool without the unit.
//
//   VelmoraUnitSim --type RX --link build/dev/ports/COM3 --trace unit.trace --exit-after-reboot
//   VelmoraUnitSim --type TX --baud 57600 --port /dev/ttyUSB1     (a null-modem cable to the tool)
//
// The unit answers the tool's commands, takes both uploads, reboots and prints its boot text.
// It ends cleanly on SIGTERM or SIGINT and removes its links.
#include "PtyOptions.h"
#include "PtyRunner.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    velmora_sim::SimOptions options;
    std::string error;
    if (!velmora_sim::parseSimOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "VelmoraUnitSim: %s\n\n%s", error.c_str(), velmora_sim::simUsage());
        return 2;
    }
    if (options.showHelp) {
        std::fputs(velmora_sim::simUsage(), stdout);
        return 0;
    }
    if (options.links.empty() && options.port.empty()) {
        std::fprintf(stderr, "VelmoraUnitSim: give at least one --link PATH, or --port DEVICE\n\n%s",
                     velmora_sim::simUsage());
        return 2;
    }
    return velmora_sim::runUnit(options);
}
