// The update tool as a technician runs it -- detection or the two prompts, the update sequence,
// the verdict and the exit status -- against simulated units on the virtual clock, one row per
// situation: what the console shows, what the unit hears at which rate, and how long the end takes.
#include "VirtualLine.h"

#include "ConsoleText.h"
#include "ReferenceHex.h"
#include "firmware/BinImage.h"

#include <functional>
#include <string>
#include <vector>

int VelmoraFwUpgrade_main(); // the program's entry, built into the tests under this name

namespace {

using Heard = std::vector<std::pair<std::string, uint32_t>>;

// The images the unit must receive, as an independent reader makes them.
const std::string kImages[] = {reference_hex::imageSent(AUTOGEN_FILES[0].fileData),
                               reference_hex::imageSent(AUTOGEN_FILES[1].fileData),
                               reference_hex::imageSent(AUTOGEN_FILES[2].fileData)};
std::string announce(char kind, int index) {
    return console_text::announce(kind, kImages[index]);
}
using namespace console_text;

const std::string kMismatch = "\r\n\r\nError: Expected response did  not matched !\r\nFAILED\r\n" + kFailed;
const std::string kHelp = "%%%help -c version\n\r", kVersion = "%%%fw -v\n\r", kIdentity = "%%%fw -p\n\r";
const std::string kUnsupported = versions("QV7TX", "8") + kUnknown;

// A unit on `port`: TX at 9600 unless `change` says otherwise.
std::function<void()> unit(
    int port, std::function<void(UnitOptions&)> change = [](UnitOptions&) {}) {
    return [=] {
        UnitOptions options;
        change(options);
        vp::attachUnit(port, options);
    };
}
#define WITH(...) [](UnitOptions& u) { __VA_ARGS__; }

// The ports and what is attached, the keys typed, the exit status, the console pieces (in this
// order, the first at the start, the last at the end), the unit's port with the lines it heard
// at the rates it heard them, and the time from the end of the tool's last write there to the end.
struct Row {
    std::string name;
    std::function<void()> line;
    std::string typed;
    int status;
    std::vector<std::string> console;
    int port;
    Heard heard;
    int64_t tailMs;
};

class Program : public VirtualLine {
  protected:
    void SetUp() override {
        VirtualLine::SetUp();
        WorkingBuffers_Release(); // the entry sets the buffers up itself
    }
    void run(const Row& row) {
        SCOPED_TRACE(row.name);
        restart();
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
    }
};

TEST_F(Program, UpdatesFoundByDetection) {
    const Heard tx = {{kHelp, 9600},
                      {kVersion, 9600},
                      {kIdentity, 9600},
                      {announce('l', 1), 9600},
                      {announce('h', 0), 115200}};
    const Heard toVersion(tx.begin(), tx.begin() + 2), twoAsks = {tx[0], tx[1], tx[2], tx[2]},
                                                       toLogic(tx.begin(), tx.begin() + 4);
    const std::string start = found(3, 9600) + versions("QV7TX", "9") + kProduct + kTxOk + kLogic + "OK\r\n";
    const std::string rebooted = "99%\b\b\b" + rebootWait() + kKey, stopped = "%FAILED\r\n" + kFailed;
    const Row rows[] = {
        {"TX at 9600: the whole update", unit(3), "", 0, wholeUpdate(3, 9600, false), 3, tx,
         2000 + 138000 + 1000 + 11000},
        {"RX at 57600: the identity asked twice",
         unit(3, WITH(u.kind = velmora_sim::UnitKind::RX; u.baudRate = 57600)),
         "",
         0,
         wholeUpdate(3, 57600, true),
         3,
         {{kHelp, 57600},
          {kVersion, 57600},
          {kIdentity, 57600},
          {kIdentity, 57600},
          {announce('l', 2), 57600},
          {announce('h', 0), 115200}},
         152000},
        {"no boot text: updated, but no success line",
         unit(3, WITH(u.noBootText = true)),
         "",
         3,
         {start, rebooted},
         3,
         tx,
         152000},
        {"boot text ending in one >",
         unit(3, WITH(u.replyText[ReplyKind::Boot] = "[ boot ]\r\n>")),
         "",
         3,
         {start, rebooted},
         3,
         tx,
         152000},
        {"boot text not starting with [",
         unit(3, WITH(u.replyText[ReplyKind::Boot] = " [ boot ]\r\n>>")),
         "",
         3,
         {start, rebooted},
         3,
         tx,
         152000},
        {"device code 8",
         unit(3, WITH(u.deviceCode = 8)),
         "",
         1,
         {found(3, 9600) + kUnsupported},
         3,
         toVersion,
         1000},
        {"version fields later than the read",
         unit(3, WITH(u.versionReplyDelayMs = 1500)),
         "",
         1,
         {found(3, 9600) + kUnknown},
         3,
         toVersion,
         1000},
        {"version prompt later than the read",
         unit(3, WITH(u.versionPromptDelayMs = 1500)),
         "",
         1,
         {found(3, 9600) + versions("QV7TX", "9") + kProduct + "FAILED\r\n" + kFailed},
         3,
         twoAsks,
         2000},
        {"identity without its final >>",
         unit(3, WITH(u.identityWithoutPrompt = true)),
         "",
         1,
         {found(3, 9600) + versions("QV7TX", "9") + kProduct + "FAILED\r\n" + kFailed},
         3,
         twoAsks,
         2000},
        {"numbers beyond an int, a long model word",
         unit(3,
              WITH(u.replyText[ReplyKind::Version] = "1.0.2\r\nQV7TX-EXTENDED-MODEL 1.3 4294967305\r\n>>")),
         "",
         1,
         {found(3, 9600) + versions("QV7TX-E", "2147483647") + kUnknown},
         3,
         toVersion,
         1000},
        {"Ready with a line end",
         unit(3, WITH(u.readyWithLineEnd = true)),
         "",
         1,
         {start.substr(0, start.size() - 4) + "FAILED [Unit not ready]\r\n" + kFailed},
         3,
         toLogic,
         20000},
        {"microcontroller not ready",
         unit(3, WITH(u.replyText[ReplyKind::ReadyMcu] = "Busy")),
         "",
         1,
         {start, "99%\b\b\b100%OK\r\n" + kMcu + "FAILED [Unit not ready]\r\n" + kFailed},
         3,
         tx,
         10000},
        {"checksum rejected",
         unit(3, WITH(u.rejectChecksum = true)),
         "",
         1,
         {start, "100%\r\nExpected : SUCCESS  received : ERROR: CHECKSUM" + kMismatch},
         3,
         toLogic,
         2000},
        {"SUCCESS with a line end after the microcontroller image",
         unit(3, WITH(u.replyText[ReplyKind::SuccessMcu] = "SUCCESS\r\n")),
         "",
         1,
         {start, "\r\nExpected : SUCCESS  received : SUCCESS\r\n" + kMismatch},
         3,
         tx,
         2000},
        {"CTS stuck low: the first write of the update fails",
         unit(3, WITH(u.ctsStuckLow = true)),
         "",
         1,
         {found(3, 9600) + "\r\nError occurred when sending data !\r\n" + kUnknown},
         3,
         {tx[0]},
         1000},
        {"CTS low for good inside the logic image",
         unit(3, WITH(u.ctsLowAfterBytes = 200000)),
         "",
         1,
         {start + kSendLogic + "1%\b\b0%\b\b1%", stopped},
         3,
         toLogic,
         0},
        {"unit gone inside the logic image",
         unit(3, WITH(u.disconnectAfterBytes = 200000)),
         "",
         1,
         {start + kSendLogic + "1%\b\b0%\b\b1%", stopped},
         3,
         toLogic,
         0},
    };
    for (const Row& row : rows) {
        run(row);
        if (row.status == 0 || row.status == 3) { // the images received byte for byte
            const auto& images = vp::unit(3)->images();
            ASSERT_EQ(images.size(), 2u);
            EXPECT_EQ(images[0].bytes,
                      kImages[vp::unit(3)->options().kind == velmora_sim::UnitKind::RX ? 2 : 1]);
            EXPECT_EQ(images[1].bytes, kImages[0]);
        }
    }
}

TEST_F(Program, DetectionWalksThePortsAndTheRates) {
    const Row rows[] = {
        {"no ports at all: nothing printed, no time spent", [] {}, "", -1, {notOpened("0")}, 3, {}, -1},
        {"only the second help query answered",
         unit(3, WITH(u.ignoreHelpQueries = 1; u.deviceCode = 8)),
         "",
         1,
         {found(3, 9600) + kUnsupported},
         3,
         {{kHelp, 9600}, {kHelp, 9600}, {kVersion, 9600}},
         1000},
        {"the lowest port wins over the first rate",
         [] {
             unit(5, WITH(u.baudRate = 115200))();
             unit(3, WITH(u.baudRate = 1200; u.deviceCode = 8))();
         },
         "",
         1,
         {found(3, 1200) + kUnsupported},
         3,
         {{kHelp, 1200}, {kVersion, 1200}},
         1000},
        {"a help reply without its prompt is never taken",
         unit(3, WITH(u.helpWithoutPrompt = true)),
         "",
         -1,
         {notOpened("0")},
         3,
         {{kHelp, 9600}, {kHelp, 9600}},
         -1},
        {"a rate the port refuses is reported on the detecting line",
         [] {
             unit(3, WITH(u.deviceCode = 8))();
             vp::refuseBaud(3, 115200);
         },
         "",
         1,
         {kBanner + "ERROR: COM3 configuration failed !" + found(3, 9600).substr(kBanner.size()) +
          kUnsupported},
         3,
         {{kHelp, 9600}, {kVersion, 9600}},
         1000},
        {"a driver that refuses a reopen for 300 ms after each close",
         [] {
             unit(3, WITH(u.deviceCode = 8))();
             vp::refuseReopenFor(3, 300);
         },
         "",
         1,
         {found(3, 9600) + kUnsupported},
         3,
         {{kHelp, 9600}, {kVersion, 9600}},
         1000},
        {"a port that takes nothing before the unit's: every write fails",
         [] {
             vp::addEmptyPort(2);
             vp::setTakesNothing(2);
             unit(3, WITH(u.deviceCode = 8))();
         },
         "",
         1,
         {kBanner + "\r\nError occurred when sending data !\r\n",
          found(3, 9600).substr(kBanner.size()) + kUnsupported},
         3,
         {{kHelp, 9600}, {kVersion, 9600}},
         1000},
    };
    for (const Row& row : rows) {
        run(row);
    }
    // Each of the twelve writes to the port that takes nothing fails a second after its line time
    // (20 bytes at each rate).
    run(rows[6]);
    EXPECT_EQ(vp::writes(3)[0].startMs, 12 * 1000 + 2 * (2 + 21 + 4 + 42 + 84 + 167));
    // Each try costs its write and half a second of silence, an answered one a second read:
    // two tries at 115200, one ignored and one answered at 9600, then the version query.
    run(rows[1]);
    EXPECT_EQ(vp::writes(3)[4].startMs, 2 * (2 + 500) + (21 + 500) + (21 + 500 + 500));
}

TEST_F(Program, PromptsWhenDetectionFindsNoUnit) {
    const auto silent = [](uint32_t baud) {
        return [=](UnitOptions& u) {
            u.ignoreHelpQueries = 12;
            u.baudRate = baud;
            u.deviceCode = 8;
        };
    };
    const Row rows[] = {
        {"a typed port that cannot be opened", [] {}, "5\n9600\n", -1, {notOpened("5")}, 3, {}, -1},
        {"numbers beyond an int are held at its limits",
         [] {},
         "-4294967296\n",
         -1,
         {notOpened("-2147483648")},
         3,
         {},
         -1},
        {"words leave what the walk left: COM32 at 1200",
         [] { vp::addEmptyPort(32); },
         "x\ny\n",
         1,
         {manual(32, 1200) + "\r\nError occurred when sending data !\r\n" + kUnknown},
         32,
         {},
         1000},
        {"a rate the port refuses",
         [] {
             vp::addEmptyPort(3);
             vp::refuseBaud(3, 12345);
         },
         "3\n12345\n",
         -1,
         {kBanner + kPrompts +
          "\r\nOpening COM3....................OK\r\n\n\r\n\rEnter the BAUD RATE       : "
          "\r\nSetting baud rate at 12345.........." +
          kKey},
         3,
         {},
         -1},
        {"opened at the walk's last rate, then the one typed",
         unit(3, silent(9600)),
         "3\n9600\n",
         1,
         {manual(3, 9600) + kUnsupported},
         3,
         {{kHelp, 9600}, {kHelp, 9600}, {kVersion, 9600}},
         1000},
        {"the rate typed is the one stored",
         unit(3, silent(1200)),
         "3\n1200\n",
         1,
         {manual(3, 1200) + kUnsupported},
         3,
         {{kHelp, 1200}, {kHelp, 1200}, {kVersion, 1200}},
         1000},
        {"a port beyond the walk opens at the initial rate",
         unit(40, silent(57600)),
         "40\n57600\n",
         1,
         {manual(40, 57600) + kUnsupported},
         40,
         {{kVersion, 57600}},
         1000},
    };
    // Every rate applied to the port: the walk, the manual open, the rate typed (unless it is the
    // stored one), CTS flow control switched on for the update.
    const auto walkThen = [](std::vector<uint32_t> rates) {
        rates.insert(rates.begin(), {115200, 9600, 57600, 4800, 2400, 1200});
        return rates;
    };
    const std::vector<uint32_t> rates[] = {{},
                                           {},
                                           walkThen({1200, 1200}),
                                           walkThen({1200}),
                                           walkThen({1200, 9600, 9600}),
                                           walkThen({1200, 1200}),
                                           {9600, 57600, 57600}};
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        run(rows[i]);
        EXPECT_EQ(vp::appliedRates(rows[i].port), rates[i]) << rows[i].name;
    }
}

} // namespace
