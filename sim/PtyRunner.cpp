// The front end of the simulated unit on a line: a pseudo-terminal, or a real serial device.
//
// One loop, no threads: poll the line with a time-out that ends at the next thing due (a
// reply byte, a paced input byte, a housekeeping check), then
//  - hand the model the bytes the tool wrote, with the time and the rate the tool set,
//  - write the model's transmitted chunks once their time has come, garbled when the tool
//    listens at another rate than the chunk was sent at,
//  - write the trace and save received images.
// Without pacing, bytes cross the pty at once. With pacing they take their true line time in
// both directions, and the tool's side behaves like a real serial driver: its writes are taken
// into a transmit queue of kDriverQueue bytes that drains at the line rate, and they block while
// that queue is full. A pty would take 10-20 KB at once from the tool, so its writes would return
// a second or more before the unit has the bytes; instead the front end reads every byte at once
// and holds the tool's writes back itself (tcflow on its own handle of the pty), releasing them as
// a full queue drains. A single write the pty takes beyond the queue's room cannot be split: the
// bytes beyond the queue count as already on the wire when the pty took them. So the tool's last
// write returns at most kDriverQueue bytes of line time before the unit has the last byte, as
// with a UART or a USB adapter.
//
// On a real device the line is real: the device is set to the rate the unit talks at (a tool at
// another rate hears what the hardware makes of it), bytes take their line time on their own,
// and the unit's CTS is the device's RTS. RTS low only asks the tool's UART to stop: a tool with
// CTS flow control off (detection) sends on, so the front end reads whatever arrives. On a USB
// gadget port every rate is understood.
//
// A pty has no CTS line. When the tool has CTS flow control on and the unit's CTS is low, the
// front end stops reading and holds the tool's writes back as a UART held by CTS does. (A pty left
// unread is not enough: it may take more bytes long after its buffer seemed full.)
#include "PtyRunner.h"

#include "DevicePort.h"
#include "PtyPort.h"
#include "PtyTrace.h"
#include "UnitModel.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora_sim {

namespace {

volatile std::sig_atomic_t gStopRequested = 0;
volatile std::sig_atomic_t gRealTimeDropped = 0;

extern "C" void onStopSignal(int) {
    gStopRequested = 1;
}

// The kernel's word that the unit ran at real-time priority for a second without sleeping: a loop
// that spins. It gives the core back at once rather than hold it.
extern "C" void onRealTimeOverrun(int) {
    const sched_param usual{0};
    sched_setscheduler(0, SCHED_OTHER, &usual);
    gRealTimeDropped = 1;
}

void installSignalHandlers() {
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: poll() returns at once with EINTR
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXCPU, onRealTimeOverrun);
}

constexpr int64_t kHousekeepingMs = 200;
constexpr int64_t kCtsRecheckMs = 10;
constexpr std::size_t kReadChunk = 65536;
// Transmit queue of the tool's serial driver in pacing mode: the serial core's buffer, about what
// usb-serial adapters hold too.
constexpr std::size_t kDriverQueue = 4096;

// The line time of one character of the unit's frame at `baud`, in ms to the ns: the platform
// layer's rule over a million characters.
double characterMs(uint32_t baud) {
    return static_cast<double>(Platform_SerialLineTimeMs(1000000, baud, kUnitBitsPerCharacter, false)) / 1e6;
}

bool writeFileAtomically(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    const bool closed = std::fclose(file) == 0;
    return written && closed && std::rename(temporary.c_str(), path.c_str()) == 0;
}

// A chunk taken from the model, on its way to the pty.
struct Outgoing {
    Chunk chunk;
    std::size_t released = 0; // bytes already handed to the line
    bool garbleNoted = false;
};

class PtyUnit {
  public:
    explicit PtyUnit(const SimOptions& options)
        : options_(options), model_(options.unit), device_(options.usbCdc, options.udc),
          line_(options.port.empty() ? static_cast<SerialLine&>(pty_) : device_) {}

    int run();

