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

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora_sim {

// What the tool has set on its side of the line.
struct ToolLine {
    uint32_t sendBaud = 0;   // rate the tool transmits at (0 when unknown)
    uint32_t listenBaud = 0; // rate the tool receives at
    bool ctsFlow = false;    // the tool holds its writes while CTS is low
};

class PtyPort {
public:
    PtyPort() = default;
    ~PtyPort();
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

    int masterFd() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    const std::vector<std::string>& links() const { return links_; }
    const std::string& error() const { return error_; }

    ToolLine toolLine() const;
    // Bytes the tool has written that wait to be read.
    std::size_t pendingFromTool() const;
    // Reads at most `max` bytes the tool wrote; returns the count (0 when none, -1 on failure).
    long readFromTool(char* buffer, std::size_t max);
    // Writes as much as the slave's queue takes; returns the count (-1 on failure).
    long writeToTool(const char* data, std::size_t size);
    // Suspends (or resumes) the tool's output: its writes then block as on a full driver queue.
    bool holdToolOutput(bool hold);

private:
    int master_ = -1;
    int slaveHold_ = -1;
    std::string slavePath_;
    std::vector<std::string> links_;
    std::string error_;
};

// Line rate of a termios speed code, 0 for codes without a standard rate.
uint32_t baudOfSpeedCode(unsigned long code);

} // namespace velmora_sim

#endif
