// Command exchange and bulk transfer against the simulated unit, on the virtual clock.
#include "CommandProtocol.h"

#include "SerialTestFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using velmora_sim::ReplyKind;
using velmora_sim::UnitOptions;
namespace vp = virtual_platform;

constexpr int kPort = 3;
const std::string kTx = VALIDATE_TX_PRODUCT_ID_STRING;

class CommandExchange : public SerialTest {};

TEST_F(CommandExchange, LineIsTwoPercentSignsTheCommandAndLineFeedCarriageReturn) {
    velmora_sim::UnitModel& unit = openWithUnit(kPort);
    EXPECT_TRUE(sendCommand("%fw -v", 0, 0, nullptr));
    EXPECT_TRUE(sendCommand("%fw -v", 1, 0, nullptr));   // echo on: no framing prefix
    EXPECT_TRUE(sendCommand("%fw -v", 2, 0, nullptr));   // only exactly 1 drops it
    ASSERT_EQ(vp::writes(kPort).size(), 3u);
    EXPECT_EQ(vp::writes(kPort)[0].bytes, "%%%fw -v\n\r");
    EXPECT_EQ(vp::writes(kPort)[1].bytes, "%fw -v\n\r");
    EXPECT_EQ(vp::writes(kPort)[2].bytes, "%%%fw -v\n\r");
    // Without an expected reply nothing is read, and the call lasts the write alone.
    EXPECT_EQ(vp::calls().read, 0);
    EXPECT_EQ(vp::nowMs(), 11 + 9 + 11);   // 10, 8 and 10 bytes at 9600 baud
    // The unit took the line byte for byte, its CR included.
    ASSERT_FALSE(unit.trace().empty());
    EXPECT_EQ(unit.trace()[0].direction, 'R');
    EXPECT_EQ(unit.trace()[0].text, "%%%fw -v\n\r");
}

TEST_F(CommandExchange, ReplyInPiecesWithShortGapsIsComparedAsOneText) {
    UnitOptions options;
    options.replyPieces = 4;
    options.pieceGapMs = 450;   // just under the 500 ms read time-out
    openWithUnit(kPort, options);
    EXPECT_TRUE(sendCommand("%fw -p", 0, 1, kTx.c_str()));
}

TEST_F(CommandExchange, ReplyCutByASilenceLongerThanTwoTimeOutsDoesNotMatch) {
    UnitOptions options;
    options.replyPieces = 2;
    options.pieceGapMs = 1100;
    openWithUnit(kPort, options);
    EXPECT_FALSE(sendCommand("%fw -p", 0, 1, kTx.c_str()));
}

TEST_F(CommandExchange, GatheringEndsOneToTwoTimeOutsAfterTheLastByte) {
    // Write: 10 bytes at 9600 = 11 ms. Reply: 43 bytes = 45 ms. Reads of 1000 ms from 11 ms on.
    struct Case { int64_t replyDelay; int64_t lastByte; int64_t end; };
    const Case cases[] = {
        {20, 76, 2011},     // well inside the first read: the second read ends it
        {955, 1011, 2011},  // last byte at the very end of the first read: one time-out after it
        {956, 1012, 3011},  // just after it: the second read catches it, the third ends it
    };
    for (const Case& c : cases) {
        restart();
        UnitOptions options;
        options.replyDelayMs = c.replyDelay;
        openWithUnit(kPort, options);
        ComPortAPI_SetReadingTimeoutInMs(1000);
        EXPECT_TRUE(sendCommand("%fw -p", 0, 1, kTx.c_str())) << c.replyDelay;
        EXPECT_EQ(vp::nowMs(), c.end) << c.replyDelay;
        EXPECT_GE(vp::nowMs() - c.lastByte, 1000);
        EXPECT_LT(vp::nowMs() - c.lastByte, 2000);
    }
}

TEST_F(CommandExchange, ComparisonIsExactOverEverythingReceived) {
    const std::string help = "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";
    struct Case { std::string reply; bool matches; };
    const Case cases[] = {
        {help, true},
        {help.substr(0, help.size() - 1), false},            // final ">" missing
        {help + "\r\n", false},                             // anything after the prompt
        {help + std::string("\0xyz", 4), false},            // a zero byte does not end the reply
        {std::string("\0", 1) + help, false},
    };
    for (const Case& c : cases) {
        restart();
        UnitOptions options;
        options.replyText[ReplyKind::Help] = c.reply;
        openWithUnit(kPort, options);
        EXPECT_EQ(sendCommand("%help -c version", 0, 1, help.c_str()), c.matches ? 1 : 0) << c.reply;
        EXPECT_EQ(virtual_console::output(), "");   // a mismatch prints nothing
    }
}