  private:
    int64_t nowMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
    }
    double nowExactMs() const {
        return std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    }
    void note(int64_t timeMs, uint32_t baud, const std::string& text) {
        trace_.add(TraceEntry{timeMs, 'E', baud, text});
    }
    bool setUp();
    std::size_t inputRoom() const;
    std::size_t takeInput(const ToolLine& line);
    void deliverInput(std::size_t count);
    void deliverDueInput();
    void holdTool(const ToolLine& line, bool heldByCts);
    void releaseOutput(const ToolLine& line);
    std::size_t flushOutput();
    void collectModelRecords(bool all = false);
    void saveImage(const ReceivedImage& image);
    int64_t quietExitMs() const;
    bool timeToQuit();
    void finish();
    uint32_t unitTalks();
    int pollTimeoutMs(bool heldByCts) const;

    using Clock = std::chrono::steady_clock;

    const SimOptions& options_;
    UnitModel model_;
    PtyPort pty_;
    DevicePort device_;
    SerialLine& line_;
    uint32_t talks_ = 0; // the rate of the last bytes handed to the line
    TraceFile trace_;
    Clock::time_point start_ = Clock::now();

    std::deque<Outgoing> outgoing_;
    std::string toLine_; // released bytes the pty has not taken yet
    // Released texts whose last byte the line has not taken yet: where that byte stands in all
    // bytes ever released, and the time of the text's S entry.
    std::deque<std::pair<std::size_t, int64_t>> goingOut_;
    std::size_t released_ = 0, takenByLine_ = 0;
    int64_t lastByteOutMs_ = 0;

    // Paced input: bytes taken from the pty that the unit has not received yet, each burst with
    // the rate it was sent at; the front byte started on the wire at inWireMs_. inLineFreeMs_ is
    // when the line would have sent everything taken with no queue limit: while it lies more
    // than the queue's line time ahead, a real driver would keep the tool's write waiting.
    std::deque<std::pair<std::string, uint32_t>> inQueue_;
    std::size_t inQueued_ = 0;
    double inWireMs_ = 0;
    double inLineFreeMs_ = 0;
    bool toolHeld_ = false;
    bool queueFull_ = false; // the tool's driver queue would be full: the tool is held until it has room

    ToolLine lastLine_{};
    bool lineKnown_ = false;
    std::size_t modelTraceSeen_ = 0;
    std::size_t imagesSaved_ = 0;
    bool rebooted_ = false;
    int64_t rebootMs_ = 0;
};

bool PtyUnit::setUp() {
    if (!options_.traceFile.empty() && !trace_.open(options_.traceFile)) {
        std::fprintf(stderr, "VelmoraUnitSim: cannot write the trace %s\n", options_.traceFile.c_str());
        return false;
    }
    char started[48];
    std::snprintf(started, sizeof started, "%.6f s",
                  std::chrono::duration<double>(start_.time_since_epoch()).count());
    note(0, 0, kClockNote + std::string(started));
    // A unit keeps its own time whatever the PC does: the stand-in runs ahead of everything at
    // the usual priority, which takes root. It never spins there (the loop sleeps whenever nothing
    // is due), and the kernel holds it to that: a second at it without a sleep ends the priority.
    const sched_param high{10};
    const rlimit runAlone{1000000, RLIM_INFINITY}; // in µs
    if (options_.realtime &&
        (setrlimit(RLIMIT_RTTIME, &runAlone) != 0 || sched_setscheduler(0, SCHED_FIFO, &high) != 0)) {
        note(0, 0, std::string("no real-time priority: ") + std::strerror(errno));
    }
    if (!options_.imagesDir.empty()) {
        mkdir(options_.imagesDir.c_str(), 0755);
    }
    if (!options_.port.empty()) {
        if (!device_.open(options_.port, options_.unit.baudRate)) {
            std::fprintf(stderr, "VelmoraUnitSim: %s\n", device_.error().c_str());
            return false;
        }
        note(0, 0, "port " + options_.port + (options_.usbCdc ? " opened as a USB CDC device" : " opened"));
    } else if (!pty_.create()) {
        std::fprintf(stderr, "VelmoraUnitSim: %s\n", pty_.error().c_str());
        return false;
    }
    for (const std::string& link : options_.links) {
        if (!pty_.publish(link)) {
            std::fprintf(stderr, "VelmoraUnitSim: %s\n", pty_.error().c_str());
            return false;
        }
        note(0, 0, "port " + pty_.slavePath() + " published as " + link);
    }
    if (!options_.readyFile.empty()) {
        std::string content = (options_.port.empty() ? pty_.slavePath() : options_.port) + "\n";
        for (const std::string& link : options_.links) {
            content += link + "\n";
        }
        if (!writeFileAtomically(options_.readyFile, content)) {
            std::fprintf(stderr, "VelmoraUnitSim: cannot write %s\n", options_.readyFile.c_str());
            return false;
        }
    }
    return true;
}

