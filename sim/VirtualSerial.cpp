// The serial functions and the sleep of the platform layer on a virtual clock (see
// VirtualPlatform.h for the line model).
#include "VirtualPlatform.h"

#include "VirtualConsole.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>

namespace {

using velmora_sim::UnitModel;

// The line time of `count` characters of `bits` bits at `baud`, rounded up: the platform's rule.
int64_t lineTimeMs(uint64_t count, uint32_t baud, unsigned bits) {
    return static_cast<int64_t>(Platform_SerialLineTimeMs(count, baud, bits, true));
}

// Bytes from the far end on their way into the PC's receive queue. It sent `sentCount`
// characters of `bits` bits starting at `startMs` at `sentBaud`; the port heard them as `bytes`
// (garbled when its rate differed), spread evenly over the same line time.
struct Incoming {
    int64_t startMs;
    uint32_t sentBaud;
    unsigned bits;
    std::size_t sentCount;
    std::string bytes;
    std::size_t taken = 0; // bytes already handed to the tool or purged

    // Time at which byte `index` (0-based) of `bytes` has fully arrived.
    int64_t arrival(std::size_t index) const {
        const auto lineMs = static_cast<uint64_t>(lineTimeMs((index + 1) * sentCount, sentBaud, bits));
        return startMs + static_cast<int64_t>((lineMs + bytes.size() - 1) / bytes.size());
    }
    // How many of `bytes` have fully arrived by `timeMs`: the first `n` (their arrivals rise).
    std::size_t arrivedBy(int64_t timeMs) const {
        std::size_t low = 0, high = bytes.size(); // the first `low` have arrived, the `high`-th has not
        while (low < high) {
            const std::size_t n = high - (high - low) / 2;
            if (arrival(n - 1) <= timeMs) {
                low = n;
            } else {
                high = n - 1;
            }
        }
        return low;
    }
};

DCB freshPortDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    return dcb;
}

struct Port {
    bool busy = false;
    bool refuseTimeouts = false;
    std::set<uint32_t> refusedBauds;
    std::unique_ptr<UnitModel> unit;
    bool open = false;
    DCB dcb = freshPortDcb();
    COMMTIMEOUTS timeouts{};
    uint32_t rxQueue = 0;
    uint32_t txQueue = 0;
    uint32_t driverQueue = 0;    // bytes the driver takes ahead of the wire
    uint32_t queueCountStep = 1; // the queue count is the bytes queued rounded up to this
    int64_t txFreeAtMs = 0;      // the wire has sent all it will send of what was written by then
    std::size_t stuckBytes = 0;  // bytes the driver holds that will never go out
    bool takesNothing = false;   // the driver takes no byte, whatever the flow control
    int64_t refuseReopenMs = 0;  // opens are refused for this long after each close
    int64_t closedAtMs = velmora_sim::kNever;
    std::deque<Incoming> incoming;
    std::vector<virtual_platform::WriteRecord> writes;
    std::vector<virtual_platform::ReadRecord> reads;
    std::vector<uint32_t> rates; // every rate applied, in order
    // The scripted far end, when there is one: chunks by start time, the hook run after writes,
    // and when its transmitter is free again (one wire: a chunk never overtakes the one before).
    bool scripted = false;
    std::multimap<int64_t, std::string> script;
    virtual_platform::FarEndScript onWrite;
    int64_t scriptLineFreeAtMs = 0;
};

int64_t g_now = 0;
// Platform_MonotonicMs is g_epochMs + g_now. The tests' clock (nowMs) starts at 0 in every test,
// but the platform's clock only moves forward: each reset starts a new epoch a day past the end
// of the last one, far beyond any window the tool keeps, so that nothing the tool remembers from
// an earlier test (the time of its last close) counts as recent in the next.
constexpr int64_t kEpochGapMs = 24 * 3600 * 1000;
int64_t g_epochMs = 0;
std::map<int, Port> g_ports;
std::map<intptr_t, int> g_handles; // open handle -> port number
intptr_t g_nextHandle = 1;
bool g_lastOpenRefused = false;
virtual_platform::CallCounts g_calls;
std::string g_lastOpenPath;

Port& portAt(int number) {
    return g_ports[number];
}

