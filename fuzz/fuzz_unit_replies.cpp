// The unit's replies, arbitrary bytes split at arbitrary points and arriving at arbitrary virtual
// times, into the tool's reading of them on the virtual platform, as the program runs: detection of
// the port and rate, then on that port the whole update (the version parse, the command exchanges,
// the closing replies of the two image transfers, the reboot wait).
//
// Input: a byte whose low four bits give COM1 to COM4 a far end (the others are absent), then the
// far end's replies until the input ends. A reply is a count of pieces; a piece is a delay (2 bytes,
// ms after the previous piece or after the write that triggered the reply), a size exponent
// (1 byte: from 240 on, the piece repeated up to 2^21 times, a flood), a length (1 byte) and that
// many bytes. The far end answers, in order, every command line the tool writes and every image
// once all its announced bytes have gone out.
//
// Checked, besides the sanitizers: every reply is gathered by reads of one time-out each until one
// brings nothing, so it ends one to two time-outs after the last byte; the tool goes on past a
// step exactly when the step got its exact reply, so nothing reports success without them;
// detection stops at the first exact answer, on that port at that rate; the model word shown
// never exceeds 7 characters; the unit counts as back only after an update whose boot text
// closes with the prompt; the update ends within its bounded waits.
#include "ComPortAPI.h"
#include "PortDetection.h"
#include "UpdateSequence.h"
#include "WorkingBuffers.h"

#include "VirtualConsole.h"
#include "VirtualPlatform.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace vp = virtual_platform;
using Reply = std::vector<vp::ScriptedChunk>; // times as delays after the piece before

const DCB kInitialDcb = g_dcb;
const COMMTIMEOUTS kInitialTimeouts = g_cto;
const std::string kHelp = "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";
const std::string kTx = VALIDATE_TX_PRODUCT_ID_STRING;
const std::string kRx = VALIDATE_RX_PRODUCT_ID_STRING;
constexpr uint32_t kSlowestRate = 1200; // of those the tool tries
constexpr std::size_t kLargestPiece = 2200000;

bool isCommandLine(const std::string& bytes) {
    return bytes.size() >= 5 && bytes.compare(0, 3, "%%%") == 0 &&
           bytes.compare(bytes.size() - 2, 2, "\n\r") == 0;
}

// The far end: every command line, and every image once its announced bytes are in, takes the
// next reply.
struct ScriptedUnit {
    std::deque<Reply> replies;
    long long imageLeft = 0;   // bytes still to come of an announced image
    int64_t lastArrivalMs = 0; // every byte queued so far has arrived by then

    Reply onWrite(const vp::WriteRecord& w) {
        bool answer = isCommandLine(w.bytes);
        if (answer && std::sscanf(w.bytes.c_str(), "%%%%%%fw -%*[lh] %*u %lld", &imageLeft) != 1) {
            imageLeft = 0;
        } else if (!answer && imageLeft > 0) {
            imageLeft -= static_cast<long long>(w.bytes.size());
            answer = imageLeft <= 0;
        }
        if (!answer || replies.empty()) {
            return {};
        }
        Reply reply = std::move(replies.front());
        replies.pop_front();
        const unsigned bits = Platform_SerialBitsPerCharacter(g_dcb);
        int64_t t = w.endMs;
        for (vp::ScriptedChunk& piece : reply) {
            t += piece.timeMs;
            piece.timeMs = t;
            // One wire: a piece follows the one before it, at worst at the slowest rate.
            const uint64_t lineMs = Platform_SerialLineTimeMs(piece.bytes.size(), kSlowestRate, bits, true);
            lastArrivalMs = std::max(lastArrivalMs, t) + 1 + static_cast<int64_t>(lineMs);
        }
        return reply;
    }
};

ScriptedUnit gUnit;

// A fresh line, and the far end's replies read from the input.
void freshLine(const uint8_t* data, std::size_t size) {
    vp::reset();
    g_dcb = kInitialDcb;
    g_cto = kInitialTimeouts;
    gUnit = ScriptedUnit();
    std::size_t at = 0;
    auto byte = [&] { return at < size ? data[at++] : 0; };
    while (at < size) {
        Reply reply(byte() % 5);
        for (vp::ScriptedChunk& piece : reply) {
            const int low = byte();
            piece.timeMs = low | byte() << 8;
            const int exponent = byte();
            const std::size_t length = std::min<std::size_t>(byte(), size - at);
            const std::string unit(reinterpret_cast<const char*>(data) + at, length);
            at += length;
            const std::size_t repeat = exponent >= 240 ? std::size_t{1} << (exponent - 234) : 1;
            for (std::size_t k = 0; k < repeat && piece.bytes.size() + unit.size() <= kLargestPiece; ++k) {
                piece.bytes += unit;
            }
        }
        gUnit.replies.push_back(std::move(reply));
    }
}

// The reads that ended after write `index` of the port and before its next write began.
std::vector<vp::ReadRecord> readsAfter(int port, std::size_t index) {
    const auto& writes = vp::writes(port);
    const int64_t from = writes[index].endMs;
    const int64_t to = index + 1 < writes.size() ? writes[index + 1].startMs : vp::nowMs();
    std::vector<vp::ReadRecord> picked;
    std::copy_if(vp::reads(port).begin(), vp::reads(port).end(), std::back_inserter(picked),
                 [&](const vp::ReadRecord& r) { return r.endMs > from && r.endMs <= to; });
    return picked;
}

