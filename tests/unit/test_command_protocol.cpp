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
const std::string kHelp = "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";

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
    EXPECT_EQ(unit.trace()[0].text, "%%%fw -v\n\r");
    // Without an expected reply nothing is read: the calls last their writes alone.
    EXPECT_EQ(vp::calls().read, 0);
    EXPECT_EQ(vp::nowMs(), 11 + 9 + 11);   // 10, 8 and 10 bytes at 9600 baud
}

TEST_F(CommandExchange, GatheringEndsOneToTwoTimeOutsAfterTheLastByte) {
    // Write: 10 bytes at 9600 = 11 ms. Reply: 43 bytes = 45 ms. Reads of 1000 ms from 11 ms on.
    struct Case { int64_t replyDelay; int pieces; int64_t gap; bool silent; BOOL result; int64_t end; };
    const Case cases[] = {
        {20, 1, 0, false, 1, 2011},      // last byte at 76 ms: the second read ends it
        {955, 1, 0, false, 1, 2011},     // last byte at 1011 ms, the end of the first read
        {956, 1, 0, false, 1, 3011},     // at 1012 ms: the second read catches it, the third ends it
        {20, 4, 950, false, 1, 4011},    // pieces with gaps under one time-out form one reply
        {20, 2, 2100, false, 0, 2011},   // a silence over two time-outs cuts the reply
        {20, 1, 0, true, 0, 1011},       // no reply: one empty read
    };
    for (const Case& c : cases) {
        restart();
        UnitOptions options;
        options.replyDelayMs = c.replyDelay;
        options.replyPieces = c.pieces;
        options.pieceGapMs = c.gap;
        options.silent = c.silent;
        openWithUnit(kPort, options);
        ComPortAPI_SetReadingTimeoutInMs(1000);
        EXPECT_EQ(sendCommand("%fw -p", 0, 1, kTx.c_str()), c.result) << c.replyDelay << " " << c.gap;
        EXPECT_EQ(vp::nowMs(), c.end) << c.replyDelay << " " << c.gap;
    }
}

TEST_F(CommandExchange, ComparisonIsExactOverEverythingReceived) {
    struct Case { std::string reply; BOOL validate; BOOL result; };
    const Case cases[] = {
        {kHelp, 1, 1},
        {kHelp.substr(0, kHelp.size() - 1), 1, 0},       // final ">" missing
        {kHelp + "\r\n", 1, 0},                         // anything after the prompt
        {kHelp + std::string("\0xyz", 4), 1, 0},        // a zero byte does not end the reply
        {kHelp + "\r\n", 0, 1},                         // not validated: gathered, and 1
    };
    for (const Case& c : cases) {
        restart();
        UnitOptions options;
        options.replyText[ReplyKind::Help] = c.reply;
        openWithUnit(kPort, options);
        EXPECT_EQ(sendCommand("%help -c version", 0, c.validate, kHelp.c_str()), c.result) << c.reply;
        EXPECT_EQ(vp::calls().read, 2);              // the reply is drained either way
        EXPECT_EQ(virtual_console::output(), "");   // a mismatch prints nothing
    }
}

TEST_F(CommandExchange, ReplyFloodBeyondTheAccumulatorIsDrainedAndNeverMatches) {
    UnitOptions options;
    options.baudRate = 115200;
    options.floodBytes = 2 * 1024 * 1024;
    openWithUnit(kPort, options);
    EXPECT_FALSE(sendCommand("%fw -p", 0, 1, kTx.c_str()));
    // Write 1 ms, flood from 21 ms for 182,045 ms: last byte at 182,066, inside the read that
    // ends at 182,501; the empty read after it ends the gathering.
    EXPECT_EQ(vp::nowMs(), 183001);
    EXPECT_EQ(readOnce(100), 0);
}

TEST_F(CommandExchange, CtsHeldLowDelaysTheWriteAndStuckCtsFailsItWithinItsBound) {
    UnitOptions late;
    late.ctsLowUntilMs = 3000;
    openWithUnit(kPort, late);
    EXPECT_TRUE(sendCommand("%fw -p", 0, 1, kTx.c_str()));
    EXPECT_EQ(vp::writes(kPort)[0].endMs, 3011);

    restart();
    UnitOptions stuck;
    stuck.ctsStuckLow = true;
    openWithUnit(kPort, stuck);
    EXPECT_FALSE(sendCommand("%fw -p", 0, 1, kTx.c_str()));
    EXPECT_EQ(virtual_console::output(), "\r\nError occurred when sending data !\r\n");
    EXPECT_EQ(vp::nowMs(), 11 + kStallMs);
    EXPECT_EQ(vp::calls().read, 0);
}

// ---- Bulk transfer ----