// The port behind an open handle, or null for a closed, stale or invalid one.
Port* portOf(HANDLE handle, int* number = nullptr) {
    const auto found = g_handles.find(reinterpret_cast<intptr_t>(handle));
    if (found == g_handles.end()) {
        return nullptr;
    }
    if (number != nullptr) {
        *number = found->second;
    }
    return &g_ports[found->second];
}

// Moves what the unit has started to transmit by `timeMs` onto the line. The port hears each
// chunk at the rate it is set to when the chunk begins; nothing is heard while it is closed.
void collect(Port& port, int64_t timeMs) {
    while (!port.script.empty() && port.script.begin()->first <= timeMs) {
        const auto first = port.script.begin();
        // A chunk due while an earlier one is still on the line follows it.
        const int64_t startMs = std::max(first->first, port.scriptLineFreeAtMs);
        if (!first->second.empty()) {
            const unsigned bits = Platform_SerialBitsPerCharacter(port.dcb);
            port.scriptLineFreeAtMs = startMs + lineTimeMs(first->second.size(), port.dcb.BaudRate, bits);
            if (port.open) {
                port.incoming.push_back(
                    {startMs, port.dcb.BaudRate, bits, first->second.size(), std::move(first->second)});
            }
        }
        port.script.erase(first);
    }
    if (!port.unit) {
        return;
    }
    for (velmora_sim::Chunk& chunk : port.unit->takeTransmitted(timeMs)) {
        if (!port.open || chunk.bytes.empty()) {
            continue;
        }
        std::string heard = velmora_sim::garble(chunk.bytes, chunk.baud, port.dcb.BaudRate);
        if (heard.empty()) {
            continue;
        }
        port.incoming.push_back({chunk.timeMs, chunk.baud, velmora_sim::kUnitBitsPerCharacter,
                                 chunk.bytes.size(), std::move(heard)});
    }
}

// Time at which the `count`-th byte not yet taken has arrived, or kNever when fewer are queued.
int64_t arrivalOfNth(const Port& port, std::size_t count) {
    for (const Incoming& in : port.incoming) {
        const std::size_t left = in.bytes.size() - in.taken;
        if (count <= left) {
            return in.arrival(in.taken + count - 1);
        }
        count -= left;
    }
    return velmora_sim::kNever;
}

// Hands over up to `size` bytes that have arrived by `timeMs`.
std::size_t take(Port& port, char* buffer, std::size_t size, int64_t timeMs) {
    std::size_t copied = 0;
    while (copied < size && !port.incoming.empty()) {
        Incoming& in = port.incoming.front();
        const std::size_t ready = in.arrivedBy(timeMs);
        const std::size_t n = std::min(size - copied, ready - std::min(ready, in.taken));
        if (n > 0) {
            std::memcpy(buffer + copied, in.bytes.data() + in.taken, n);
            in.taken += n;
            copied += n;
        }
        if (in.taken < in.bytes.size()) {
            break; // the rest of this chunk is still on the line
        }
        port.incoming.pop_front();
    }
    return copied;
}

bool unitGone(const Port& port) {
    return port.unit && !port.unit->connected();
}

bool ctsHigh(const Port& port, int64_t timeMs) {
    return port.scripted || (port.unit && port.unit->ctsRaised(timeMs));
}

// Earliest time at which the far end starts sending something not yet on the line.
int64_t nextTransmitTime(const Port& port) {
    int64_t next = port.unit ? port.unit->nextTransmitTime() : velmora_sim::kNever;
    if (!port.script.empty()) {
        next = std::min(next, port.script.begin()->first);
    }
    return next;
}

void queue(Port& port, const std::vector<virtual_platform::ScriptedChunk>& chunks) {
    for (const virtual_platform::ScriptedChunk& chunk : chunks) {
        port.script.emplace(chunk.timeMs, chunk.bytes);
    }
}

} // namespace