// How many bytes the front end may take from the tool now: it stops exactly where the unit drops
// CTS or vanishes (counting the bytes still on their way), so that the change lands on the right
// byte. Until then it does not poll for input: the bytes waiting would wake it at once, again and
// again.
std::size_t PtyUnit::inputRoom() const {
    const int64_t untilChange = model_.bytesUntilLineChange() - static_cast<int64_t>(inQueued_);
    return static_cast<std::size_t>(std::clamp<int64_t>(untilChange, 0, kReadChunk));
}

// Returns the count of bytes read from the line.
std::size_t PtyUnit::takeInput(const ToolLine& line) {
    const std::size_t allowed = std::min(line_.pendingFromTool(), inputRoom());
    if (allowed == 0) {
        return 0;
    }
    char buffer[kReadChunk];
    const long got = line_.readFromTool(buffer, allowed);
    if (got <= 0) {
        return 0;
    }
    if (!options_.unit.pacing || line.sendBaud == 0) {
        model_.receive(reinterpret_cast<const uint8_t*>(buffer), static_cast<std::size_t>(got), nowMs(),
                       line.sendBaud);
        return static_cast<std::size_t>(got);
    }
    const double now = nowExactMs();
    deliverDueInput();
    if (inQueue_.empty()) {
        inWireMs_ = now;
    }
    inQueue_.emplace_back(std::string(buffer, static_cast<std::size_t>(got)), line.sendBaud);
    inQueued_ += static_cast<std::size_t>(got);
    inLineFreeMs_ = std::max(inLineFreeMs_, now) + static_cast<double>(got) * characterMs(line.sendBaud);
    if (inQueued_ > kDriverQueue) {
        deliverInput(inQueued_ - kDriverQueue); // beyond the queue: already on the wire
        inWireMs_ = now;
    }
    return static_cast<std::size_t>(got);
}

// Hands the unit the `count` oldest bytes in the queue.
void PtyUnit::deliverInput(std::size_t count) {
    while (count > 0 && !inQueue_.empty()) {
        auto& [bytes, baud] = inQueue_.front();
        const std::size_t n = std::min(count, bytes.size());
        model_.receive(reinterpret_cast<const uint8_t*>(bytes.data()), n, nowMs(), baud);
        inWireMs_ += static_cast<double>(n) * characterMs(baud);
        bytes.erase(0, n);
        inQueued_ -= n;
        count -= n;
        if (bytes.empty()) {
            inQueue_.pop_front();
        }
    }
}

// Hands the unit the queued bytes whose line time has passed.
void PtyUnit::deliverDueInput() {
    const double now = nowExactMs();
    while (!inQueue_.empty()) {
        const double perByte = characterMs(inQueue_.front().second);
        const auto due = static_cast<std::size_t>(std::max(0.0, (now - inWireMs_) / perByte));
        if (due == 0) {
            return;
        }
        deliverInput(std::min(due, inQueue_.front().first.size()));
    }
}

// Holds the tool's writes while CTS is low or its driver's queue would be full.
void PtyUnit::holdTool(const ToolLine& line, bool heldByCts) {
    queueFull_ = options_.unit.pacing && inLineFreeMs_ - nowExactMs() >
                                             static_cast<double>(kDriverQueue) * characterMs(line.sendBaud);
    const bool hold = heldByCts || queueFull_;
    if (hold != toolHeld_ && line_.holdToolOutput(hold)) {
        toolHeld_ = hold;
    }
}

void PtyUnit::releaseOutput(const ToolLine& line) {
    for (Chunk& chunk : model_.takeTransmitted(nowMs())) {
        outgoing_.push_back(Outgoing{std::move(chunk)});
    }
    while (!outgoing_.empty()) {
        Outgoing& out = outgoing_.front();
        const Chunk& chunk = out.chunk;
        if (line.listenBaud == 0 && chunk.baud != talks_) {
            break; // a real line: first set to the chunk's rate, on the next turn
        }
        std::size_t due = chunk.bytes.size();
        if (options_.unit.pacing) {
            const double elapsed = nowExactMs() - static_cast<double>(chunk.timeMs);
            due = std::min(due, static_cast<std::size_t>(std::max(0.0, elapsed / characterMs(chunk.baud))));
        }
        if (due > out.released) {
            std::string piece = chunk.bytes.substr(out.released, due - out.released);
            if (line.listenBaud != 0 && line.listenBaud != chunk.baud) {
                piece = garble(piece, chunk.baud, line.listenBaud);
                if (!out.garbleNoted) {
                    out.garbleNoted = true;
                    note(nowMs(), chunk.baud,
                         "sent at " + std::to_string(chunk.baud) + " baud while the tool listens at " +
                             std::to_string(line.listenBaud) + ": the tool hears garbage");
                }
            }
            toLine_ += piece;
            released_ += piece.size();
            out.released = due;
            lastByteOutMs_ = nowMs();
        }
        if (out.released < chunk.bytes.size()) {
            break;
        }
        goingOut_.emplace_back(released_, chunk.timeMs);
        outgoing_.pop_front();
    }
}

