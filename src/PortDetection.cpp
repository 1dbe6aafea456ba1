#include "PortDetection.h"

#include "ComPortAPI.h"
#include "CommandProtocol.h"
#include "WorkingBuffers.h"

#include <array>

namespace {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 32;
constexpr std::array<int, 6> kBaudRates = {115200, 9600, 57600, 4800, 2400, 1200};
constexpr int kTriesPerRate = 2;

} // namespace

BOOL detectComPortAndBaudrate() {
    const char ResponseExpected[100] =
        "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";
    for (int port = kFirstPort; port <= kLastPort; ++port) {
        // A port that cannot be opened is absent or taken by another program: skip it quietly.
        if (!ComPortAPI_ProbeCOM(port)) {
            gComPortNumber = 0;
            gBaudRate = 0;
            continue;
        }
        gComPortNumber = port;
        ComPortAPI_CloseCOM();
        for (const int rate : kBaudRates) {
            // The port is closed here, so this only stores the rate for the open below.
            ComPortAPI_SetBaudRate(rate);
            if (!ComPortAPI_OpenCOM(port)) {
                continue;
            }
            gBaudRate = rate;
            for (int attempt = 0; attempt < kTriesPerRate; ++attempt) {
                if (sendCommand("%help -c version", 0, 1, ResponseExpected)) {
                    return 1;
                }
            }
            ComPortAPI_CloseCOM();
        }
    }
    return 0;
}