namespace virtual_platform {

void reset() {
    g_epochMs += g_now + kEpochGapMs;
    g_now = 0;
    g_ports.clear();
    g_handles.clear();
    g_lastOpenRefused = false;
    g_calls = CallCounts();
    g_lastOpenPath.clear();
    virtual_console::reset();
}

int64_t nowMs() {
    return g_now;
}
void advanceMs(int64_t ms) {
    g_now += std::max<int64_t>(ms, 0);
}

UnitModel& attachUnit(int port, const velmora_sim::UnitOptions& options) {
    Port& p = portAt(port);
    p.unit = std::make_unique<UnitModel>(options);
    return *p.unit;
}

void attachScriptedFarEnd(int port, FarEndScript onWrite) {
    Port& p = portAt(port);
    p.unit.reset();
    p.scripted = true;
    p.onWrite = std::move(onWrite);
}

void queueChunks(int port, const std::vector<ScriptedChunk>& chunks) {
    queue(portAt(port), chunks);
}

void addEmptyPort(int port) {
    portAt(port);
}
void removePort(int port) {
    g_ports.erase(port);
}
void setPortBusy(int port, bool busy) {
    portAt(port).busy = busy;
}
void refuseBaud(int port, uint32_t baud) {
    portAt(port).refusedBauds.insert(baud);
}
void refuseTimeouts(int port, bool refuse) {
    portAt(port).refuseTimeouts = refuse;
}
void setDriverQueue(int port, uint32_t bytes, uint32_t countStep) {
    portAt(port).driverQueue = bytes;
    portAt(port).queueCountStep = std::max<uint32_t>(countStep, 1);
}
void setTakesNothing(int port) {
    portAt(port).takesNothing = true;
}
void refuseReopenFor(int port, int64_t ms) {
    portAt(port).refuseReopenMs = ms;
}

const CallCounts& calls() {
    return g_calls;
}
void resetCallCounts() {
    g_calls = CallCounts();
}

bool isOpen(int port) {
    const auto found = g_ports.find(port);
    return found != g_ports.end() && found->second.open;
}

UnitModel* unit(int port) {
    const auto found = g_ports.find(port);
    return found == g_ports.end() ? nullptr : found->second.unit.get();
}

const DCB& appliedDcb(int port) {
    return portAt(port).dcb;
}
const COMMTIMEOUTS& appliedTimeouts(int port) {
    return portAt(port).timeouts;
}
uint32_t rxQueueSize(int port) {
    return portAt(port).rxQueue;
}
uint32_t txQueueSize(int port) {
    return portAt(port).txQueue;
}
const std::string& lastOpenPath() {
    return g_lastOpenPath;
}
const std::vector<WriteRecord>& writes(int port) {
    return portAt(port).writes;
}

const std::vector<ReadRecord>& reads(int port) {
    return portAt(port).reads;
}
const std::vector<uint32_t>& appliedRates(int port) {
    return portAt(port).rates;
}

std::string written(int port) {
    std::string all;
    for (const WriteRecord& w : portAt(port).writes) {
        all += w.bytes;
    }
    return all;
}

} // namespace virtual_platform

HANDLE Platform_SerialOpen(const char* winDevicePath, int portNumber) {
    ++g_calls.open;
    g_lastOpenPath = winDevicePath != nullptr ? winDevicePath : "";
    const auto found = g_ports.find(portNumber);
    // Refused: present but open here or in another program, or still closing. Absent: not refused.
    g_lastOpenRefused = found != g_ports.end();
    if (found == g_ports.end() || found->second.busy || found->second.open ||
        (found->second.closedAtMs <= g_now &&
         g_now - found->second.closedAtMs < found->second.refuseReopenMs)) {
        return INVALID_HANDLE_VALUE;
    }
    g_lastOpenRefused = false;
    Port& port = found->second;
    collect(port, g_now); // what the unit sent before the open was heard by nobody
    port.open = true;
    port.incoming.clear();
    const intptr_t handle = g_nextHandle++;
    g_handles[handle] = portNumber;
    return reinterpret_cast<HANDLE>(handle);
}

BOOL Platform_SerialLastOpenRefused() {
    return g_lastOpenRefused ? 1 : 0;
}

BOOL Platform_SerialSetQueues(HANDLE handle, DWORD rxSize, DWORD txSize) {
    ++g_calls.setQueues;
    Port* port = portOf(handle);
    if (port == nullptr) {
        return 0;
    }
    port->rxQueue = rxSize;
    port->txQueue = txSize;
    return 1;
}

BOOL Platform_SerialSetTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
    ++g_calls.setTimeouts;
    Port* port = portOf(handle);
    if (port == nullptr || timeouts == nullptr || port->refuseTimeouts) {
        return 0;
    }
    port->timeouts = *timeouts;
    return 1;
}