// Writes what the line takes now and notes every text whose last byte it took (a text garbled
// into nothing too); returns the count of bytes written.
std::size_t PtyUnit::flushOutput() {
    const std::size_t before = takenByLine_;
    while (!toLine_.empty()) {
        const long n = line_.writeToTool(toLine_.data(), toLine_.size());
        if (n <= 0) {
            break; // the tool's queue is full (or the line is gone): once poll says it takes more
        }
        toLine_.erase(0, static_cast<std::size_t>(n));
        takenByLine_ += static_cast<std::size_t>(n);
    }
    for (; !goingOut_.empty() && goingOut_.front().first <= takenByLine_; goingOut_.pop_front()) {
        note(nowMs(), talks_, kGoneOutNote + std::to_string(goingOut_.front().second) + " ms");
    }
    return takenByLine_ - before;
}

void PtyUnit::saveImage(const ReceivedImage& image) {
    if (options_.imagesDir.empty()) {
        return;
    }
    const std::string base = options_.imagesDir + "/" + std::string(1, image.kind);
    const std::string info = "kind " + std::string(1, image.kind) + "\nannouncedChecksum " +
                             std::to_string(image.announcedChecksum) + "\nannouncedLength " +
                             std::to_string(image.announcedLength) + "\nreceivedLength " +
                             std::to_string(image.bytes.size()) + "\nchecksumOk " +
                             (image.checksumOk ? "1" : "0") + "\n";
    if (!writeFileAtomically(base + ".bin", image.bytes) || !writeFileAtomically(base + ".txt", info)) {
        std::fprintf(stderr, "VelmoraUnitSim: cannot save image %s.bin\n", base.c_str());
        return;
    }
    note(nowMs(), 0, "image saved as " + base + ".bin");
}

// Copies the model's new trace entries (all of them at the end; otherwise those that are final)
// and saves the images it received.
void PtyUnit::collectModelRecords(bool all) {
    const std::vector<TraceEntry>& records = model_.trace();
    for (; modelTraceSeen_ < (all ? records.size() : model_.settledTrace()); ++modelTraceSeen_) {
        const TraceEntry& entry = records[modelTraceSeen_];
        trace_.add(entry);
        if (entry.direction == 'E' && entry.text.compare(0, 6, "reboot") == 0) {
            rebooted_ = true;
            rebootMs_ = entry.timeMs;
        }
    }
    const std::vector<ReceivedImage>& images = model_.images();
    for (; imagesSaved_ < images.size(); ++imagesSaved_) {
        saveImage(images[imagesSaved_]);
    }
    trace_.writeDue(nowMs());
}

// When the rebooted unit may quit (--exit-after-reboot): that long after its last byte, once it
// has nothing more to say; kNever before.
int64_t PtyUnit::quietExitMs() const {
    const bool quiet = options_.exitAfterReboot && rebooted_ && model_.nextTransmitTime() == kNever &&
                       outgoing_.empty() && toLine_.empty();
    return quiet ? std::max(rebootMs_, lastByteOutMs_) + options_.exitAfterRebootMs : kNever;
}

bool PtyUnit::timeToQuit() {
    if (gStopRequested != 0) {
        return true;
    }
    const int64_t now = nowMs();
    if (options_.maxRunMs > 0 && now >= options_.maxRunMs) {
        note(now, 0, "run time limit reached");
        return true;
    }
    if (now >= quietExitMs()) {
        note(now, 0, "rebooted and quiet: exiting");
        return true;
    }
    return false;
}

// The end of the program, or of the unit: a text the line had not taken whole is cut off, one due
// later never began, and nothing stamped after now happened.
void PtyUnit::finish() {
    collectModelRecords(true);
    const int64_t now = nowMs();
    const auto cutOff = [&](int64_t sentMs) { note(now, 0, kCutOffNote + std::to_string(sentMs) + " ms"); };
    for (const auto& text : goingOut_) {
        cutOff(text.second);
    }
    for (const Outgoing& out : outgoing_) {
        cutOff(out.chunk.timeMs);
    }
    for (const Chunk& chunk : model_.takeTransmitted(now)) {
        cutOff(chunk.timeMs);
    }
    trace_.finish(now);
}

