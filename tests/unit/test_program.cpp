// The update tool as a technician runs it -- detection or the two prompts, the update sequence, the
// verdict and the exit status -- against simulated units on the virtual clock, one row per
// situation: what the console shows, what the unit hears at which rate, and how long the end takes.
#include "VirtualLine.h"

#include "ConsoleText.h"

#include <string>
#include <vector>

int VelmoraFwUpgrade_main(); // the program's entry, built into the tests under this name

namespace {

using namespace console_text;
using Heard = std::vector<std::pair<std::string, uint32_t>>;
using velmora_sim::UnitKind;

// The images the unit must receive, as srec_cat makes them of the embedded texts.
const std::string kMcuImage = expectedImage("M627184_MCU_61_V1_03.hex"),
                  kTxImage = expectedImage("M627184_TX_XC7A15_V1_03.mcs"),
                  kRxImage = expectedImage("M627184_RX_XC7A15_V1_03.mcs");
const std::string kHelp = "%%%help -c version\n\r", kVersion = "%%%fw -v\n\r", kIdentity = "%%%fw -p\n\r";
const Heard kTxHeard = {{kHelp, 9600},
                        {kVersion, 9600},
                        {kIdentity, 9600},
                        {announce('l', kTxImage), 9600},
                        {announce('h', kMcuImage), 115200}};

// The first `count` lines a TX unit at 9600 hears in a whole update.
Heard tx(std::size_t count) {
    return Heard(kTxHeard.begin(), kTxHeard.begin() + count);
}
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

// What is on the line: a unit on port 3 at 9600 unless told otherwise, and what else the row sets.
using Line = void (*)();
#define UNIT(...)                                                                                            \
    [] {                                                                                                     \
        UnitOptions u;                                                                                       \
        __VA_ARGS__;                                                                                         \
        vp::attachUnit(3, u);                                                                                \
    }

using Console = std::vector<std::string>; // pieces in this order, the first at the start, the last at the end
const std::string kStart = found(3, 9600) + versions("QV7TX", "9") + kProduct + kTxOk + kLogic + "OK\r\n";
const std::string kMismatch = "\r\n\r\nError: Expected response did  not matched !\r\nFAILED\r\n" + kFailed;
const std::string kUnsupported = versions("QV7TX", "8") + kUnknown, kFound8 = found(3, 9600) + kUnsupported;
const std::string kNotSent = "\r\nError occurred when sending data !\r\n",
                  kNotReady = "FAILED [Unit not ready]\r\n";
const Console kRebooted = {kStart, "99%\b\b\b" + rebootWait() + kKey},
              kBusy = {kStart, "99%\b\b\b100%OK\r\n" + kMcu + kNotReady + kFailed},
              kRejected = {kStart, "100%\r\nExpected : SUCCESS  received : ERROR: CHECKSUM" + kMismatch},
              kSuccessLineEnd = {kStart, "\r\nExpected : SUCCESS  received : SUCCESS\r\n" + kMismatch},
              kHeld = {kStart + kSendLogic + "1%\b\b0%\b\b1%", "%FAILED\r\n" + kFailed},
              kTakesNothing = {kBanner + kNotSent, kFound8.substr(kBanner.size())};
const std::string kIdentityFailed =
    found(3, 9600) + versions("QV7TX", "9") + kProduct + "FAILED\r\n" + kFailed;
const std::string kHeldAtLimits = found(3, 9600) + versions("QV7TX-E", "2147483647") + kUnknown;
const std::string kRateRefused =
    kBanner + "ERROR: COM3 configuration failed !" + kFound8.substr(kBanner.size());
const std::string kTyped12345 = kBanner + kPrompts + "\r\nOpening COM3....................OK\r\n\n\r\n\r" +
                                "Enter the BAUD RATE       : \r\nSetting baud rate at 12345.........." + kKey;
const Heard kTwoAsks = {kTxHeard[0], kTxHeard[1], kTxHeard[2], kTxHeard[2]},
            kFound = at(9600, {kHelp, kVersion});
const Heard kRx = at(57600, {kHelp, kVersion, kIdentity, kIdentity, announce('l', kRxImage)}) +
                  at(115200, {announce('h', kMcuImage)});
// The rates applied to a port the walk went over: its six, then these.
std::vector<uint32_t> walkThen(const std::vector<uint32_t>& more) {
    return std::vector<uint32_t>{115200, 9600, 57600, 4800, 2400, 1200} + more;
}

// Lines with more on them: a unit at 9600 with device code 8 on COM3 and, before it, a faster one on
// COM5, a port that refuses 115200, a driver that refuses a reopen for 300 ms after each close, a port
// that takes nothing on COM2; an empty COM32; COM3 refusing the rate 12345; a unit beyond the walk.
void unitAt(int port, uint32_t baud, int deviceCode = 8) {
    UnitOptions u;
    u.baudRate = baud;
    u.deviceCode = deviceCode;
    vp::attachUnit(port, u);
}
void fasterOnCom5() {
    unitAt(5, 115200, 9);
    unitAt(3, 1200);
}
void refuses115200() {
    unitAt(3, 9600);
    vp::refuseBaud(3, 115200);
}
void slowToReopen() {
    unitAt(3, 9600);
    vp::refuseReopenFor(3, 300);
}
void takesNothingOnCom2() {
    vp::addEmptyPort(2);
    vp::setTakesNothing(2);
    unitAt(3, 9600);
}
void refuses12345() {
    vp::addEmptyPort(3);
    vp::refuseBaud(3, 12345);
}

// The line, the exit status, the console, what the unit on `port` heard at which rates, and the
// time from the end of the tool's last write there to the end; the keys typed; optionally the rates
// applied to the port and when the write `write.first` there began.
struct Row {
    Line line;
    int status;
    Console console;
    Heard heard;
    int64_t tailMs;
    std::string typed = "";
    int port = 3;
    std::vector<uint32_t> rates = {};
    std::pair<std::size_t, int64_t> write = {0, -1};
};

TEST_F(VirtualLine, TheProgramRunsAsTheTechnicianSeesIt) {
    const std::pair<std::size_t, int64_t> fifthWrite = {4, 2 * (2 + 500) + (21 + 500) + (21 + 500 + 500)},
                                          firstWrite = {0, 12 * 1000 + 2 * (2 + 21 + 4 + 42 + 84 + 167)};
    const Row rows[] = {
        // Updates found by detection: TX at 9600 and RX at 57600 (the identity asked twice), whole.
        {UNIT(), 0, wholeUpdate(3, 9600, false), tx(5), 2000 + 138000 + 1000 + 11000},
        {UNIT(u.kind = UnitKind::RX; u.baudRate = 57600), 0, wholeUpdate(3, 57600, true), kRx, 152000},
        // Both images accepted but no boot text, or one not ending in ">>" or not starting with "[":
        // updated, but no success line.
        {UNIT(u.noBootText = true), 3, kRebooted, tx(5), 152000},
        {UNIT(u.replyText[ReplyKind::Boot] = "[ boot ]\r\n>"), 3, kRebooted, tx(5), 152000},
        {UNIT(u.replyText[ReplyKind::Boot] = " [ boot ]\r\n>>"), 3, kRebooted, tx(5), 152000},
        {UNIT(u.deviceCode = 8), 1, {kFound8}, tx(2), 1000},
        // The version read is one read of 1 s: fields later than it, or its prompt later than it.
        {UNIT(u.versionReplyDelayMs = 1500), 1, {found(3, 9600) + kUnknown}, tx(2), 1000},
        {UNIT(u.versionPromptDelayMs = 1500), 1, {kIdentityFailed}, kTwoAsks, 2000},
        // Numbers beyond an int are held at its limits; a long model word is cut to seven characters.
        {UNIT(u.replyText[ReplyKind::Version] = "1.0.2\r\nQV7TX-EXTENDED-MODEL 1.3 4294967305\r\n>>"),
         1,
         {kHeldAtLimits},
         tx(2),
         1000},
        // "Ready" with a line end, the microcontroller busy, the checksum rejected, "SUCCESS" with a
        // line end after the microcontroller image.
        {UNIT(u.readyWithLineEnd = true),
         1,
         {kStart.substr(0, kStart.size() - 4) + kNotReady + kFailed},
         tx(4),
         20000},
        {UNIT(u.replyText[ReplyKind::ReadyMcu] = "Busy"), 1, kBusy, tx(5), 10000},
        {UNIT(u.rejectChecksum = true), 1, kRejected, tx(4), 2000},
        {UNIT(u.replyText[ReplyKind::SuccessMcu] = "SUCCESS\r\n"), 1, kSuccessLineEnd, tx(5), 2000},
        // CTS stuck low: the first write of the update fails; CTS low for good inside the logic image.
        {UNIT(u.ctsStuckLow = true), 1, {found(3, 9600) + kNotSent + kUnknown}, tx(1), 1000},
        {UNIT(u.ctsLowAfterBytes = 200000), 1, kHeld, tx(4), 0},

        // Detection walks COM1 to COM32 at six rates: no ports at all, nothing printed, no time spent.
        {[] {}, -1, {notOpened("0")}, {}, -1},
        // Only the second help query answered. Each try costs its write and half a second of silence,
        // an answered one a second read: two tries at 115200, one ignored and one answered at 9600,
        // then the version query.
        {UNIT(u.ignoreHelpQueries = 1; u.deviceCode = 8),
         1,
         {kFound8},
         at(9600, {kHelp, kHelp, kVersion}),
         1000,
         "",
         3,
         {},
         fifthWrite},
        // The lowest port wins; a help reply without its prompt is never taken; a rate the port refuses
        // is reported on the detecting line; a driver slow to reopen is waited for; each of the twelve
        // writes to a port that takes nothing fails a second after its line time.
        {fasterOnCom5, 1, {found(3, 1200) + kUnsupported}, at(1200, {kHelp, kVersion}), 1000},
        {UNIT(u.helpWithoutPrompt = true), -1, {notOpened("0")}, at(9600, {kHelp, kHelp}), -1},
        {refuses115200, 1, {kRateRefused}, kFound, 1000},
        {slowToReopen, 1, {kFound8}, kFound, 1000},
        {takesNothingOnCom2, 1, kTakesNothing, kFound, 1000, "", 3, {}, firstWrite},

        // When detection finds no unit the technician types the port and the rate: every rate applied
        // to the port is checked (the walk's, the manual open, the rate typed unless it is the stored
        // one, CTS flow control switched on for the update). Numbers beyond an int are held at its
        // limits; words leave what the walk left (COM32 at 1200); a port beyond the walk opens at the
        // initial rate.
        {[] {}, -1, {notOpened("5")}, {}, -1, "5\n9600\n"},
        {[] {}, -1, {notOpened("-2147483648")}, {}, -1, "-4294967296\n"},
        {[] { vp::addEmptyPort(32); },
         1,
         {manual(32, 1200) + kNotSent + kUnknown},
         {},
         1000,
         "x\ny\n",
         32,
         walkThen({1200, 1200})},
        {refuses12345, -1, {kTyped12345}, {}, -1, "3\n12345\n", 3, walkThen({1200})},
        {UNIT(u.ignoreHelpQueries = 12; u.deviceCode = 8),
         1,
         {manual(3, 9600) + kUnsupported},
         at(9600, {kHelp, kHelp, kVersion}),
         1000,
         "3\n9600\n",
         3,
         walkThen({1200, 9600, 9600})},
        {[] { unitAt(40, 57600); },
         1,
         {manual(40, 57600) + kUnsupported},
         at(57600, {kVersion}),
         1000,
         "40\n57600\n",
         40,
         {9600, 57600, 57600}},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE("row " + std::to_string(i) + ": " + row.typed);
        restart();
        WorkingBuffers_Release(); // the entry sets the buffers up itself
        row.line();
        virtual_console::setInput(row.typed);
        EXPECT_EQ(VelmoraFwUpgrade_main(), row.status);
        expectPieces(console(), row.console);
        EXPECT_EQ(virtual_console::keyWaits(), 1);
        EXPECT_FALSE(vp::isOpen(row.port)) << "the port is closed at the end";
        Heard heard;
        for (const auto& entry :
             vp::unit(row.port) ? vp::unit(row.port)->trace() : std::vector<velmora_sim::TraceEntry>{}) {
            if (entry.direction == 'R') {
                heard.emplace_back(entry.text, entry.baud);
            }
        }
        EXPECT_EQ(heard, row.heard);
        if (row.tailMs >= 0) {
            EXPECT_EQ(vp::nowMs() - vp::writes(row.port).back().endMs, row.tailMs);
        }
        if (!row.rates.empty()) {
            EXPECT_EQ(vp::appliedRates(row.port), row.rates);
        }
        if (row.write.second >= 0) {
            EXPECT_EQ(vp::writes(row.port).at(row.write.first).startMs, row.write.second);
        }
        if (row.status == 0 || row.status == 3) { // the images received byte for byte
            const auto& images = vp::unit(3)->images();
            ASSERT_EQ(images.size(), 2u);
            EXPECT_TRUE(images[0].bytes ==
                        (vp::unit(3)->options().kind == UnitKind::RX ? kRxImage : kTxImage));
            EXPECT_TRUE(images[1].bytes == kMcuImage);
        }
    }
}

} // namespace