BOOL Platform_SerialSetState(HANDLE handle, const DCB* settings) {
    ++g_calls.setState;
    Port* port = portOf(handle);
    if (port == nullptr || settings == nullptr || port->refusedBauds.count(settings->BaudRate) != 0 ||
        settings->BaudRate == 0) {
        return 0;
    }
    // Chunks that began before the change were heard at the old rate.
    collect(*port, g_now);
    port->dcb = *settings;
    port->rates.push_back(settings->BaudRate);
    return 1;
}

BOOL Platform_SerialPurge(HANDLE handle) {
    ++g_calls.purge;
    Port* port = portOf(handle);
    if (port == nullptr) {
        return 0;
    }
    collect(*port, g_now);
    // What a stopped line held in the transmit queue is dropped.
    port->stuckBytes = 0;
    // Everything already received is dropped; bytes still on the line arrive afterwards.
    for (Incoming& in : port->incoming) {
        in.taken = std::max(in.taken, in.arrivedBy(g_now));
    }
    while (!port->incoming.empty() && port->incoming.front().taken >= port->incoming.front().bytes.size()) {
        port->incoming.pop_front();
    }
    return 1;
}

BOOL Platform_SerialRaiseDtr(HANDLE handle) {
    ++g_calls.raiseDtr;
    return portOf(handle) != nullptr ? 1 : 0;
}

BOOL Platform_SerialRead(HANDLE handle, void* buffer, DWORD size, DWORD* bytesRead) {
    ++g_calls.read;
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    Port* port = portOf(handle);
    if (port == nullptr || buffer == nullptr) {
        return 0;
    }
    const int64_t start = g_now;
    const int64_t deadline = start + static_cast<int64_t>(port->timeouts.ReadTotalTimeoutConstant) +
                             static_cast<int64_t>(port->timeouts.ReadTotalTimeoutMultiplier) * size;
    if (unitGone(*port)) {
        g_now = deadline; // a vanished device: silence until the deadline, then failure
        return 0;
    }
    int64_t end = deadline;
    if (size > 0) {
        // Walk the unit's transmissions in time order until the requested count has arrived or
        // the deadline comes. The port's rate cannot change during the read.
        int64_t horizon = start;
        for (;;) {
            collect(*port, horizon);
            const int64_t full = arrivalOfNth(*port, size);
            if (full <= deadline) {
                end = std::max(full, start);
                break;
            }
            const int64_t next = nextTransmitTime(*port);
            if (next > deadline) {
                break;
            }
            horizon = next;
        }
    }
    const std::size_t got = take(*port, static_cast<char*>(buffer), size, end);
    g_now = end;
    port->reads.push_back({end, std::string(static_cast<const char*>(buffer), got)});
    if (bytesRead != nullptr) {
        *bytesRead = static_cast<DWORD>(got);
    }
    return 1;
}

