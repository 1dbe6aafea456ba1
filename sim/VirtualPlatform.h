// The virtual platform: the serial functions and the sleep of platform/Platform.h on a virtual
// clock, with simulated units at the far end of the ports. Linked into the unit tests in place of
// the real platform layer, so every protocol wait runs in no wall time and is exact to the ms.
//
// Line model:
//   - A port is absent, present with nothing attached, busy (open in another program), or attached
//     to a velmora_sim::UnitModel. Ports may refuse some baud rates.
//   - A read returns as soon as the requested count has arrived, else exactly
//     ReadTotalTimeoutConstant ms after it began, with what arrived by then.
//   - A write occupies the line for the bits per character its settings give at the port's rate
//     (Platform_SerialBitsPerCharacter, Platform_SerialLineTimeMs), and the unit receives
//     the bytes when they have gone out. With CTS flow control on, bytes go out only while the
//     unit raises CTS (nothing attached: CTS low). A port may take nothing at all, whatever the
//     flow control. A write that cannot finish fails after Platform_SerialWriteBoundMs of its
//     bytes and those queued before it.
//   - A port's driver may take up to driverQueue bytes ahead of the wire (0 unless set): a write
//     then returns before its last bytes have gone out (also when the line stops for good with
//     them in the queue), and a flush waits until they have, bounded like a write of what the
//     queue counts at first: bytes, or whole write buffers as cdc-acm counts them.
//   - A port may refuse opens for a while after each close, as Windows drivers do while they
//     finish the close.
//   - Bytes the unit sends at a rate other than the port's arrive garbled (velmora_sim::garble).
//   - Bytes the unit sends while the port is closed are lost.
//   - A unit that vanishes (disconnectAfterBytes) makes writes fail at once and reads fail after
//     their time-out with nothing, like an unplugged USB adapter.
//   - Instead of a unit, a port may have a scripted far end: raw bytes queued at given times,
//     for tests and fuzzers that need replies no unit would give (see attachScriptedFarEnd).
#ifndef VIRTUAL_PLATFORM_H
#define VIRTUAL_PLATFORM_H

#include "UnitModel.h"
#include "platform/Platform.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace virtual_platform {

// Platform calls made so far, by function.
struct CallCounts {
    int open = 0;
    int setQueues = 0;
    int setTimeouts = 0;
    int setState = 0;
    int purge = 0;
    int raiseDtr = 0;
    int read = 0;
    int write = 0;
    int flush = 0;
    int close = 0;
    int sleep = 0;
    int total() const {
        return open + setQueues + setTimeouts + setState + purge + raiseDtr + read + write + flush + close +
               sleep;
    }
};

// One write of the tool, as it went out on the line.
struct WriteRecord {
    int64_t startMs;
    int64_t endMs;
    uint32_t baud;
    std::string bytes; // the bytes that went out (all of them unless the write failed)
    bool ok;
};

// One read of the tool from a port: when it ended and the bytes it took (possibly none).
struct ReadRecord {
    int64_t endMs;
    std::string bytes;
};

// Bytes a scripted far end starts sending at timeMs, or as soon as the chunk before them has
// left the line (one wire: chunks never overlap). They cross the line at the port's rate as
// set when they are due (never garbled) and are lost while the port is closed.
struct ScriptedChunk {
    int64_t timeMs;
    std::string bytes;
};
// Called after every write of the tool to a scripted port; returns chunks to queue.
using FarEndScript = std::function<std::vector<ScriptedChunk>(const WriteRecord&)>;

// Clock back to 0, no ports, no counts, and the virtual console reset too. Platform_MonotonicMs
// still moves forward, to a day past everything before, so the tool's memory of an earlier test's
// close never counts as recent; nowMs() is the time since the reset.
void reset();
int64_t nowMs();
// Lets time pass without any platform call.
void advanceMs(int64_t ms);

// Port `port` with a simulated unit attached; the returned model stays valid until reset().
velmora_sim::UnitModel& attachUnit(int port,
                                   const velmora_sim::UnitOptions& options = velmora_sim::UnitOptions());
// Port `port` with a scripted far end: it raises CTS, takes whatever the tool writes, and sends
// only what is queued with queueChunks or returned by onWrite after each write.
void attachScriptedFarEnd(int port, FarEndScript onWrite = FarEndScript());
void queueChunks(int port, const std::vector<ScriptedChunk>& chunks);
// Port `port` exists with nothing attached.
void addEmptyPort(int port);
// The port is gone, as an unplugged adapter; it must not be open.
void removePort(int port);
// Busy ports exist but cannot be opened (the open is refused; an absent port is not refused).
void setPortBusy(int port, bool busy = true);
// Applying line settings with this baud rate to the port fails.
void refuseBaud(int port, uint32_t baud);
// Applying time-outs to the port fails.
void refuseTimeouts(int port, bool refuse = true);
// The port's driver takes up to `bytes` bytes ahead of the wire; its queue count is the bytes
// queued rounded up to `countStep` (10,240 for cdc-acm's write buffers).
void setDriverQueue(int port, uint32_t bytes, uint32_t countStep = 1);
// The port's driver takes no byte at all (a Bluetooth port without a partner, a wedged adapter).
void setTakesNothing(int port);
// The port refuses opens for `ms` after each close.
void refuseReopenFor(int port, int64_t ms);

const CallCounts& calls();
void resetCallCounts();

bool isOpen(int port);
// The unit attached to `port`, or null.
velmora_sim::UnitModel* unit(int port);
// Settings last applied successfully to the port (the defaults of a fresh port: 9600 baud).
const DCB& appliedDcb(int port);
const COMMTIMEOUTS& appliedTimeouts(int port);
// Queue sizes asked for at the last Platform_SerialSetQueues on the port.
uint32_t rxQueueSize(int port);
uint32_t txQueueSize(int port);
// Device path given to the last Platform_SerialOpen call.
const std::string& lastOpenPath();
// Every write of the tool to the port, in order, and all their bytes joined.
const std::vector<WriteRecord>& writes(int port);
std::string written(int port);
// Every read of the tool from the port, in order, empty ones included.
const std::vector<ReadRecord>& reads(int port);
// Every baud rate applied to the port (at an open or a change of settings), in order.
const std::vector<uint32_t>& appliedRates(int port);

} // namespace virtual_platform

#endif