// The reply gathered after write `index`: reads of one time-out each from the write's end, up to
// the first that brings nothing, which is the last before the next write and comes no later than
// two time-outs after the far end's last byte.
std::string gathered(int port, std::size_t index) {
    const int64_t from = vp::writes(port)[index].endMs;
    const std::vector<vp::ReadRecord> reads = readsAfter(port, index);
    assert(!reads.empty());
    const int64_t timeout = reads[0].endMs - from;
    std::string reply;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        assert(reads[i].endMs == from + static_cast<int64_t>(i + 1) * timeout);
        if (reads[i].bytes.empty()) { // after the update's last write, the reboot wait's reads follow
            assert(i + 1 == reads.size() || index + 1 == vp::writes(port).size());
            assert(reads[i].endMs <= std::max(from, gUnit.lastArrivalMs) + 2 * timeout);
            return reply;
        }
        reply += reads[i].bytes;
    }
    assert(false && "a gathering ends with a read that brings nothing");
    return reply;
}

// The program's session: detection over COM1 to COM4 (each with a far end when its bit in `ports`
// is set, else absent), then the update on the port and at the rate found.
void session(uint8_t ports) {
    for (int port = 1; port <= 4; ++port) {
        if ((ports >> (port - 1) & 1) != 0) {
            vp::attachScriptedFarEnd(port, [](const vp::WriteRecord& w) { return gUnit.onWrite(w); });
        }
    }
    ComPortAPI_SetHardwareFlowControl(0);
    const BOOL found = detectComPortAndBaudrate();
    // Every try, in time order (the ports are tried in turn): none after the first exact answer.
    int port = 0;
    for (int p = 1; p <= 4; ++p) {
        for (std::size_t i = 0; i < vp::writes(p).size(); ++i) {
            assert(port == 0 && vp::writes(p)[i].bytes == "%%%help -c version\n\r");
            if (gathered(p, i) == kHelp) {
                port = p;
                assert(gBaudRate == static_cast<int32_t>(vp::writes(p)[i].baud));
            }
        }
        assert(vp::isOpen(p) == (p == port));
    }
    assert(found == (port != 0 ? 1 : 0) && gComPortNumber == port && virtual_console::output().empty());
    if (found == 0) {
        return;
    }

    std::free(gHexFirmware); // the update cuts its working copy of the microcontroller text apart
    gHexFirmware = WorkingBuffers_CopyImageText(IMAGE_INDEX_MCU);
    assert(gHexFirmware != nullptr);
    ComPortAPI_SetHardwareFlowControl(1);
    const std::size_t first = vp::writes(port).size();
    const BOOL result = updateFirmware();
    const auto& writes = vp::writes(port);
    // The version query: no gathering, one read of whatever comes within its time-out.
    assert(writes.size() > first && writes[first].bytes == "%%%fw -v\n\r" &&
           readsAfter(port, first).size() == 1);

    // The steps after it, each with the reply that decides it: a command line, or an image (its
    // last write).
    std::vector<std::pair<std::string, std::string>> steps;
    for (std::size_t i = first + 1; i < writes.size(); ++i) {
        const bool line = isCommandLine(writes[i].bytes);
        if (line || i + 1 == writes.size() || isCommandLine(writes[i + 1].bytes)) {
            steps.emplace_back(line ? writes[i].bytes.substr(3, 5) : "image", gathered(port, i));
        }
    }
    // The identity picks TX, else, asked again, it must be RX's; then each image is announced
    // ("Ready") and sent ("SUCCESS"), the logic's first. The first question always leads on.
    std::vector<std::pair<std::string, std::string>> plan = {
        {"fw -p", kTx}, {"fw -l", "Ready"}, {"image", "SUCCESS"}, {"fw -h", "Ready"}, {"image", "SUCCESS"}};
    if (steps.empty() || steps[0].second != kTx) {
        plan.insert(plan.begin() + 1, {"fw -p", kRx});
    }
    assert(steps.size() <= plan.size() && (result == 0 || steps.size() == plan.size()));
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const bool exact = i == 0 || steps[i].second == plan[i].second;
        assert(steps[i].first == plan[i].first && exact == (i + 1 < steps.size() || result == 1));
    }
    const std::string& shown = virtual_console::output();
    assert(steps.empty() || shown.find("  device:9\r\n") != std::string::npos);
    const std::string label = "Checking fpga version ..................  ";
    const std::size_t model = shown.find(label);
    assert(model == std::string::npos || shown.find(' ', model + label.size()) <= model + label.size() + 7);
    const std::string& last = vp::reads(port).back().bytes;
    const bool bootText = last.size() >= 2 && last[0] == '[' && last.compare(last.size() - 2, 2, ">>") == 0;
    assert(gUnitReturnSeen == (result == 1 && bootText ? 1 : 0));
    // After the far end's last byte and the tool's last write: at most two of the longest
    // gathering time-outs (10 s), then the reboot wait (138 s) and its two reads (1 s and 11 s).
    const int64_t quietFrom = std::max(gUnit.lastArrivalMs, writes.back().endMs);
    assert(vp::nowMs() <= quietFrom + 2 * 10000 + 138000 + 1000 + 11000);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool ready = WorkingBuffers_Setup() != 0;
    assert(ready);
    if (size < 1) {
        return 0;
    }
    freshLine(data + 1, size - 1);
    session(data[0]);
    ComPortAPI_CloseCOM();
    return 0;
}
