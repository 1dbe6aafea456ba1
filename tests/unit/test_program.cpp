// The update tool as a technician runs it -- detection or the two prompts, the update sequence, the
// verdict and the exit status -- against simulated units on the virtual clock, one row per
// situation: what the console shows, what the unit hears at which rate, and how long the end takes.
#include "VirtualLine.h"

#include "ConsoleText.h"

#include <optional>
#include <string>
#include <vector>

int VelmoraFwUpgrade_main(); // the program's entry, built into the tests under this name

namespace {

using namespace console_text;
using Heard = std::vector<std::pair<std::string, uint32_t>>;
using velmora_sim::UnitKind;

template <typename T> std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// Lines heard at one rate.
Heard at(uint32_t baud, const std::vector<std::string>& lines) {
    Heard heard;
    for (const std::string& line : lines) {
        heard.emplace_back(line, baud);
    }
    return heard;
}

// The images the unit must receive, as srec_cat makes them of the embedded texts.
const std::string kMcuImage = expectedImage("M627184_MCU_61_V1_03.hex"),
                  kTxImage = expectedImage("M627184_TX_XC7A15_V1_03.mcs"),
                  kRxImage = expectedImage("M627184_RX_XC7A15_V1_03.mcs");
const std::string kHelp = "%%%help -c version\n\r", kVersion = "%%%fw -v\n\r", kIdentity = "%%%fw -p\n\r";
const Heard kTxHeard =
    at(9600, {kHelp, kVersion, kIdentity, announce('l', kTxImage)}) + at(115200, {announce('h', kMcuImage)});

// The first `count` lines a TX unit at 9600 hears in a whole update.
Heard tx(std::size_t count) {
    return Heard(kTxHeard.begin(), kTxHeard.begin() + count);
}

// What is on the line: a unit on the row's port at 9600 unless told otherwise, and what else the
// row sets (other ports, faults of the port); UNIT8 a unit with device code 8, one the tool does not
// update; nothing, no port at all.
using Line = void (*)(int port);
#define UNIT(...)                                                                                            \
    [](int port) {                                                                                           \
        UnitOptions u;                                                                                       \
        __VA_ARGS__;                                                                                         \
        vp::attachUnit(port, u);                                                                             \
    }
#define UNIT8(...) UNIT(u.deviceCode = 8; __VA_ARGS__)
void nothing(int) {}

using Console = std::vector<std::string>; // pieces in this order, the first at the start, the last at the end
const std::string kToLogic = found(3, 9600) + versions("QV7TX", "9") + kProduct + kTxOk + kLogic;
const std::string kStart = kToLogic + "OK\r\n";
const std::string kMismatch = "\r\n\r\nError: Expected response did  not matched !\r\nFAILED\r\n" + kFailed;
const std::string kUnsupported = versions("QV7TX", "8") + kUnknown, kFound8 = found(3, 9600) + kUnsupported;
const std::string kNotSent = "\r\nError occurred when sending data !\r\n",
                  kNotReady = "FAILED [Unit not ready]\r\n";
const Console kRebooted = {kStart, "99%\b\b\b" + rebootWait() + kKey},
              kBusy = {kStart, "99%\b\b\b100%OK\r\n" + kMcu + kNotReady + kFailed},
              kRejected = {kStart, "100%\r\nExpected : SUCCESS  received : ERROR: CHECKSUM" + kMismatch},
              kSuccessLineEnd = {kStart, "\r\nExpected : SUCCESS  received : SUCCESS\r\n" + kMismatch},
              kHeld = {kStart + kSendLogic + "1%\b\b0%\b\b1%", "%FAILED\r\n" + kFailed},
              kTakesNothing = {kBanner + kNotSent, kFound8.substr(kBanner.size())},
              kCom32 = {manual(32, 1200) + kNotSent + kUnknown}, kManual3 = {manual(3, 9600) + kUnsupported},
              kCom40 = {manual(40, 57600) + kUnsupported};
const std::string kIdentityFailed =
    found(3, 9600) + versions("QV7TX", "9") + kProduct + "FAILED\r\n" + kFailed;
const std::string kBeyondAnInt = "1.0.2\r\nQV7TX-EXTENDED-MODEL 1.3 4294967305\r\n>>";
const std::string kHeldAtLimits = found(3, 9600) + versions("QV7TX-E", "2147483647") + kUnknown;
const std::string kRateRefused =
    kBanner + "ERROR: COM3 configuration failed !" + kFound8.substr(kBanner.size());
// The prompts up to the setting of the rate 12345, without the OK that would end that line.
const std::string kTyped12345 = manual(3, 12345).substr(0, manual(3, 12345).size() - 4) + kKey;
const Heard kTwoAsks = {kTxHeard[0], kTxHeard[1], kTxHeard[2], kTxHeard[2]},
            kFound = at(9600, {kHelp, kVersion}), kHelpTwice = at(9600, {kHelp, kHelp, kVersion}),
            kAsked40 = at(57600, {kVersion});
const std::vector<velmora_sim::TraceEntry> kNoTrace; // what a port without a unit heard
const Heard kRx = at(57600, {kHelp, kVersion, kIdentity, kIdentity, announce('l', kRxImage)}) +
                  at(115200, {announce('h', kMcuImage)});

// A unit at 1200 with device code 8 on COM3 and, before it, a faster one on COM5.
void fasterOnCom5(int) {
    UnitOptions u;
    u.baudRate = 115200;
    vp::attachUnit(5, u);
    u.baudRate = 1200;
    u.deviceCode = 8;
    vp::attachUnit(3, u);
}
// An empty port that refuses the rate 12345.
void refuses12345(int port) {
    vp::addEmptyPort(port);
    vp::refuseBaud(port, 12345);
}

// The line, the exit status, the console, what the unit on `port` heard at which rates, and the
// time from the end of the tool's last write there to the end (-1: not checked); optionally when the
// write `write->first` there began, the keys typed, and the rates applied to the port after the six
// of the walk (on the ports it goes over, COM1 to COM32).
struct Row {
    Line line;
    int status;
    Console console;
    Heard heard;
    int64_t tailMs;
    std::optional<std::pair<std::size_t, int64_t>> write = {};
    std::string typed = "";
    std::vector<uint32_t> rates = {};
    int port = 3;
};

TEST_F(VirtualLine, TheProgramRunsAsTheTechnicianSeesIt) {
    const std::pair<std::size_t, int64_t> fifthWrite = {4, 2 * (2 + 500) + (21 + 500) + (21 + 500 + 500)},
                                          firstWrite = {0, 12 * 1000 + 2 * (2 + 21 + 4 + 42 + 84 + 167)};
    const std::vector<uint32_t> walk = {115200, 9600, 57600, 4800, 2400, 1200};
    const Row rows[] = {
        // Updates found by detection: TX at 9600 and RX at 57600 (the identity asked twice), whole.
        {UNIT(), 0, wholeUpdate(3, 9600, false), tx(5), 2000 + 138000 + 1000 + 11000},
        {UNIT(u.kind = UnitKind::RX; u.baudRate = 57600), 0, wholeUpdate(3, 57600, true), kRx, 152000},
        // Both images accepted but no boot text, or one not ending in ">>" or not starting with "[":
        // updated, but no success line.
        {UNIT(u.noBootText = true), 3, kRebooted, tx(5), 152000},
        {UNIT(u.replyText[ReplyKind::Boot] = "[ boot ]\r\n>"), 3, kRebooted, tx(5), 152000},
        {UNIT(u.replyText[ReplyKind::Boot] = " [ boot ]\r\n>>"), 3, kRebooted, tx(5), 152000},
        {UNIT8(), 1, {kFound8}, tx(2), 1000},
        // The version read is one read of 1 s: fields later than it, or its prompt later than it.
        {UNIT(u.versionReplyDelayMs = 1500), 1, {found(3, 9600) + kUnknown}, tx(2), 1000},
        {UNIT(u.versionPromptDelayMs = 1500), 1, {kIdentityFailed}, kTwoAsks, 2000},
        // Numbers beyond an int are held at its limits; a long model word is cut to seven characters.
        {UNIT(u.replyText[ReplyKind::Version] = kBeyondAnInt), 1, {kHeldAtLimits}, tx(2), 1000},
        // "Ready" with a line end, the microcontroller busy, the checksum rejected, "SUCCESS" with a
        // line end after the microcontroller image.
        {UNIT(u.readyWithLineEnd = true), 1, {kToLogic + kNotReady + kFailed}, tx(4), 20000},
        {UNIT(u.replyText[ReplyKind::ReadyMcu] = "Busy"), 1, kBusy, tx(5), 10000},
        {UNIT(u.rejectChecksum = true), 1, kRejected, tx(4), 2000},
        {UNIT(u.replyText[ReplyKind::SuccessMcu] = "SUCCESS\r\n"), 1, kSuccessLineEnd, tx(5), 2000},
        // CTS stuck low: the first write of the update fails; CTS low for good inside the logic image.
        {UNIT(u.ctsStuckLow = true), 1, {found(3, 9600) + kNotSent + kUnknown}, tx(1), 1000},
        {UNIT(u.ctsLowAfterBytes = 200000), 1, kHeld, tx(4), 0},

        // Detection walks COM1 to COM32 at six rates: no ports at all, nothing printed, no time spent.
        {nothing, -1, {notOpened("0")}, {}, -1},
        // Only the second help query answered. Each try costs its write and half a second of silence,
        // an answered one a second read: two tries at 115200, one ignored and one answered at 9600,
        // then the version query.
        {UNIT8(u.ignoreHelpQueries = 1), 1, {kFound8}, kHelpTwice, 1000, fifthWrite},
        // The lowest port wins; a help reply without its prompt is never taken; a rate the port refuses
        // is reported on the detecting line; a driver that refuses a reopen for 300 ms after each close
        // is waited for; each of the twelve writes to a port that takes nothing (COM2, before the
        // unit) fails a second after its line time.
        {fasterOnCom5, 1, {found(3, 1200) + kUnsupported}, at(1200, {kHelp, kVersion}), 1000},
        {UNIT(u.helpWithoutPrompt = true), -1, {notOpened("0")}, at(9600, {kHelp, kHelp}), -1},
        {UNIT8(vp::refuseBaud(3, 115200)), 1, {kRateRefused}, kFound, 1000},
        {UNIT8(vp::refuseReopenFor(3, 300)), 1, {kFound8}, kFound, 1000},
        {UNIT8(vp::addEmptyPort(2); vp::setTakesNothing(2)), 1, kTakesNothing, kFound, 1000, firstWrite},

        // When detection finds no unit the technician types the port and the rate: every rate applied
        // to the port is checked (the walk's, the manual open, the rate typed unless it is the stored
        // one, CTS flow control switched on for the update). Numbers beyond an int are held at its
        // limits; words leave what the walk left (an empty COM32 at 1200); a rate the port refuses
        // (12345) ends the run; a unit deaf to the walk's twelve help queries is reached through the
        // prompts; a port beyond the walk opens at the initial rate.
        {nothing, -1, {notOpened("5")}, {}, -1, {}, "5\n9600\n"},
        {nothing, -1, {notOpened("-2147483648")}, {}, -1, {}, "-4294967296\n"},
        {vp::addEmptyPort, 1, kCom32, {}, 1000, {}, "x\ny\n", {1200, 1200}, 32},
        {refuses12345, -1, {kTyped12345}, {}, -1, {}, "3\n12345\n", {1200}},
        {UNIT8(u.ignoreHelpQueries = 12), 1, kManual3, kHelpTwice, 1000, {}, "3\n9600\n", {1200, 9600, 9600}},
        {UNIT8(u.baudRate = 57600), 1, kCom40, kAsked40, 1000, {}, "40\n57600\n", {9600, 57600, 57600}, 40},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("row " + std::to_string(&row - rows));
        restart();
        WorkingBuffers_Release(); // the entry sets the buffers up itself
        row.line(row.port);
        virtual_console::setInput(row.typed);
        EXPECT_EQ(VelmoraFwUpgrade_main(), row.status);
        expectPieces(console(), row.console);
        EXPECT_EQ(virtual_console::keyWaits(), 1);
        EXPECT_FALSE(vp::isOpen(row.port)) << "the port is closed at the end";
        Heard heard;
        for (const auto& entry : vp::unit(row.port) ? vp::unit(row.port)->trace() : kNoTrace) {
            if (entry.direction == 'R') {
                heard.emplace_back(entry.text, entry.baud);
            }
        }
        EXPECT_EQ(heard, row.heard);
        if (row.tailMs >= 0) {
            ASSERT_FALSE(vp::writes(row.port).empty()) << "no write to time the end from";
            EXPECT_EQ(vp::nowMs() - vp::writes(row.port).back().endMs, row.tailMs);
        }
        if (!row.rates.empty()) {
            EXPECT_EQ(vp::appliedRates(row.port),
                      (row.port <= 32 ? walk : std::vector<uint32_t>{}) + row.rates);
        }
        if (row.write) {
            EXPECT_EQ(vp::writes(row.port).at(row.write->first).startMs, row.write->second);
        }
        if (row.status == 0 || row.status == 3) { // the images received byte for byte
            const auto& images = vp::unit(3)->images();
            ASSERT_EQ(images.size(), 2u);
            EXPECT_TRUE(images[0].bytes == (row.heard == kRx ? kRxImage : kTxImage));
            EXPECT_TRUE(images[1].bytes == kMcuImage);
        }
    }
}

} // namespace
