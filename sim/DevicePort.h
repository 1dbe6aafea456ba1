// A real serial device as the unit's port, for a lab that wires the tool's adapter to a second
// one with a null-modem cable, or for a USB gadget port (/dev/ttyGS0) that the tool sees as a
// CDC device (/dev/ttyACM0).
//
// Behind a UART the unit has a rate of its own: the front end sets the device to the rate the
// unit talks at (its own, 115200 for the images), and a tool at another rate hears what the
// hardware makes of it. The unit's CTS is the device's RTS where the cable crosses RTS and CTS.
//
// A unit with native USB (usbCdc) has no rate: every rate the tool sets is accepted and nothing
// of it reaches the device side, so the unit answers whatever the tool chose, and there is no
// CTS. Such a unit can leave the bus, which the tool sees as an unplug.
#ifndef VELMORA_SIM_DEVICE_PORT_H
#define VELMORA_SIM_DEVICE_PORT_H

#include "SerialLine.h"

#include <string>
#include <utility>

namespace velmora_sim {

// The USB device controller, a name under `udcFolder` (/sys/class/udc), whose gadget serves the
// gadget port `port`: `named` when given and present; otherwise, for a ttyGS port, the one
// controller whose gadget is the legacy g_serial (its `function` reads "g_serial"), which serves
// the ttyGS ports. Empty, with the reason in *why, when that cannot be told (a gadget made in
// configfs, for one, shows its own name there: name its controller).
std::string gadgetController(const std::string& udcFolder, const std::string& port, const std::string& named,
                             std::string* why);

class DevicePort : public SerialLine {
  public:
    // `udc`: the USB device controller of a gadget port as named by the user ("": found by
    // gadgetController).
    explicit DevicePort(bool usbCdc, std::string udc = {}) : usbCdc_(usbCdc), udc_(std::move(udc)) {}
    ~DevicePort() override { close(); }
    DevicePort(const DevicePort&) = delete;
    DevicePort& operator=(const DevicePort&) = delete;

    // Opens the device for this program alone, raw 8N1 at `baud` with the modem lines ignored,
    // RTS and DTR raised, and drops whatever arrived before. False with a message in error().
    bool open(const std::string& path, uint32_t baud);
    const std::string& error() const { return error_; }

    int fd() const override { return fd_; }
    // Behind a UART: sets the device to the rate the unit talks at, once the bytes sent at the
    // old rate have left. The hardware garbles a rate mismatch, so the front end must not.
    ToolLine toolLine(uint32_t unitTalks, uint32_t unitListens) override;
    // RTS low holds a tool whose CTS it drives.
    bool holdToolOutput(bool hold) override;
    // A USB gadget leaves the bus (its own controller's soft_connect told "disconnect", no other);
    // a UART port is only closed, and so is a gadget port whose controller cannot be told.
    void vanish() override;
    void close() override;

  private:
    bool usbCdc_;
    std::string udc_;
    std::string path_;
    int fd_ = -1;
    uint32_t rate_ = 0;
    std::string error_;
};

} // namespace velmora_sim

#endif
