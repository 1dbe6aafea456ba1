// The simulated unit and the virtual line it sits on. The protocol tests take their timing and
// the unit's answers from here, so these check the rules those tests rely on.
#include "SerialTestFixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace velmora_sim;
namespace vp = virtual_platform;

void feed(UnitModel& unit, const std::string& bytes, int64_t timeMs, uint32_t baud) {
    unit.receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), timeMs, baud);
}

// Sends a framed command at the unit's own rate; returns everything it answers, all chunks joined.
std::string ask(UnitModel& unit, const std::string& command, int64_t timeMs) {
    feed(unit, "%%" + command + "\n\r", timeMs, unit.listeningBaud());
    std::string reply;
    for (const Chunk& chunk : unit.takeTransmitted(timeMs + 10000)) {
        reply += chunk.bytes;
    }
    return reply;
}

std::string checksumText(const std::string& bytes) {
    uint32_t sum = 0;
    for (unsigned char b : bytes) {
        sum -= b;
    }
    return std::to_string(sum);
}

TEST(Garble, SameRateIsTheIdentityAndOtherRatesAreNot) {
    const std::string line = "%%%help -c version\n\r";
    EXPECT_EQ(garble(line, 9600, 9600), line);
    const std::string slow = garble(line, 115200, 9600);   // about one frame per 12 bytes sent
    EXPECT_LE(slow.size(), line.size() / 12 + 1);
    const std::string fast = garble(line, 9600, 115200);   // several frames per byte, none right
    EXPECT_GT(fast.size(), line.size());
    EXPECT_EQ(fast.find("help"), std::string::npos);
}

TEST(UnitModelReplies, OnlyFramedLinesHeardAtItsRateAreCommands) {
    UnitModel unit(UnitOptions{});
    feed(unit, "%fw -v\n\r", 0, 9600);   // unframed: a command, but not one it knows
    EXPECT_EQ(unit.takeTransmitted(1000).at(0).bytes, "ERROR: Unknown command\r\n>>");
    feed(unit, "noise\n\r", 2000, 9600);
    feed(unit, "%%%fw -v\n\r", 3000, 115200);
    EXPECT_EQ(unit.nextTransmitTime(), kNever);
}

TEST(UnitModelUploads, LogicThenMicrocontrollerImageThenReboot) {
    UnitModel unit(UnitOptions{});
    const std::string logic(30000, '\x5A');
    EXPECT_EQ(ask(unit, "%fw -l " + checksumText(logic) + " 30000", 0), "Ready");
    EXPECT_EQ(unit.listeningBaud(), kUploadBaud);
    feed(unit, logic.substr(0, 10240), 11000, kUploadBaud);
    EXPECT_EQ(unit.nextTransmitTime(), kNever);   // waits for every byte announced
    feed(unit, logic.substr(10240), 12000, kUploadBaud);
    const std::vector<Chunk> success = unit.takeTransmitted(13000);
    EXPECT_EQ(success.at(0).bytes, "SUCCESS");
    EXPECT_EQ(success.at(0).baud, kUploadBaud);
    EXPECT_EQ(unit.listeningBaud(), kUploadBaud);   // the next announcement comes at 115200

    const std::string firmware = "\x01\x02\x03";
    EXPECT_EQ(ask(unit, "%fw -h " + checksumText(firmware) + " 3", 20000), "Ready");
    feed(unit, firmware, 30000, kUploadBaud);
    EXPECT_EQ(unit.takeTransmitted(30100).at(0).bytes, "SUCCESS");
    EXPECT_EQ(unit.listeningBaud(), 9600u);   // rebooted to its own rate
    // Boot text 145 s after the end of "SUCCESS" (30,020 ms + 1 ms of line time), at 9600.
    EXPECT_EQ(unit.nextTransmitTime(), 30021 + 145000);
    const Chunk boot = unit.takeTransmitted(kNever - 1).at(0);
    EXPECT_EQ(boot.baud, 9600u);
    EXPECT_EQ(boot.bytes.front(), '[');
    EXPECT_EQ(boot.bytes.substr(boot.bytes.size() - 2), ">>");

    ASSERT_EQ(unit.images().size(), 2u);
    EXPECT_EQ(unit.images()[0].bytes, logic);
    EXPECT_TRUE(unit.images()[0].checksumOk);
    EXPECT_EQ(unit.images()[1].kind, 'h');

    UnitModel picky(UnitOptions{});
    ask(picky, "%fw -l 12345 3", 0);
    feed(picky, firmware, 5000, kUploadBaud);
    EXPECT_EQ(picky.takeTransmitted(6000).at(0).bytes, "ERROR: CHECKSUM");
}

class VirtualLine : public SerialTest {};

TEST_F(VirtualLine, ReadEndsWhenItsCountHasArrivedOrExactlyATimeOutAfterItBegan) {
    openWithUnit(3);
    int done = 0;
    ASSERT_TRUE(ComPortAPI_WriteCOM("%%%fw -p\n\r", 10, &done));   // 11 ms; the reply starts at 31
    EXPECT_EQ(readOnce(10), 10);
    EXPECT_EQ(vp::nowMs(), 31 + 11);   // ten bytes take 10.4 ms of line time
    EXPECT_EQ(std::string(gDataBuffer, 10), "Kovlar QV7");
    EXPECT_EQ(readOnce(1000), 33);
    EXPECT_EQ(vp::nowMs(), 42 + 500);
    // The unit talks at 9600; a port at 115200 hears more, wrong bytes.
    ASSERT_TRUE(ComPortAPI_WriteCOM("%%%fw -p\n\r", 10, &done));
    ComPortAPI_SetBaudRate(115200);
    const int got = readOnce(1000);
    EXPECT_GT(got, 43);
    EXPECT_EQ(std::string(gDataBuffer, static_cast<std::size_t>(got)).find("Kovlar"), std::string::npos);
}

TEST_F(VirtualLine, VanishedUnitFailsWritesAtOnceAndReadsAfterTheirTimeOut) {
    UnitOptions options;
    options.disconnectAfterBytes = 15;
    openWithUnit(3, options);
    int done = -1;
    EXPECT_FALSE(ComPortAPI_WriteCOM("%%%help -c version\n\r", 20, &done));
    EXPECT_EQ(done, 15);
    EXPECT_EQ(vp::nowMs(), 16);   // the line time of 15 bytes, then the failure
    EXPECT_FALSE(ComPortAPI_WriteCOM("%%%help -c version\n\r", 20, &done));
    EXPECT_EQ(done, 0);
    int got = -1;
    EXPECT_FALSE(ComPortAPI_ReadCOM(gDataBuffer, 100, &got));
    EXPECT_EQ(got, 0);
    EXPECT_EQ(vp::nowMs(), 16 + 500);   // silence to the deadline, no spinning
}

} // namespace
