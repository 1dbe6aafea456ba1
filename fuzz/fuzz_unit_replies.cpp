// The unit's replies, arbitrary bytes split at arbitrary points and arriving at arbitrary virtual
// times, into the tool's reading of them: sendCommand, the closing reply of sendData, detection
// and the update sequence (its version parse above all), on the virtual platform.
//
// Input: a mode byte, a settings byte, then replies until the input ends. A reply is a count of
// pieces; a piece is a delay (2 bytes, ms after the previous piece or after the write that
// triggered the reply), a size exponent (1 byte: the piece repeated up to 2^21 times, for
// floods), a length (1 byte) and that many bytes. The far end answers, in order, every command
// line the tool writes and every image once all its announced bytes have gone out.
//
// Checked, besides the sanitizers: a reply counts as matching exactly when everything read
// equals the expected text; every gathering ends with one empty read, each read lasting one
// time-out, so it ends one to two time-outs after the last byte; nothing reports success unless
// each of its steps got its exact reply; and the model word shown never exceeds 7 characters.
#include "CommandProtocol.h"
#include "ComPortAPI.h"
#include "PortDetection.h"
#include "UpdateSequence.h"
#include "WorkingBuffers.h"

#include "FuzzCheck.h"
#include "UnitModel.h"
#include "VirtualConsole.h"
#include "VirtualPlatform.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

namespace vp = virtual_platform;
using vp::ReadRecord;
using vp::ScriptedChunk;
using vp::WriteRecord;

const DCB kInitialDcb = g_dcb;
const COMMTIMEOUTS kInitialTimeouts = g_cto;

const std::string kHelp = "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";
const std::string kTx = VALIDATE_TX_PRODUCT_ID_STRING;
const std::string kRx = VALIDATE_RX_PRODUCT_ID_STRING;
constexpr std::size_t kLargestPiece = 2200000;
constexpr int64_t kSlowestLineMsPerByte = 9; // 10 bits at 1200 baud, rounded up

struct Piece {
    int64_t delayMs;
    std::string bytes;
};
using Reply = std::vector<Piece>;

class Input {
  public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
    std::string bytes(std::size_t n) {
        n = std::min(n, size_ - std::min(at_, size_));
        std::string s(reinterpret_cast<const char*>(data_) + at_, n);
        at_ += n;
        return s;
    }
    Reply reply() {
        Reply r;
        const int pieces = byte() % 5;
        for (int i = 0; i < pieces && !empty(); ++i) {
            Piece p;
            p.delayMs = word();
            const int exponent = byte(); // 240 and above: a flood of 2^6 to 2^21 copies
            const std::string unit = bytes(byte());
            std::size_t repeat = exponent >= 240 ? std::size_t{1} << (exponent - 234) : 1;
            if (!unit.empty()) {
                repeat = std::min(repeat, kLargestPiece / unit.size());
            }
            for (std::size_t k = 0; k < repeat; ++k) {
                p.bytes += unit;
            }
            r.push_back(std::move(p));
        }
        return r;
    }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// The far end: every command line and every completed image takes the next reply.
class ScriptedUnit {
  public:
    std::deque<Reply> replies;
    int64_t dataExpected = -1; // bytes still to come of an announced image
    int64_t lastArrivalMs = 0; // when the last byte queued so far has surely arrived

