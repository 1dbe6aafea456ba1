// The line between the simulated unit and the tool, as the unit's front end sees it: a
// pseudo-terminal (PtyPort), where the front end itself must play the wire, or a real serial
// device (DevicePort), where the wire is real.
#ifndef VELMORA_SIM_SERIAL_LINE_H
#define VELMORA_SIM_SERIAL_LINE_H

#include <cstddef>
#include <cstdint>

namespace velmora_sim {

// The tool's side of the line as the front end must treat it: the rates the tool's bytes were
// sent at and are listened for, and how the unit's CTS reaches the tool. A rate that differs from
// the unit's own makes the front end garble the bytes itself.
struct ToolLine {
    uint32_t sendBaud = 0;   // rate the tool transmits at (0 when unknown)
    uint32_t listenBaud = 0; // rate the tool receives at; 0: the line itself decides what it hears
    // A pty whose tool set CTS flow control: there is no CTS line, so while CTS is low the front
    // end plays it, holding the tool's writes and reading nothing.
    bool ctsFlow = false;
    // A real CTS line (the device's RTS, crossed to the tool's CTS): it follows the unit's CTS
    // whatever the tool's flow control, and the front end reads on, as the unit's UART receives
    // what a tool with CTS flow control off sends.
    bool ctsWire = false;
};

class SerialLine {
  public:
    virtual ~SerialLine() = default;

    // The descriptor the front end polls for the tool's bytes.
    virtual int fd() const = 0;
    // The tool's side of the line, given the rate the unit talks at (the oldest byte it has not
    // sent yet, or the rate it listens at when it has nothing to send) and the rate it listens at.
    virtual ToolLine toolLine(uint32_t unitTalks, uint32_t unitListens) = 0;
    // Bytes the tool has written that wait to be read.
    std::size_t pendingFromTool() const;
    // Reads at most `max` bytes the tool wrote; returns the count (0 when none, -1 on failure).
    long readFromTool(char* buffer, std::size_t max);
    // Writes as much as the line takes now (the descriptor does not block); returns the count
    // (-1 on failure).
    long writeToTool(const char* data, std::size_t size);
    // Holds (or releases) the tool's writes, as a full driver queue or a low CTS does (on a device:
    // drops RTS, which holds a tool that has CTS flow control on).
    virtual bool holdToolOutput(bool hold) = 0;
    // The unit leaves the line for good: the tool's port vanishes under it where the line can do
    // that (a pty, a USB gadget).
    virtual void vanish() = 0;
    // The unit's program ends.
    virtual void close() = 0;
};

} // namespace velmora_sim

#endif