class BulkTransfer : public SerialTest {
protected:
    static std::vector<uint8_t> image(std::size_t size) {
        std::vector<uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
        }
        return bytes;
    }
    static std::string announcement(const std::vector<uint8_t>& bytes) {
        uint32_t sum = 0;
        for (uint8_t b : bytes) {
            sum += b;
        }
        return "%fw -l " + std::to_string(0u - sum) + " " + std::to_string(bytes.size());
    }
    // Bytes the unit has received once the announcement line is through.
    static int64_t announced(const std::vector<uint8_t>& bytes) {
        return static_cast<int64_t>(announcement(bytes).size()) + 4;
    }
    // Announces the image as the update does; leaves the port at 115200 with 1 s reads.
    velmora_sim::UnitModel& announce(const std::vector<uint8_t>& bytes, UnitOptions options = {}) {
        velmora_sim::UnitModel& unit = openWithUnit(kPort, options);
        EXPECT_TRUE(sendCommand(announcement(bytes).c_str(), 0, 1, "Ready"));
        ComPortAPI_SetBaudRate(115200);
        ComPortAPI_SetReadingTimeoutInMs(1000);
        virtual_console::reset();
        firstWrite_ = vp::writes(kPort).size();
        startMs_ = vp::nowMs();
        return unit;
    }
    std::vector<std::size_t> dataWriteSizes() const {
        std::vector<std::size_t> sizes;
        for (std::size_t i = firstWrite_; i < vp::writes(kPort).size(); ++i) {
            sizes.push_back(vp::writes(kPort)[i].bytes.size());
        }
        return sizes;
    }
    std::size_t firstWrite_ = 0;
    int64_t startMs_ = 0;
};

TEST_F(BulkTransfer, PiecesPercentagesAndTheImageTheUnitGets) {
    const auto bytes = image(25000);
    velmora_sim::UnitModel& unit = announce(bytes);
    EXPECT_TRUE(sendData(bytes.data(), 25000, 1, "SUCCESS"));
    EXPECT_EQ(virtual_console::output(), "1%\b\b40%\b\b\b81%\b\b\b100%");
    EXPECT_EQ(dataWriteSizes(), (std::vector<std::size_t>{10240, 10240, 4520}));
    ASSERT_EQ(unit.images().size(), 1u);
    EXPECT_TRUE(unit.images()[0].checksumOk);
    EXPECT_EQ(unit.images()[0].bytes, std::string(bytes.begin(), bytes.end()));
    // 2,171 ms of line time; "SUCCESS" 20 ms later; then two reads of 1 s.
    EXPECT_EQ(vp::nowMs() - startMs_, 889 + 889 + 393 + 2000);

    restart();
    const auto piece = image(10240);
    announce(piece);
    EXPECT_TRUE(sendData(piece.data(), 10240, 1, "SUCCESS"));
    EXPECT_EQ(virtual_console::output(), "1%\b\b100%");
    EXPECT_EQ(dataWriteSizes(), (std::vector<std::size_t>{10240}));
}

TEST_F(BulkTransfer, PercentagesAreTruncatedForLargeImages) {
    const auto bytes = image(1060784);
    announce(bytes);
    EXPECT_TRUE(sendData(bytes.data(), static_cast<int>(bytes.size()), 1, "SUCCESS"));
    const std::string& shown = virtual_console::output();
    EXPECT_EQ(shown.rfind("1%\b\b0%\b\b1%\b\b2%", 0), 0u) << shown.substr(0, 40);
    EXPECT_NE(shown.find("\b\b9%\b\b10%\b\b\b11%"), std::string::npos);
    EXPECT_EQ(shown.substr(shown.size() - 13), "\b\b\b99%\b\b\b100%");
}

TEST_F(BulkTransfer, EmptyImageShowsOnePercentAndTouchesNothing) {
    openWithUnit(kPort);
    EXPECT_TRUE(sendData(nullptr, 0, 1, "SUCCESS"));
    EXPECT_EQ(virtual_console::output(), "1%");
    EXPECT_EQ(vp::calls().total(), 0);
}

TEST_F(BulkTransfer, MismatchedClosingReplyPrintsBothTextsWhole) {
    for (const std::string& reply : {std::string("SUCCESS\r\n"), std::string("SUCCESS\0xyz", 11)}) {
        restart();
        const auto bytes = image(3000);
        UnitOptions options;
        options.replyText[ReplyKind::SuccessLogic] = reply;
        announce(bytes, options);
        EXPECT_FALSE(sendData(bytes.data(), 3000, 1, "SUCCESS"));
        EXPECT_EQ(virtual_console::output(), "1%\b\b100%\r\nExpected : SUCCESS  received : " + reply +
                                                 "\r\n\r\nError: Expected response did  not matched !\r\n");
    }
}

TEST_F(BulkTransfer, CtsDroppingOrTheUnitVanishingStopsTheTransfer) {
    struct Case { int64_t ctsLowAfter; int64_t goneAfter; std::string shown; int64_t duration; std::size_t lastWrite; };
    const Case cases[] = {
        {0, -1, "1%", 889 + kStallMs, 0},                 // the first piece cannot go
        {10240, -1, "1%\b\b40%", 2 * 889 + kStallMs, 0},  // the second stalls
        {-1, 15000, "1%\b\b40%", 889 + 414, 4760},        // the second fails where the unit vanished
    };
    for (const Case& c : cases) {
        restart();
        const auto bytes = image(25000);
        UnitOptions options;
        options.ctsLowAfterBytes = c.ctsLowAfter < 0 ? -1 : announced(bytes) + c.ctsLowAfter;
        options.disconnectAfterBytes = c.goneAfter < 0 ? -1 : announced(bytes) + c.goneAfter;
        announce(bytes, options);
        EXPECT_FALSE(sendData(bytes.data(), 25000, 1, "SUCCESS"));
        EXPECT_EQ(virtual_console::output(), c.shown);
        EXPECT_EQ(vp::nowMs() - startMs_, c.duration);
        EXPECT_FALSE(vp::writes(kPort).back().ok);
        EXPECT_EQ(vp::writes(kPort).back().bytes.size(), c.lastWrite);
    }
}

} // namespace
