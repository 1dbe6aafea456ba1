// The simulated unit on its own: what it answers, when, at which rate, and how it takes uploads.
#include "UnitModel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace velmora_sim;

// Feeds a line to the unit as if it had just finished arriving, and returns what it sends back
// (all chunks joined) with the first chunk's timing.
struct Exchange {
    std::string text;
    int64_t startMs = kNever;
    uint32_t baud = 0;
};

void feed(UnitModel& unit, const std::string& bytes, int64_t timeMs, uint32_t baud) {
    unit.receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), timeMs, baud);
}

Exchange collect(UnitModel& unit, int64_t untilMs) {
    Exchange reply;
    for (const Chunk& chunk : unit.takeTransmitted(untilMs)) {
        if (reply.startMs == kNever) {
            reply.startMs = chunk.timeMs;
            reply.baud = chunk.baud;
        }
        reply.text += chunk.bytes;
    }
    return reply;
}

Exchange ask(UnitModel& unit, const std::string& command, int64_t timeMs = 0) {
    feed(unit, "%%" + command + "\n\r", timeMs, unit.listeningBaud());
    return collect(unit, timeMs + 10000);
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
    // A receiver 12 times slower sees about one frame per 12 bytes sent.
    const std::string slow = garble(line, 115200, 9600);
    EXPECT_LE(slow.size(), line.size() / 12 + 1);
    EXPECT_NE(slow, line);
    // A faster one sees several frames per byte sent, none of them the text.
    const std::string fast = garble(line, 9600, 115200);
    EXPECT_GT(fast.size(), line.size());
    EXPECT_EQ(fast.find("help"), std::string::npos);
}

TEST(UnitReplies, EachCommandGetsItsReplyAfterTheReplyDelay) {
    UnitModel tx(UnitOptions{});
    const Exchange help = ask(tx, "%help -c version", 100);
    EXPECT_EQ(help.text, "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>");
    EXPECT_EQ(help.startMs, 120);
    EXPECT_EQ(help.baud, 9600u);

    // The version reply, with line breaks made spaces, parses into its seven fields.
    std::string version = ask(tx, "%fw -v", 1000).text;
    ASSERT_GE(version.size(), 4u);
    EXPECT_EQ(version.substr(version.size() - 4), "\r\n>>");
    for (char& c : version) {
        c = (c == '\r' || c == '\n') ? ' ' : c;
    }
    int v[6] = {0};
    char model[8] = {0};
    ASSERT_EQ(std::sscanf(version.c_str(), "%d.%d.%d %7s %d.%d %d", &v[0], &v[1], &v[2], model, &v[3], &v[4], &v[5]), 7);
    EXPECT_STREQ(model, "QV7TX");
    EXPECT_EQ(v[5], 9);

    EXPECT_EQ(ask(tx, "%fw -p", 2000).text, "Kovlar QV7 SIGNAL LINK TX WITH ETHERNET\r\n>>");
    UnitOptions rxOptions;
    rxOptions.kind = UnitKind::RX;
    UnitModel rx(rxOptions);
    EXPECT_EQ(ask(rx, "%fw -p").text, "Kovlar QV7 SIGNAL LINK RX WITH ETHERNET\r\n>>");
}

TEST(UnitReplies, OnlyFramedLinesAreCommands) {
    UnitModel unit(UnitOptions{});
    feed(unit, "noise\n\r", 0, 9600);
    EXPECT_EQ(unit.nextTransmitTime(), kNever);                 // not a command at all
    feed(unit, "%fw -v\n\r", 100, 9600);                         // the framing "%%" is missing
    EXPECT_EQ(collect(unit, 1000).text, "ERROR: Unknown command\r\n>>");
    // A command heard at another rate is noise and goes unanswered.
    feed(unit, "%%%fw -v\n\r", 2000, 115200);
    EXPECT_EQ(unit.nextTransmitTime(), kNever);
}

TEST(UnitReplies, TransmitterSendsOneReplyAfterTheOther) {
    UnitModel unit(UnitOptions{});
    feed(unit, "%%%fw -p\n\r%%%fw -p\n\r", 0, 9600);
    const std::vector<Chunk> chunks = unit.takeTransmitted(kNever - 1);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].timeMs, 20);
    EXPECT_EQ(chunks[1].timeMs, 20 + lineTimeMs(43, 9600));     // the second waits for the line
}