    std::vector<ScriptedChunk> onWrite(const WriteRecord& w) {
        bool answer = false;
        const bool commandLine = w.bytes.size() >= 5 && w.bytes.compare(0, 3, "%%%") == 0 &&
                                 w.bytes.compare(w.bytes.size() - 2, 2, "\n\r") == 0;
        if (commandLine) {
            answer = true;
            dataExpected = -1;
            if (w.bytes.compare(0, 9, "%%%fw -l ") == 0 || w.bytes.compare(0, 9, "%%%fw -h ") == 0) {
                const std::size_t space = w.bytes.find(' ', 9);
                dataExpected = space == std::string::npos ? -1 : std::atoll(w.bytes.c_str() + space + 1);
            }
        } else if (dataExpected > 0) {
            dataExpected -= static_cast<int64_t>(w.bytes.size());
            answer = dataExpected <= 0;
        }
        std::vector<ScriptedChunk> chunks;
        if (!answer || replies.empty()) {
            return chunks;
        }
        int64_t t = w.endMs;
        for (Piece& p : replies.front()) {
            t += p.delayMs;
            lastArrivalMs =
                std::max(lastArrivalMs, t + 1 + kSlowestLineMsPerByte * static_cast<int64_t>(p.bytes.size()));
            chunks.push_back({t, std::move(p.bytes)});
        }
        replies.pop_front();
        return chunks;
    }
};

ScriptedUnit gUnit;

void freshLine(Input& in) {
    vp::reset();
    g_dcb = kInitialDcb;
    g_cto = kInitialTimeouts;
    g_hCOM = INVALID_HANDLE_VALUE;
    gComPortNumber = 0;
    gBaudRate = 0;
    gUnit = ScriptedUnit();
    while (!in.empty()) {
        gUnit.replies.push_back(in.reply());
    }
}

void attach(int port) {
    vp::attachScriptedFarEnd(port, [](const WriteRecord& w) { return gUnit.onWrite(w); });
}

// The reads that belong to the write `index` of a port: those that ended after it and before
// the next write began.
std::vector<ReadRecord> readsAfter(int port, std::size_t index) {
    const auto& writes = vp::writes(port);
    const int64_t from = writes[index].endMs;
    const int64_t to = index + 1 < writes.size() ? writes[index + 1].startMs : vp::nowMs();
    std::vector<ReadRecord> picked;
    for (const ReadRecord& r : vp::reads(port)) {
        if (r.endMs > from && r.endMs <= to) {
            picked.push_back(r);
        }
    }
    return picked;
}

// What a gathering over these reads collects: everything up to the first empty read.
std::string gatheredFrom(const std::vector<ReadRecord>& reads) {
    std::string all;
    for (const ReadRecord& r : reads) {
        if (r.bytes.empty()) {
            break;
        }
        all += r.bytes;
    }
    return all;
}

// A gathering that began when the write ended: reads of exactly one time-out each, every one
// but the last bringing something. Returns the text gathered.
std::string checkGathering(const std::vector<ReadRecord>& reads, int64_t startMs, int64_t timeoutMs) {
    FUZZ_CHECK(!reads.empty());
    int64_t at = startMs;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        FUZZ_CHECK(reads[i].endMs - at == timeoutMs);
        FUZZ_CHECK(reads[i].bytes.empty() == (i + 1 == reads.size()));
        at = reads[i].endMs;
    }
    FUZZ_CHECK(at <= std::max(startMs, gUnit.lastArrivalMs) + 2 * timeoutMs);
    return gatheredFrom(reads);
}

constexpr std::array<int, 5> kTimeouts = {500, 1000, 5000, 10000, 11000};
constexpr std::array<uint32_t, 6> kRates = {115200, 9600, 57600, 4800, 2400, 1200};
const std::array<std::string, 5> kExpected = {"Ready", "SUCCESS", kTx, kHelp, ""};

void openPort(int port, uint32_t baud, int timeoutMs) {
    attach(port);
    ComPortAPI_SetBaudRate(static_cast<int>(baud));
    FUZZ_CHECK(ComPortAPI_OpenCOM(port) == 1);
    ComPortAPI_SetReadingTimeoutInMs(timeoutMs);
    virtual_console::reset();
}

void fuzzCommand(uint8_t settings, Input& in) {
    const int timeout = kTimeouts[settings % kTimeouts.size()];
    const std::string& expected = kExpected[(settings / 8) % kExpected.size()];
    const BOOL validate = (settings & 0x80) != 0 ? 0 : 1;
    freshLine(in);
    openPort(1, kRates[(settings / 40) % 3], timeout);
    const BOOL result = sendCommand("%fw -p", 0, validate, expected.c_str());
    FUZZ_CHECK(vp::writes(1).size() == 1);
    const std::string reply = checkGathering(readsAfter(1, 0), vp::writes(1)[0].endMs, timeout);
    FUZZ_CHECK(result == (validate != 1 || reply == expected ? 1 : 0));
    FUZZ_CHECK(virtual_console::output().empty());
}

