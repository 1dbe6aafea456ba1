// The update against a faulty unit, one fault at a time, on the virtual clock: each run must end
// with its exact verdict, report failure, print no success line, and end within the protocol's
// own time-outs. (Faults covered elsewhere are not repeated here: a wrong device code, a late
// version reply, "Ready" with a line end, a rejected checksum and a missing boot text are in
// test_update_sequence.cpp; the exchanges on their own are in test_command_protocol.cpp.)
#include "ComPortAPI.h"
#include "UpdateSequence.h"

#include "SerialTestFixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace vp = virtual_platform;
using velmora_sim::ReplyKind;
using velmora_sim::UnitOptions;

constexpr int kPort = 3;
constexpr std::size_t kFlood = 2 * 1024 * 1024;
const std::string kTx = VALIDATE_TX_PRODUCT_ID_STRING;
const std::string kMismatch = "\r\nError: Expected response did  not matched !\r\n";

class FaultCatalogue : public SerialTest {
protected:
    // The port is open at the unit's rate with CTS flow control on, as the entry leaves it.
    BOOL run(const UnitOptions& options) {
        openWithUnit(kPort, options);
        gBaudRate = static_cast<int32_t>(options.baudRate);
        const BOOL result = updateFirmware();
        endMs_ = vp::nowMs();
        return result;
    }
    const std::string& out() const { return virtual_console::output(); }
    bool endsWith(const std::string& tail) const {
        return out().size() >= tail.size() && out().compare(out().size() - tail.size(), tail.size(), tail) == 0;
    }
    // Time from the end of the tool's last write to the end of the run.
    int64_t afterLastWrite() const { return endMs_ - vp::writes(kPort).back().endMs; }
    void expectFailedWith(BOOL result, const std::string& verdict) const {
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(endsWith(verdict)) << out().substr(out().size() > 300 ? out().size() - 300 : 0);
        EXPECT_EQ(out().find("The update was successful"), std::string::npos);
    }
    int64_t endMs_ = 0;
};

TEST_F(FaultCatalogue, SilentUnitFailsTheProductCheckAfterOneRead) {
    UnitOptions options;
    options.silent = true;
    const BOOL result = run(options);
    expectFailedWith(result, "Checking product .......... FAILED, Unknown product\r\n");
    EXPECT_EQ(out(), "Checking product .......... FAILED, Unknown product\r\n");
    EXPECT_EQ(endMs_, 11 + 1000);   // "%fw -v" at 9600, then one read of 1 s
}