BOOL Platform_SerialWrite(HANDLE handle, const void* buffer, DWORD size, DWORD* bytesWritten) {
    ++g_calls.write;
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    Port* port = portOf(handle);
    if (port == nullptr || (buffer == nullptr && size > 0)) {
        return 0;
    }
    collect(*port, g_now);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    const uint32_t baud = port->dcb.BaudRate;
    const bool ctsFlow = port->dcb.fOutxCtsFlow != 0;
    const unsigned bits = Platform_SerialBitsPerCharacter(port->dcb);
    const int64_t start = g_now;
    // The bytes queue behind those still to go out, so the bound counts those too.
    const int64_t deadline =
        start +
        static_cast<int64_t>(Platform_SerialWriteBoundMs(size + port->driverQueue, baud, bits, ctsFlow));
    // The wire sends what is queued until txFreeAtMs; after an earlier write was left in the queue
    // of a line that stopped for good, it sends nothing more.
    const bool lineStopped = port->stuckBytes > 0;
    int64_t t = std::max(start, port->txFreeAtMs);
    int64_t stalledAt = velmora_sim::kNever;
    std::size_t sent = 0;
    std::size_t queuedForGood = 0; // bytes of this write left in the queue of a stopped line
    bool ok = true;
    const auto held = [&](int64_t at) {
        return lineStopped || port->takesNothing || (ctsFlow && !ctsHigh(*port, at));
    };
    while (sent < size) {
        if (unitGone(*port)) {
            ok = false; // the device vanished under the write
            break;
        }
        if (held(t)) {
            stalledAt = t;
            while (t < deadline && held(t)) {
                ++t;
            }
            if (held(t)) {
                // The line has stopped for good. If the driver's queue had room for the rest of
                // the write, it took it and the write returned when the last byte went in;
                // otherwise the write fails at its bound.
                const std::size_t rest = size - sent;
                if (port->stuckBytes + rest <= port->driverQueue) {
                    queuedForGood = rest;
                    t = std::max(start, stalledAt - lineTimeMs(port->driverQueue - port->stuckBytes - rest,
                                                               baud, bits));
                } else {
                    t = deadline;
                    ok = false;
                }
                break;
            }
        }
        // Go on up to the next byte at which the unit changes its CTS or vanishes, so that the
        // change happens at the right place in the stream.
        std::size_t n = size - sent;
        if (port->unit) {
            n = static_cast<std::size_t>(
                std::min<int64_t>(static_cast<int64_t>(n), port->unit->bytesUntilLineChange()));
        }
        t += lineTimeMs(n, baud, bits);
        if (port->unit) {
            port->unit->receive(bytes + sent, n, t, baud);
        }
        sent += n;
    }
    port->stuckBytes += queuedForGood;
    port->txFreeAtMs = queuedForGood > 0 ? stalledAt : t;
    // The write returns once its last byte is in the driver's queue, which holds what the wire
    // has not sent yet, up to its size.
    const bool returnsEarly = ok && queuedForGood == 0;
    g_now = returnsEarly ? std::max(start, t - lineTimeMs(port->driverQueue, baud, bits)) : t;
    sent += queuedForGood;
    port->writes.push_back({start, t, baud, std::string(reinterpret_cast<const char*>(bytes), sent), ok});
    if (bytesWritten != nullptr) {
        *bytesWritten = static_cast<DWORD>(sent);
    }
    if (port->onWrite) {
        // The hook may queue chunks but must not reach back into the port's records.
        const virtual_platform::WriteRecord record = port->writes.back();
        queue(*port, port->onWrite(record));
    }
    return ok ? 1 : 0;
}

BOOL Platform_SerialFlush(HANDLE handle) {
    ++g_calls.flush;
    Port* port = portOf(handle);
    if (port == nullptr || unitGone(*port)) {
        return 0;
    }
    // Bounded like a write of what the queue counts at first: the bytes the wire has yet to send
    // (the line time left, turned round into characters, rounded up), rounded up to the driver's
    // step (cdc-acm counts whole write buffers).
    const uint32_t baud = port->dcb.BaudRate;
    const unsigned bits = Platform_SerialBitsPerCharacter(port->dcb);
    const uint64_t perCharacter = uint64_t{bits} * 1000u;
    const uint64_t onTheWire =
        port->txFreeAtMs <= g_now
            ? 0
            : (static_cast<uint64_t>(port->txFreeAtMs - g_now) * baud + perCharacter - 1) / perCharacter;
    const uint64_t queued = std::min<uint64_t>(onTheWire + port->stuckBytes, port->driverQueue);
    const uint64_t counted =
        (queued + port->queueCountStep - 1) / port->queueCountStep * port->queueCountStep;
    const int64_t deadline =
        g_now +
        static_cast<int64_t>(Platform_SerialWriteBoundMs(counted, baud, bits, port->dcb.fOutxCtsFlow != 0));
    if (port->stuckBytes == 0 && port->txFreeAtMs <= deadline) {
        g_now = std::max(g_now, port->txFreeAtMs);
        return 1;
    }
    g_now = deadline;
    return 0;
}

BOOL Platform_SerialClose(HANDLE handle) {
    ++g_calls.close;
    int number = 0;
    Port* port = portOf(handle, &number);
    if (port == nullptr) {
        return 0;
    }
    collect(*port, g_now);
    port->open = false;
    port->closedAtMs = g_now;
    port->incoming.clear();
    g_handles.erase(reinterpret_cast<intptr_t>(handle));
    return 1;
}

uint64_t Platform_MonotonicMs() {
    return static_cast<uint64_t>(g_epochMs + g_now);
}

void Platform_SleepMs(uint32_t milliseconds) {
    ++g_calls.sleep;
    g_now += milliseconds;
}