TEST_F(CommandExchange, WithoutValidationTheReplyIsDrainedAndTheResultIsOne) {
    openWithUnit(kPort);
    EXPECT_TRUE(sendCommand("%fw -p", 0, 0, "something else"));
    EXPECT_EQ(vp::calls().read, 2);
    // The line is quiet afterwards: the next read brings nothing.
    int got = -1;
    ComPortAPI_ReadCOM(gDataBuffer, 100, &got);
    EXPECT_EQ(got, 0);
}

TEST_F(CommandExchange, SilentUnitGivesAnEmptyReplyAfterOneTimeOut) {
    UnitOptions options;
    options.silent = true;
    openWithUnit(kPort, options);
    EXPECT_FALSE(sendCommand("%fw -p", 0, 1, kTx.c_str()));
    EXPECT_EQ(vp::nowMs(), 11 + 500);
}

TEST_F(CommandExchange, ReplyFloodBeyondTheAccumulatorIsDrainedAndNeverMatches) {
    UnitOptions options;
    options.baudRate = 115200;
    options.floodBytes = 2 * 1024 * 1024;
    openWithUnit(kPort, options);
    EXPECT_FALSE(sendCommand("%fw -p", 0, 1, kTx.c_str()));
    // Write 1 ms, flood from 21 ms for 182,045 ms: last byte at 182,066, inside the read that
    // ends at 182,501; the read after it ends the gathering.
    EXPECT_EQ(vp::nowMs(), 183001);
}

TEST_F(CommandExchange, StuckCtsFailsTheWriteAfterItsLineTimePlusTheStallMargin) {
    UnitOptions options;
    options.ctsStuckLow = true;
    openWithUnit(kPort, options);
    ASSERT_EQ(g_dcb.fOutxCtsFlow, 1u);
    EXPECT_FALSE(sendCommand("%fw -p", 0, 1, kTx.c_str()));
    EXPECT_EQ(virtual_console::output(), "\r\nError occurred when sending data !\r\n");
    EXPECT_EQ(vp::nowMs(), 11 + static_cast<int64_t>(PLATFORM_WRITE_STALL_MARGIN_MS));
    EXPECT_EQ(vp::calls().read, 0);
}

TEST_F(CommandExchange, CtsRisingWithinTheMarginLetsTheCommandThrough) {
    UnitOptions options;
    options.ctsLowUntilMs = 3000;
    velmora_sim::UnitModel& unit = openWithUnit(kPort, options);
    EXPECT_TRUE(sendCommand("%fw -p", 0, 1, kTx.c_str()));
    EXPECT_EQ(vp::writes(kPort)[0].endMs, 3011);
    EXPECT_EQ(unit.trace()[0].timeMs, 3011);
}

// ---- Bulk transfer ----

class BulkTransfer : public SerialTest {
protected:
    std::vector<uint8_t> image(std::size_t size) {
        std::vector<uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
        }
        return bytes;
    }
    static uint32_t checksumOf(const std::vector<uint8_t>& bytes) {
        uint32_t sum = 0;
        for (uint8_t b : bytes) {
            sum += b;
        }
        return 0u - sum;
    }
    // Announces the image as the update does and leaves the port at 115200 with 1 s reads.
    static std::string announcement(const std::vector<uint8_t>& bytes) {
        return "%fw -l " + std::to_string(checksumOf(bytes)) + " " + std::to_string(bytes.size());
    }
    // Bytes the unit has received once the announcement is through.
    static int64_t announcementLineLength(const std::vector<uint8_t>& bytes) {
        return static_cast<int64_t>(announcement(bytes).size()) + 4;
    }
    velmora_sim::UnitModel& announce(const std::vector<uint8_t>& bytes, UnitOptions options = {}) {
        velmora_sim::UnitModel& unit = openWithUnit(kPort, options);
        EXPECT_TRUE(sendCommand(announcement(bytes).c_str(), 0, 1, "Ready"));
        ComPortAPI_SetBaudRate(115200);
        ComPortAPI_SetReadingTimeoutInMs(1000);
        virtual_console::reset();
        firstDataWrite_ = vp::writes(kPort).size();
        startMs_ = vp::nowMs();
        return unit;
    }
    std::size_t firstDataWrite_ = 0;
    int64_t startMs_ = 0;
};

TEST_F(BulkTransfer, PiecesAndPercentagesOf25000Bytes) {
    const auto bytes = image(25000);
    velmora_sim::UnitModel& unit = announce(bytes);
    EXPECT_TRUE(sendData(bytes.data(), static_cast<int>(bytes.size()), 1, "SUCCESS"));
    EXPECT_EQ(virtual_console::output(), "1%\b\b40%\b\b\b81%\b\b\b100%");
    EXPECT_EQ(writeSizes(kPort, firstDataWrite_), (std::vector<std::size_t>{10240, 10240, 4520}));
    ASSERT_EQ(unit.images().size(), 1u);
    EXPECT_TRUE(unit.images()[0].checksumOk);
    EXPECT_EQ(unit.images()[0].bytes, std::string(bytes.begin(), bytes.end()));
}

