// Serial lines for tests that run the real POSIX layer or the real programs: a pseudo-terminal
// published as a COM port (the test holds the far end), and the simulated unit's program
// publishing its own.
#ifndef TESTS_COM_LINK_H
#define TESTS_COM_LINK_H

#include "ChildProcess.h"
#include "PtyPort.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

// A pty published at `link` (the test builds map COMn to <port folder>/COMn); the test keeps the
// far end of the line.
struct ComLink : velmora_sim::PtyPort {
    explicit ComLink(const std::string& link) { ok = create() && publish(link); }
    bool ok = false;
};

#ifdef VELMORA_UNIT_SIM
// VelmoraUnitSim publishing the unit at `link`, with a trace and the images it receives in
// `folder`. The options are the program's own (--type RX, --baud 57600, --pacing, --realtime,
// faults).
class SimulatedUnit : public ChildProcess {
  public:
    SimulatedUnit(const std::string& link, const std::string& folder, std::vector<std::string> options)
        : ChildProcess([&] {
              options.insert(options.begin(),
                             {VELMORA_UNIT_SIM, "--link", link, "--trace", folder + "/unit.trace", "--images",
                              folder + "/images", "--ready-file", folder + "/ready", "--max-run", "900000"});
              return options;
          }()),
          ready_(folder + "/ready") {}

    // Starts the unit and waits until its port is published.
    bool start() {
        unlink(ready_.c_str());
        const bool started = ChildProcess::start();
        for (int i = 0; started && i < 500 && access(ready_.c_str(), F_OK) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return started && access(ready_.c_str(), F_OK) == 0;
    }

  private:
    std::string ready_;
};
#endif

#endif
