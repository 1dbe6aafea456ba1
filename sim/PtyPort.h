// The pseudo-terminal that stands in for the unit's serial port.
//
// The simulator keeps the master side; the slave side is what the tool opens, published under
// one or more paths (symbolic links such as <dir>/COM3, or a Wine dosdevices/com3). The
// simulator also keeps a handle of its own on the slave, never read, so that the pty lives on
// while the tool opens and closes the port, and the master never sees a hang-up in between.
// That handle takes no lock and no exclusive flag: the tool opens the port exclusively and must
// not find it taken.
//
// A pty has no real line: it carries bytes at once whatever rate is set, and it has no modem
// lines. The rate the tool chose is still visible in the slave's settings, and that is what the
// simulator reads to decide whether the tool would hear the unit or garbage.
#ifndef VELMORA_SIM_PTY_PORT_H
#define VELMORA_SIM_PTY_PORT_H

#include "SerialLine.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct termios;

namespace velmora_sim {

class PtyPort : public SerialLine {
  public:
    PtyPort() = default;
    ~PtyPort() override;
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    // Creates the pty in raw mode. False with a message in error() on failure.
    bool create();
    // Publishes the slave under `path` (an existing link there is replaced).
    bool publish(const std::string& path);
    // Removes every published link.
    void unpublish();
    // Closes both sides: a tool that still holds the slave sees the device vanish.
    void destroy();

    int fd() const override { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    const std::vector<std::string>& links() const { return links_; }
    const std::string& error() const { return error_; }

    // What the tool set on the slave; the unit's rates play no part in it.
    ToolLine toolLine(uint32_t unitTalks = 0, uint32_t unitListens = 0) override;
    // Suspends (or resumes) the tool's output: its writes then block as on a full driver queue.
    bool holdToolOutput(bool hold) override;
    void vanish() override { destroy(); }
    void close() override { destroy(); }

  private:
    int master_ = -1;
    int slaveHold_ = -1;
    std::string slavePath_;
    std::vector<std::string> links_;
    std::string error_;
};

// Line rate of a termios speed code, 0 for codes without a standard rate; and the code of a rate,
// 0 (B0) for rates without one.
uint32_t baudOfSpeedCode(unsigned long code);
unsigned long speedCodeOfBaud(uint32_t baud);

// Raw 8N1: no echo, no line editing or rewriting, the receiver on, the modem lines ignored
// (CLOCAL, so closing one end never hangs up the other), reads that return at once.
void makeRaw(termios& tio);

} // namespace velmora_sim

#endif
