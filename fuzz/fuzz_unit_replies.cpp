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
// Checked, besides the sanitizers: detection stops at the first exact answer, on that port at that
// rate; the tool goes on past a step exactly when the step got its exact reply, so nothing reports
// success without them; the model word shown never exceeds 7 characters; the update ends within
// its bounded waits.
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
#include <string>
#include <vector>

namespace {

namespace vp = virtual_platform;

// The line settings the program starts with.
const DCB kInitialDcb = g_dcb;
const COMMTIMEOUTS kInitialTimeouts = g_cto;
const std::string kTx = VALIDATE_TX_PRODUCT_ID_STRING;
const std::string kRx = VALIDATE_RX_PRODUCT_ID_STRING;
const std::string kHelp = "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";

bool isCommandLine(const std::string& bytes) {
    return bytes.size() >= 5 && bytes.compare(0, 3, "%%%") == 0 &&
           bytes.compare(bytes.size() - 2, 2, "\n\r") == 0;
}

// The far end: every command line, and every image once its announced bytes are in, takes the
// next reply of the input, read as it is called for, its first piece timed from the write's end.
struct FarEnd {
    std::string input;
    std::size_t at;      // where the next reply starts
    long long imageLeft; // bytes still to come of an announced image
    int byte() { return at < input.size() ? static_cast<uint8_t>(input[at++]) : 0; }

    std::vector<vp::ScriptedChunk> onWrite(const vp::WriteRecord& w) {
        bool answer = isCommandLine(w.bytes);
        if (answer && std::sscanf(w.bytes.c_str(), "%%%%%%fw -%*[lh] %*u %lld", &imageLeft) != 1) {
            imageLeft = 0;
        } else if (!answer && imageLeft > 0) {
            imageLeft -= static_cast<long long>(w.bytes.size());
            answer = imageLeft <= 0;
        }
        if (!answer || at >= input.size()) {
            return {};
        }
        std::vector<vp::ScriptedChunk> reply(byte() % 5);
        int64_t t = w.endMs;
        for (vp::ScriptedChunk& piece : reply) {
            const int low = byte();
            piece.timeMs = t += low | byte() << 8;
            const int exponent = byte();
            const std::size_t length = byte();
            const std::string unit = input.substr(at, length);
            at += unit.size();
            const std::size_t repeat = exponent >= 240 ? std::size_t{1} << (exponent - 234) : 1;
            for (std::size_t k = 0; k < repeat && piece.bytes.size() + unit.size() <= 2200000; ++k) {
                piece.bytes += unit;
            }
        }
        return reply;
    }
} gFarEnd;

// The reply the tool gathered after a write to the port that ended at `from`: the reads after it
// up to the first that brought nothing.
std::string gathered(int port, int64_t from) {
    std::string reply;
    for (const vp::ReadRecord& r : vp::reads(port)) {
        if (r.endMs > from && r.bytes.empty()) {
            break;
        }
        reply += r.endMs > from ? r.bytes : "";
    }
    return reply;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool ready = WorkingBuffers_Setup() != 0;
    assert(ready);
    vp::reset();
    g_dcb = kInitialDcb;
    g_cto = kInitialTimeouts;
    gFarEnd = FarEnd{std::string(reinterpret_cast<const char*>(data), size), 1, 0};
    for (int port = 1; port <= 4; ++port) {
        if (size > 0 && (data[0] >> (port - 1) & 1) != 0) {
            vp::attachScriptedFarEnd(port, [](const vp::WriteRecord& w) { return gFarEnd.onWrite(w); });
        }
    }

    // Detection over COM1 to COM4, every try in time order (the ports are tried in turn): none
    // after the first exact answer, which leaves that port open at that rate.
    ComPortAPI_SetHardwareFlowControl(0);
    const BOOL found = detectComPortAndBaudrate();
    int port = 0;
    for (int p = 1; p <= 4; ++p) {
        for (std::size_t i = 0; i < vp::writes(p).size(); ++i) {
            assert(port == 0 && vp::writes(p)[i].bytes == "%%%help -c version\n\r");
            port = gathered(p, vp::writes(p)[i].endMs) == kHelp ? p : 0;
            assert(port == 0 || gBaudRate == static_cast<int32_t>(vp::writes(p)[i].baud));
        }
        assert(vp::isOpen(p) == (p == port));
    }
    assert(found == (port != 0 ? 1 : 0) && gComPortNumber == port);

    if (found != 0) {
        std::free(gHexFirmware); // the update cuts its working copy of the microcontroller text apart
        gHexFirmware = WorkingBuffers_CopyImageText(IMAGE_INDEX_MCU);
        ComPortAPI_SetHardwareFlowControl(1);
        const std::size_t first = vp::writes(port).size();
        const BOOL result = updateFirmware();
        const auto& writes = vp::writes(port);
        // Each step after the version query, a command line or an image (its last write), with the
        // reply that decides it, against the plan: the identity picks TX, else, asked again, it must
        // be RX's; then each image is announced ("Ready") and sent ("SUCCESS"), the logic's first.
        // The tool goes on past a step exactly when it got the plan's reply (past the version query:
        // when it named the programmable logic the tool knows; the first identity question always
        // leads on), and succeeds only past them all.
        const std::string& shown = virtual_console::output();
        const std::vector<std::string> plan = {"fw -p" + kTx,  "fw -p" + kRx, "fw -lReady",
                                               "imageSUCCESS", "fw -hReady",  "imageSUCCESS"};
        bool wentOn = shown.find("  device:9\r\n") != std::string::npos;
        std::size_t next = 0;
        for (std::size_t i = first + 1; i < writes.size(); ++i) {
            const bool line = isCommandLine(writes[i].bytes);
            if (line || i + 1 == writes.size() || isCommandLine(writes[i + 1].bytes)) {
                const std::string step =
                    (line ? writes[i].bytes.substr(3, 5) : "image") + gathered(port, writes[i].endMs);
                assert(wentOn && next < plan.size() && step.compare(0, 5, plan[next], 0, 5) == 0);
                wentOn = next == 0 || step == plan[next];
                next += next == 0 && step == plan[0] ? 2 : 1; // no RX question after TX's identity
            }
        }
        assert(wentOn == (result == 1) && (result == 0 || next == plan.size()));
        // The model word, after the 42 characters of its label, is shown cut to seven characters.
        const std::size_t model = shown.find("Checking fpga version ..................  ");
        assert(model == std::string::npos || shown.find(' ', model + 42) <= model + 42 + 7);
        // After the tool's last write and the last byte it read: at most one gathering's time-out
        // (10 s), then the reboot wait (138 s) and its two reads (1 s and 11 s).
        int64_t quietFrom = writes.back().endMs;
        for (const vp::ReadRecord& r : vp::reads(port)) {
            quietFrom = r.bytes.empty() ? quietFrom : std::max(quietFrom, r.endMs);
        }
        assert(vp::nowMs() <= quietFrom + 10000 + 138000 + 1000 + 11000);
    }
    ComPortAPI_CloseCOM();
    return 0;
}