// The rate of the oldest byte the unit has not handed to the line (bytes the line has not taken
// yet keep the rate they were released at), or the rate it listens at when it has nothing to say.
uint32_t PtyUnit::unitTalks() {
    if (!toLine_.empty()) {
        return talks_;
    }
    talks_ = outgoing_.empty() ? model_.listeningBaud() : outgoing_.front().chunk.baud;
    return talks_;
}

int PtyUnit::pollTimeoutMs(bool heldByCts) const {
    const int64_t now = nowMs();
    int64_t next = now + kHousekeepingMs;
    next = std::min(next, model_.nextTransmitTime());
    if (!outgoing_.empty() && toLine_.empty()) {
        // A chunk still to start, or a paced one releasing byte by byte. (While the line holds
        // bytes it has not taken, POLLOUT says when it takes more.)
        next = std::min(next, std::max(outgoing_.front().chunk.timeMs, now + 1));
    }
    if (!inQueue_.empty()) { // the next queued byte reaches the unit
        next = std::min(next, static_cast<int64_t>(inWireMs_ + characterMs(inQueue_.front().second)) + 1);
    }
    if (queueFull_) { // the queue has room again
        next = std::min(
            next, static_cast<int64_t>(inLineFreeMs_ - kDriverQueue * characterMs(lastLine_.sendBaud)) + 1);
    }
    if (heldByCts) { // CTS may rise
        next = std::min(next, now + kCtsRecheckMs);
    }
    next = std::min(next, quietExitMs());
    if (options_.maxRunMs > 0) {
        next = std::min(next, options_.maxRunMs);
    }
    return static_cast<int>(std::clamp<int64_t>(next - now, 0, kHousekeepingMs));
}

int PtyUnit::run() {
    installSignalHandlers();
    if (!setUp()) {
        return 1;
    }
    trace_.writeDue(nowMs());
    bool woken = false; // the last poll returned for the line
    while (!timeToQuit()) {
        if (gRealTimeDropped != 0) {
            gRealTimeDropped = 0;
            note(nowMs(), 0, "real-time priority dropped: a second at it without sleeping");
        }
        const ToolLine line = line_.toolLine(unitTalks(), model_.listeningBaud());
        if (!lineKnown_ || line.sendBaud != lastLine_.sendBaud || line.listenBaud != lastLine_.listenBaud ||
            line.ctsFlow != lastLine_.ctsFlow) {
            note(nowMs(), line.sendBaud,
                 line.listenBaud == 0 ? "device: the unit hears at " + std::to_string(line.sendBaud)
                                      : "tool line: sends at " + std::to_string(line.sendBaud) +
                                            ", listens at " + std::to_string(line.listenBaud) +
                                            ", CTS flow control " + (line.ctsFlow ? "on" : "off"));
            lastLine_ = line;
            lineKnown_ = true;
        }

        // CTS low holds the tool: a real line by itself, a pty's tool through the front end,
        // which then reads nothing.
        const bool heldByCts = (line.ctsFlow || line.ctsWire) && !model_.ctsRaised(nowMs());
        const bool reading = !heldByCts || line.ctsWire;
        std::size_t moved = reading ? takeInput(line) : 0;
        deliverDueInput();
        holdTool(line, heldByCts);
        if (!model_.connected()) {
            // The unit is gone, like a USB adapter pulled out: the tool's port vanishes under it.
            collectModelRecords(true);
            note(nowMs(), 0, "unit vanished after " + std::to_string(model_.bytesReceived()) + " bytes");
            line_.vanish();
            break;
        }
        releaseOutput(line);
        moved += flushOutput();
        collectModelRecords();

        pollfd pfd{line_.fd(), 0, 0};
        if (reading && inputRoom() > 0) {
            pfd.events |= POLLIN;
        }
        if (!toLine_.empty()) {
            pfd.events |= POLLOUT;
        }
        // A line that wakes the poll and then moves no byte (hung up, or an error that does not
        // clear) would wake it at once again and again: then sleep until the next thing due.
        const int ready = poll(&pfd, woken && moved == 0 ? 0 : 1, pollTimeoutMs(heldByCts));
        woken = ready > 0;
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "VelmoraUnitSim: poll failed\n");
            break;
        }
    }
    finish();
    line_.close();
    return 0;
}

} // namespace

int runUnit(const SimOptions& options) {
    PtyUnit unit(options);
    return unit.run();
}

} // namespace velmora_sim