TEST_F(FaultCatalogue, ReplyLateByMoreThanItsTimeOutFailsThatStep) {
    struct Case {
        ReplyKind kind;
        int64_t late;
        std::string verdict;
        int64_t afterLastWrite;
    };
    const Case cases[] = {
        // The first identity arrives during the second ask, the second one a second later:
        // two reads that bring them and the empty one.
        {ReplyKind::Identity, 1500, "Checking product .......... FAILED\r\n", 3000},
        {ReplyKind::ReadyLogic, 10500, "Preparing to Upload Programmable Logic ............ FAILED [Unit not ready]\r\n",
         10000},
        {ReplyKind::ReadyMcu, 5500, "Preparing to Upload Firmware ...................... FAILED [Unit not ready]\r\n",
         5000},
        {ReplyKind::SuccessLogic, 1500,
         "100%\r\nExpected : SUCCESS  received : \r\n" + kMismatch + "FAILED\r\n", 1000},
        {ReplyKind::SuccessMcu, 1500,
         "100%\r\nExpected : SUCCESS  received : \r\n" + kMismatch + "FAILED\r\n", 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        restart();
        UnitOptions options;
        options.lateReply[c.kind] = c.late;
        expectFailedWith(run(options), c.verdict);
        EXPECT_EQ(afterLastWrite(), c.afterLastWrite);
    }
}

TEST_F(FaultCatalogue, TwoMegabyteFloodIsDrainedAndNeverAccepted) {
    // Answering every command with a flood: the version read takes one second of it.
    UnitOptions everything;
    everything.floodBytes = kFlood;
    const BOOL first = run(everything);
    expectFailedWith(first, "Checking product .......... FAILED, Unknown product\r\n");
    EXPECT_EQ(endMs_, 11 + 1000);

    // Flooding the identity ask at 115200: 182,045 ms of text after each ask, gathered whole
    // (one read holds its last byte, the next is empty), and neither ask matches.
    restart();
    UnitOptions identity;
    identity.baudRate = 115200;
    identity.replyText[ReplyKind::Identity] = std::string(kFlood, 'F');
    expectFailedWith(run(identity), "Checking product .......... FAILED\r\n");
    EXPECT_EQ(afterLastWrite(), 184000);

    // Flooding the closing reply of the logic upload: shown up to what the reply holds.
    restart();
    UnitOptions success;
    success.replyText[ReplyKind::SuccessLogic] = std::string(kFlood, 'S');
    expectFailedWith(run(success), "\r\n" + kMismatch + "FAILED\r\n");
    EXPECT_EQ(afterLastWrite(), 184000);
    const std::string shown = "received : " + std::string(DATA_BUFFER_SIZE - 1, 'S') + "\r\n" + kMismatch;
    EXPECT_NE(out().find(shown), std::string::npos);
}

TEST_F(FaultCatalogue, ZeroByteInAReplyIsPartOfItAndSpoilsIt) {
    struct Case {
        ReplyKind kind;
        std::string reply;
        std::string verdict;
    };
    const Case cases[] = {
        // Only the text before the zero is parsed: three fields, no device code.
        {ReplyKind::Version, std::string("1.0.2\0\r\nQV7TX 1.3 9\r\n>>", 24),
         "Checking product .......... FAILED, Unknown product\r\n"},
        // The identity followed by a zero would pass a comparison of zero-terminated texts.
        {ReplyKind::Identity, kTx + std::string(1, '\0'), "Checking product .......... FAILED\r\n"},
        {ReplyKind::ReadyLogic, std::string("Ready\0", 6),
         "Preparing to Upload Programmable Logic ............ FAILED [Unit not ready]\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        restart();
        UnitOptions options;
        options.replyText[c.kind] = c.reply;
        expectFailedWith(run(options), c.verdict);
    }
}

TEST_F(FaultCatalogue, SuccessWithALineEndFailsEitherUpload) {
    const std::string verdict = "100%\r\nExpected : SUCCESS  received : SUCCESS\r\n\r\n" + kMismatch + "FAILED\r\n";
    UnitOptions logic;
    logic.successWithLineEnd = true;
    expectFailedWith(run(logic), verdict);
    EXPECT_NE(out().find("Sending Programmable Logic data ................... 1%"), std::string::npos);
    EXPECT_EQ(out().find("Preparing to Upload Firmware"), std::string::npos);
    EXPECT_EQ(vp::unit(kPort)->images().size(), 1u);

    restart();
    UnitOptions mcu;
    mcu.replyText[ReplyKind::SuccessMcu] = "SUCCESS\r\n";
    expectFailedWith(run(mcu), verdict);
    EXPECT_NE(out().find("Sending data ...................................... 1%"), std::string::npos);
    EXPECT_EQ(out().find("Please wait while the unit is rebooting"), std::string::npos);
}

TEST_F(FaultCatalogue, CtsLowOrAVanishedUnitFailsTheWriteWithinItsBound) {
    // CTS never rises: the version query cannot go out; its read then finds nothing.
    UnitOptions stuck;
    stuck.ctsStuckLow = true;
    const BOOL result = run(stuck);
    expectFailedWith(result, "Checking product .......... FAILED, Unknown product\r\n");
    EXPECT_EQ(out(), "\r\nError occurred when sending data !\r\n"
                     "Checking product .......... FAILED, Unknown product\r\n");
    EXPECT_EQ(endMs_, 11 + kStallMs + 1000);

    // CTS drops, or the unit vanishes, 60,000 bytes in: inside the sixth piece of the logic image.
    for (const bool vanish : {false, true}) {
        SCOPED_TRACE(vanish ? "vanished" : "CTS dropped");
        restart();
        UnitOptions options;
        (vanish ? options.disconnectAfterBytes : options.ctsLowAfterBytes) = 60000;
        expectFailedWith(run(options), "\b\b3%\b\b4%FAILED\r\n");
        EXPECT_NE(out().find("Sending Programmable Logic data ................... 1%\b\b0%"), std::string::npos);
        const vp::WriteRecord& last = vp::writes(kPort).back();
        EXPECT_FALSE(last.ok);
        EXPECT_EQ(vp::writes(kPort).size(), 3u + 6u);   // version, identity, announcement, then the pieces
        // A vanished unit fails the write at once; a stalled one at the write's line time plus the margin.
        EXPECT_EQ(last.endMs - last.startMs, vanish ? velmora_sim::lineTimeMs(last.bytes.size(), 115200)
                                                    : velmora_sim::lineTimeMs(10240, 115200) + kStallMs);
        EXPECT_EQ(endMs_, last.endMs) << "nothing is read after a failed write";
    }
}

TEST_F(FaultCatalogue, FortyCharacterModelWordIsShownCutAndTheFieldsAfterItStillCount) {
    UnitOptions options;
    options.modelWord = std::string(40, 'M');
    options.readyWithLineEnd = true;   // end the run at the first upload announcement
    expectFailedWith(run(options), "Preparing to Upload Programmable Logic ............ FAILED [Unit not ready]\r\n");
    EXPECT_NE(out().find("Checking fpga version ..................  MMMMMMM 1.03  device:9\r\n"
                         "Checking product .......... TX OK\r\n"),
              std::string::npos);
}

TEST_F(FaultCatalogue, NumbersBeyondAnIntInTheVersionReplyAreHeldAtItsLimitsNotWrapped) {
    // 4294967305 is 2^32 + 9: taken modulo 2^32 it would pass for the XC7A15's code.
    UnitOptions wrapped;
    wrapped.replyText[ReplyKind::Version] = "1.0.2\r\nQV7TX 1.3 4294967305\r\n>>";
    expectFailedWith(run(wrapped), "Checking product .......... FAILED, Unknown product\r\n");
    EXPECT_NE(out().find("device:2147483647\r\n"), std::string::npos) << out();
    EXPECT_EQ(vp::writes(kPort).size(), 1u) << "no identity query";

    restart();
    UnitOptions large;
    large.replyText[ReplyKind::Version] = "99999999999.-99999999999.2\r\nQV7TX 1.3 9\r\n>>";
    large.readyWithLineEnd = true;   // end the run at the first upload announcement
    expectFailedWith(run(large), "Preparing to Upload Programmable Logic ............ FAILED [Unit not ready]\r\n");
    EXPECT_NE(out().find("Checking firmware version ..............  2147483647.-2147483648.02 \r\n"), std::string::npos)
        << out();
}

} // namespace