TEST_F(BulkTransfer, OnePieceGoesStraightFromOneToHundredPercent) {
    const auto bytes = image(10240);
    announce(bytes);
    EXPECT_TRUE(sendData(bytes.data(), 10240, 1, "SUCCESS"));
    EXPECT_EQ(virtual_console::output(), "1%\b\b100%");
    EXPECT_EQ(writeSizes(kPort, firstDataWrite_), (std::vector<std::size_t>{10240}));
}

TEST_F(BulkTransfer, PercentagesAreTruncatedForLargeImages) {
    const auto bytes = image(1060784);
    announce(bytes);
    EXPECT_TRUE(sendData(bytes.data(), static_cast<int>(bytes.size()), 1, "SUCCESS"));
    const std::string& shown = virtual_console::output();
    EXPECT_EQ(shown.rfind("1%\b\b0%\b\b1%\b\b2%", 0), 0u) << shown.substr(0, 40);
    EXPECT_NE(shown.find("\b\b9%\b\b10%\b\b\b11%"), std::string::npos);
    EXPECT_EQ(shown.substr(shown.size() - 7), "\b\b\b100%");
}

TEST_F(BulkTransfer, EmptyImageShowsOnePercentAndTouchesNothing) {
    openWithUnit(kPort);
    EXPECT_TRUE(sendData(nullptr, 0, 1, "SUCCESS"));
    EXPECT_EQ(virtual_console::output(), "1%");
    EXPECT_EQ(vp::calls().total(), 0);
}

TEST_F(BulkTransfer, MismatchedClosingReplyPrintsBothTexts) {
    struct Case { std::string reply; std::string received; };
    const Case cases[] = {
        {"SUCCESS\r\n", "SUCCESS\r\n"},
        {std::string("SUCCESS\0xyz", 11), std::string("SUCCESS\0xyz", 11)},   // shown whole
    };
    for (const Case& c : cases) {
        restart();
        const auto bytes = image(3000);
        UnitOptions options;
        options.replyText[ReplyKind::SuccessLogic] = c.reply;
        announce(bytes, options);
        EXPECT_FALSE(sendData(bytes.data(), 3000, 1, "SUCCESS"));
        EXPECT_EQ(virtual_console::output(), "1%\b\b100%\r\nExpected : SUCCESS  received : " + c.received +
                                                 "\r\n\r\nError: Expected response did  not matched !\r\n");
    }
}

TEST_F(BulkTransfer, ClosingReplyIsWaitedForOneToTwoTimeOuts) {
    const auto bytes = image(3000);
    announce(bytes);
    EXPECT_TRUE(sendData(bytes.data(), 3000, 1, "SUCCESS"));
    // 3000 bytes at 115200: 261 ms; "SUCCESS" from 20 ms later for 1 ms; then reads of 1 s.
    EXPECT_EQ(vp::nowMs() - startMs_, 261 + 2000);
}

TEST_F(BulkTransfer, CtsDroppingStopsTheTransferWithinItsBound) {
    struct Case { int64_t ctsLowAfterDataBytes; std::string shown; int64_t duration; };
    const Case cases[] = {
        // At once: the first 10,240-byte piece cannot go (889 ms of line time + margin).
        {0, "1%", 889 + static_cast<int64_t>(PLATFORM_WRITE_STALL_MARGIN_MS)},
        // After the first piece: the second stalls.
        {10240, "1%\b\b40%", 889 + 889 + static_cast<int64_t>(PLATFORM_WRITE_STALL_MARGIN_MS)},
    };
    for (const Case& c : cases) {
        restart();
        const auto bytes = image(25000);
        UnitOptions options;
        options.ctsLowAfterBytes = announcementLineLength(bytes) + c.ctsLowAfterDataBytes;
        announce(bytes, options);
        EXPECT_FALSE(sendData(bytes.data(), 25000, 1, "SUCCESS"));
        EXPECT_EQ(virtual_console::output(), c.shown);
        EXPECT_EQ(vp::nowMs() - startMs_, c.duration);
    }
}

TEST_F(BulkTransfer, UnitVanishingMidTransferFailsTheWrite) {
    const auto bytes = image(25000);
    UnitOptions options;
    options.disconnectAfterBytes = announcementLineLength(bytes) + 15000;
    announce(bytes, options);
    EXPECT_FALSE(sendData(bytes.data(), 25000, 1, "SUCCESS"));
    EXPECT_EQ(virtual_console::output(), "1%\b\b40%");
    ASSERT_EQ(vp::writes(kPort).size(), firstDataWrite_ + 2);
    EXPECT_FALSE(vp::writes(kPort).back().ok);
    EXPECT_EQ(vp::writes(kPort).back().bytes.size(), 15000u - 10240u);
}

} // namespace