void fuzzDataReply(uint8_t settings, Input& in) {
    const int length = (settings & 0x7F) * 300; // 0 to 38,100 bytes: up to four pieces
    const BOOL validate = (settings & 0x80) != 0 ? 0 : 1;
    freshLine(in);
    openPort(1, 115200, 1000);
    gUnit.dataExpected = length;
    std::vector<uint8_t> image(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    const BOOL result = sendData(image.data(), length, validate, "SUCCESS");
    const std::string& shown = virtual_console::output();
    if (length == 0) {
        FUZZ_CHECK(result == 1 && vp::reads(1).empty() && shown == "1%");
        return;
    }
    const std::size_t last = vp::writes(1).size() - 1;
    const std::string reply = checkGathering(readsAfter(1, last), vp::writes(1)[last].endMs, 1000);
    const bool matched = reply == "SUCCESS";
    FUZZ_CHECK(result == (validate != 1 || matched ? 1 : 0));
    const std::size_t counterEnd = shown.find("100%");
    FUZZ_CHECK(shown.compare(0, 2, "1%") == 0 && counterEnd != std::string::npos);
    const std::string after = shown.substr(counterEnd + 4);
    if (result == 1) {
        FUZZ_CHECK(after.empty());
    } else {
        // Everything received is shown (up to what the accumulator holds), zero bytes included.
        const std::string kept = reply.substr(0, DATA_BUFFER_SIZE - 1);
        FUZZ_CHECK(after == "\r\nExpected : SUCCESS  received : " + kept +
                                "\r\n\r\nError: Expected response did  not matched !\r\n");
    }
}

void fuzzDetection(uint8_t settings, Input& in) {
    // Two bits per port for COM1 to COM4: absent, empty, busy, scripted.
    freshLine(in);
    std::vector<int> scripted;
    for (int port = 1; port <= 4; ++port) {
        switch ((settings >> (2 * (port - 1))) & 3) {
        case 0:
            break;
        case 1:
            vp::addEmptyPort(port);
            break;
        case 2:
            vp::setPortBusy(port);
            break;
        default:
            attach(port);
            scripted.push_back(port);
            break;
        }
    }
    ComPortAPI_SetHardwareFlowControl(0);
    const BOOL found = detectComPortAndBaudrate();

    // Every try on every scripted port, in time order: which one first got the exact help text?
    struct Try {
        int64_t startMs;
        int port;
        uint32_t baud;
        bool matched;
    };
    std::vector<Try> tries;
    for (int port : scripted) {
        for (std::size_t i = 0; i < vp::writes(port).size(); ++i) {
            const WriteRecord& w = vp::writes(port)[i];
            FUZZ_CHECK(w.bytes == "%%%help -c version\n\r");
            const std::string reply = checkGathering(readsAfter(port, i), w.endMs, 500);
            tries.push_back({w.startMs, port, w.baud, reply == kHelp});
        }
    }
    std::sort(tries.begin(), tries.end(), [](const Try& a, const Try& b) { return a.startMs < b.startMs; });
    const auto first = std::find_if(tries.begin(), tries.end(), [](const Try& t) { return t.matched; });
    if (first == tries.end()) {
        FUZZ_CHECK(found == 0);
        for (int port = 1; port <= 4; ++port) {
            FUZZ_CHECK(!vp::isOpen(port));
        }
    } else {
        FUZZ_CHECK(found == 1);
        FUZZ_CHECK(first + 1 == tries.end()); // detection stopped at the first exact answer
        FUZZ_CHECK(gComPortNumber == first->port && gBaudRate == static_cast<int32_t>(first->baud));
        FUZZ_CHECK(vp::isOpen(first->port));
    }
    FUZZ_CHECK(virtual_console::output().empty());
}

bool contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

void fuzzUpdate(uint8_t settings, Input& in) {
    freshLine(in);
    WorkingBuffers_Release();
    FUZZ_CHECK(WorkingBuffers_Setup() == 1); // the update consumes the microcontroller text
    const uint32_t rate = kRates[settings % kRates.size()];
    ComPortAPI_SetHardwareFlowControl(1);
    openPort(3, rate, 500);
    gBaudRate = static_cast<int32_t>(rate);
    const int64_t startMs = vp::nowMs();
    const BOOL result = updateFirmware();
    const std::string& shown = virtual_console::output();
    const auto& writes = vp::writes(3);

    FUZZ_CHECK(!writes.empty() && writes[0].bytes == "%%%fw -v\n\r");

    // Each command line and what was gathered after it; each identity, "Ready" and "SUCCESS"
    // seen as accepted must have been exactly that text.
    std::vector<std::string> lines;
    std::vector<std::string> gathered;
    for (std::size_t i = 0; i < writes.size(); ++i) {
        FUZZ_CHECK(writes[i].ok);
        const bool commandLine = writes[i].bytes.compare(0, 3, "%%%") == 0;
        const bool lastOfImage =
            !commandLine && (i + 1 == writes.size() || writes[i + 1].bytes.compare(0, 3, "%%%") == 0);
        if (commandLine || lastOfImage) {
            lines.push_back(commandLine ? writes[i].bytes : "<data>");
            gathered.push_back(gatheredFrom(readsAfter(3, i)));
        }
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool announcement =
            lines[i].compare(0, 7, "%%%fw -") == 0 && (lines[i][7] == 'l' || lines[i][7] == 'h');
        if (announcement && i + 1 < lines.size()) {
            FUZZ_CHECK(gathered[i] == "Ready"); // the tool went on to send the image
        }
        if (lines[i] == "<data>" && i + 1 < lines.size()) {
            FUZZ_CHECK(gathered[i] == "SUCCESS"); // the tool went on past the image
        }
    }

    // A closing reply that did not match is shown whole at the end; the rest is the tool's own
    // text, in which the markers below are looked for (the unit may send any text at all).
    std::string own = shown;
    if (result == 0 && !lines.empty() && lines.back() == "<data>") {
        const std::string tail =
            "\r\nExpected : SUCCESS  received : " + gathered.back().substr(0, DATA_BUFFER_SIZE - 1) +
            "\r\n\r\nError: Expected response did  not matched !\r\nFAILED\r\n";
        FUZZ_CHECK(shown.size() >= tail.size() &&
                   shown.compare(shown.size() - tail.size(), tail.size(), tail) == 0);
        own = shown.substr(0, shown.size() - tail.size());
    }

    // The version read: one read of 1 s right after "%fw -v"; the model word it shows is short.
    const std::string label = "Checking fpga version ..................  ";
    const std::size_t model = own.find(label);
    if (model != std::string::npos) {
        const std::size_t end = own.find(' ', model + label.size());
        FUZZ_CHECK(end != std::string::npos && end - (model + label.size()) <= 7);
    }
    const bool unknownProduct = contains(own, "Checking product .......... FAILED, Unknown product\r\n");
    if (unknownProduct) {
        FUZZ_CHECK(result == 0 && writes.size() == 1);
    } else {
        FUZZ_CHECK(contains(own, "  device:9\r\n"));
        FUZZ_CHECK(readsAfter(3, 0).size() == 1);
    }
    const bool tx = contains(own, "TX OK\r\n");
    const bool rx = contains(own, "RX OK\r\n");
    FUZZ_CHECK(!(tx && rx));
    if (tx) {
        FUZZ_CHECK(lines.size() >= 2 && gathered[1] == kTx);
    }
    if (rx) {
        FUZZ_CHECK(lines.size() >= 3 && gathered[1] != kTx && gathered[2] == kRx);
    }

    // No success without both images accepted; no success line after a failure, nor one that
    // was not earned by the boot text.
    const bool successLine = contains(own, "The update was successful");
    if (result == 1) {
        FUZZ_CHECK(lines.size() >= 6 && lines.back() == "<data>" && gathered.back() == "SUCCESS");
        // (The model word is the unit's and may read "FAILED"; the tool's verdicts are whole lines.)
        for (const char* verdict :
             {"FAILED\r\n", "FAILED [Unit not ready]\r\n", "FAILED, Unknown product\r\n",
              "\r\nERROR:", "Error occurred when sending data"}) {
            FUZZ_CHECK(!contains(own, verdict));
        }
    } else {
        FUZZ_CHECK(!successLine);
    }
    if (successLine) {
        const std::string& boot = vp::reads(3).back().bytes;
        FUZZ_CHECK(boot.size() >= 2 && boot.front() == '[' && boot.compare(boot.size() - 2, 2, ">>") == 0);
    }
    // Bounded: after the far end's last byte and the tool's last write, at most two of the
    // longest read time-outs, the reboot wait and its two reads.
    const int64_t quietFrom = std::max({startMs, gUnit.lastArrivalMs, writes.back().endMs});
    FUZZ_CHECK(vp::nowMs() <= quietFrom + 2 * 10000 + REBOOT_STEPS * REBOOT_STEP_MS + 12000);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool ready = WorkingBuffers_Setup() != 0;
    FUZZ_CHECK(ready);
    Input in(data, size);
    const uint8_t mode = in.byte();
    const uint8_t settings = in.byte();
    switch (mode % 4) {
    case 0:
        fuzzCommand(settings, in);
        break;
    case 1:
        fuzzDataReply(settings, in);
        break;
    case 2:
        fuzzDetection(settings, in);
        break;
    default:
        fuzzUpdate(settings, in);
        break;
    }
    // To see what an input does: FUZZ_SHOW_CONSOLE=1 fuzz_unit_replies <input file>
    static const bool show = std::getenv("FUZZ_SHOW_CONSOLE") != nullptr;
    if (show) {
        std::fprintf(stderr, "--- console at %lld ms:\n%s\n---\n", static_cast<long long>(vp::nowMs()),
                     virtual_console::output().c_str());
    }
    ComPortAPI_CloseCOM();
    return 0;
}