TEST(UnitUploads, LogicThenMicrocontrollerImageThenReboot) {
    UnitModel unit(UnitOptions{});
    const std::string logic(30000, '\x5A');
    EXPECT_EQ(ask(unit, "%fw -l " + checksumText(logic) + " 30000").text, "Ready");
    EXPECT_EQ(unit.listeningBaud(), kUploadBaud);
    feed(unit, logic.substr(0, 10240), 11000, kUploadBaud);
    EXPECT_EQ(unit.nextTransmitTime(), kNever);                 // waits for every byte announced
    feed(unit, logic.substr(10240), 12000, kUploadBaud);
    const Exchange success = collect(unit, 13000);
    EXPECT_EQ(success.text, "SUCCESS");
    EXPECT_EQ(success.baud, kUploadBaud);
    EXPECT_EQ(unit.listeningBaud(), kUploadBaud);               // stays there for the next announcement

    const std::string firmware = "\x01\x02\x03";
    EXPECT_EQ(ask(unit, "%fw -h " + checksumText(firmware) + " 3", 20000).text, "Ready");
    feed(unit, firmware, 30000, kUploadBaud);
    const Exchange done = collect(unit, 30100);
    EXPECT_EQ(done.text, "SUCCESS");
    EXPECT_EQ(unit.listeningBaud(), 9600u);                     // rebooted to its own rate
    // Boot text 145 s after the end of "SUCCESS" (30,020 ms + 1 ms of line time).
    EXPECT_EQ(unit.nextTransmitTime(), 30021 + 145000);
    const Exchange boot = collect(unit, kNever - 1);
    EXPECT_EQ(boot.baud, 9600u);
    EXPECT_EQ(boot.text.front(), '[');
    EXPECT_EQ(boot.text.substr(boot.text.size() - 2), ">>");

    ASSERT_EQ(unit.images().size(), 2u);
    EXPECT_EQ(unit.images()[0].kind, 'l');
    EXPECT_EQ(unit.images()[0].bytes, logic);
    EXPECT_TRUE(unit.images()[0].checksumOk);
    EXPECT_EQ(unit.images()[1].kind, 'h');
    EXPECT_EQ(unit.images()[1].announcedLength, 3);
}

TEST(UnitUploads, WrongChecksumOrWrongRateIsNotAccepted) {
    UnitModel unit(UnitOptions{});
    const std::string image(100, '\x11');
    ask(unit, "%fw -l 12345 100");
    feed(unit, image, 5000, kUploadBaud);
    EXPECT_EQ(collect(unit, 6000).text, "ERROR: CHECKSUM");
    EXPECT_FALSE(unit.images().back().checksumOk);

    // Data sent at 9600 to a unit listening at 115200 arrives as other bytes, so the unit
    // never says "SUCCESS".
    ask(unit, "%fw -l " + checksumText(image) + " 100", 10000);
    feed(unit, image, 20000, 9600);
    EXPECT_NE(collect(unit, kNever - 1).text, "SUCCESS");
}

TEST(UnitFaults, TimingAndLineFaults) {
    UnitOptions options;
    options.ignoreHelpQueries = 1;
    options.versionPromptDelayMs = 1500;
    UnitModel unit(options);
    EXPECT_EQ(ask(unit, "%help -c version").text, "");
    EXPECT_NE(ask(unit, "%help -c version", 1000).text, "");

    feed(unit, "%%%fw -v\n\r", 5000, 9600);
    const std::vector<Chunk> version = unit.takeTransmitted(kNever - 1);
    ASSERT_EQ(version.size(), 2u);
    EXPECT_EQ(version[1].bytes, "\r\n>>");
    EXPECT_EQ(version[1].timeMs, version[0].timeMs + lineTimeMs(version[0].bytes.size(), 9600) + 1500);

    UnitOptions line;
    line.ctsLowUntilMs = 300;
    line.ctsLowAfterBytes = 10;
    line.disconnectAfterBytes = 25;
    UnitModel cts(line);
    EXPECT_FALSE(cts.ctsRaised(299));
    EXPECT_TRUE(cts.ctsRaised(300));
    EXPECT_EQ(cts.bytesUntilLineChange(), 10);
    feed(cts, std::string(10, 'x'), 400, 9600);
    EXPECT_FALSE(cts.ctsRaised(500));
    EXPECT_EQ(cts.bytesUntilLineChange(), 15);
    feed(cts, std::string(20, 'x'), 600, 9600);
    EXPECT_FALSE(cts.connected());
    EXPECT_EQ(cts.bytesReceived(), 25);                         // nothing reaches a vanished unit
}

} // namespace
