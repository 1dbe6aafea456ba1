// The serial port module, the command exchange and the bulk transfer against the simulated unit on
// the virtual clock: what goes on the wire, what is printed, and how long each takes.
#include "CommandProtocol.h"

#include "ConsoleText.h"
#include "VirtualLine.h"

#include <tuple>

namespace {

using std::tuple;

constexpr int64_t kStallMs = PLATFORM_WRITE_STALL_MARGIN_MS;
const std::string kTx = VALIDATE_TX_PRODUCT_ID_STRING;

template <typename... Field> std::vector<unsigned> fields(Field... field) {
    return {unsigned(field)...};
}

using ComPort = VirtualLine;

TEST_F(ComPort, OpenAppliesTheFixedLineSettingsOrSaysWhyNot) {
    openUnit(3);
    // 8N1, CTS output flow control on, DTR and RTS held on, nothing else, and the record's length;
    // reads ending 500 ms after they begin or after a pause of as long, writes without a bound of
    // their own; queues of 8 KiB.
    const DCB& d = vp::appliedDcb(3);
    const COMMTIMEOUTS& t = vp::appliedTimeouts(3);
    EXPECT_EQ(fields(d.DCBlength, d.BaudRate, d.fBinary, d.fParity, d.fOutxCtsFlow, d.fOutxDsrFlow,
                     d.fDtrControl, d.fDsrSensitivity, d.fTXContinueOnXoff, d.fOutX, d.fInX, d.fErrorChar,
                     d.fNull, d.fRtsControl, d.fAbortOnError, d.XonLim, d.XoffLim, d.ByteSize, d.Parity,
                     d.StopBits, d.XonChar, d.XoffChar, d.ErrorChar, d.EofChar, d.EvtChar,
                     t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                     t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, vp::rxQueueSize(3),
                     vp::txQueueSize(3)),
              fields(28, 9600, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 256, 256, 8, 0, 0, 0x11, 0x13, 0x3F,
                     0x1A, 0x10, 500, 0, 500, 0, 0, 8192, 8192));
    const vp::CallCounts& c = vp::calls();
    EXPECT_EQ(fields(c.open, c.setQueues, c.setTimeouts, c.setState, c.purge, c.raiseDtr, c.total()),
              fields(1, 1, 1, 1, 1, 1, 6));

    // Absent, busy, time-outs refused (the settings are then not tried), rate refused, and
    // numbers that do not fit the path: each prints its message, without a line break.
    vp::setPortBusy(8);
    vp::refuseTimeouts(5);
    vp::refuseBaud(6, 9600);
    vp::addEmptyPort(99999999);
    vp::resetCallCounts();
    for (const int port : {7, 8, 5, 6, 0, -1, 100000000, 2147483647}) {
        EXPECT_FALSE(ComPortAPI_OpenCOM(port)) << port;
        // A port that opened (and could not be configured) keeps its handle.
        EXPECT_EQ(g_hCOM == INVALID_HANDLE_VALUE, port != 5 && port != 6) << port;
    }
    EXPECT_EQ(console(), "ERROR: Opening COM7 failed !ERROR: Opening COM8 failed !"
                         "ERROR: COM5 configuration failed !ERROR: COM6 configuration failed !"
                         "ERROR: Opening COM0 failed !ERROR: Opening COM-1 failed !"
                         "ERROR: Opening COM100000000 failed !ERROR: Opening COM2147483647 failed !");
    EXPECT_EQ(fields(c.open, c.setState, c.close, c.total()), fields(4, 1, 2, 11));
    EXPECT_TRUE(ComPortAPI_ProbeCOM(99999999));
    // A probe opens and configures nothing.
    EXPECT_EQ(tuple(vp::lastOpenPath(), c.total()), tuple("\\\\.\\COM99999999", 12));
}

TEST_F(ComPort, AReopenRefusedJustAfterACloseIsTriedAgainForUpToASecond) {
    // COM3 was opened and closed; `gapMs` later COM`port` is opened, and refused as `then` says.
    // The open returns between `minMs` and `maxMs` after the close.
    struct Row {
        const char* name;
        void (*then)();
        int port;
        BOOL opened;
        int64_t gapMs, minMs, maxMs;
    };
    const Row rows[] = {
        {"the driver still closing for 120 ms", [] { vp::refuseReopenFor(3, 120); }, 3, 1, 0, 120, 170},
        {"taken by another program", [] { vp::setPortBusy(3); }, 3, 0, 0, 1000, 1050},
        {"taken, a second after the close", [] { vp::setPortBusy(3); }, 3, 0, 1000, 1000, 1000},
        {"unplugged", [] { vp::removePort(3); }, 3, 0, 0, 0, 0},
        {"another port taken", [] { vp::setPortBusy(5); }, 5, 0, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        restart();
        openUnit(3);
        EXPECT_TRUE(ComPortAPI_CloseCOM());
        row.then();
        vp::advanceMs(row.gapMs);
        EXPECT_EQ(ComPortAPI_OpenCOM(row.port), row.opened);
        EXPECT_TRUE(vp::nowMs() >= row.minMs && vp::nowMs() <= row.maxMs) << vp::nowMs();
        EXPECT_EQ(console(), row.opened ? "" : "ERROR: Opening COM" + std::to_string(row.port) + " failed !");
    }
}

// The options of the unit a row talks to: the defaults, then what the row sets on `u`.
#define WITH(...)                                                                                            \
    [](UnitOptions u) {                                                                                      \
        __VA_ARGS__;                                                                                         \
        return u;                                                                                            \
    }

// "%fw -p" with reads of 1000 ms: the line takes 11 ms at 9600, the identity (43 bytes, 45 ms)
// follows 20 ms after the line feed unless the unit is told otherwise.
TEST_F(VirtualLine, CommandsAreFramedAndTheReplyGatheredUntilAReadBringsNothing) {
    struct Row {
        const char* name;
        UnitOptions (*unit)(UnitOptions);
        BOOL validate, result;
        int64_t endMs;
    };
    const Row rows[] = {
        {"last byte at 76 ms: the second read ends it", WITH(), 1, 1, 2011},
        {"last byte at 1011 ms, the end of the first read", WITH(u.replyDelayMs = 955), 1, 1, 2011},
        {"at 1012 ms: the second read catches it, a third ends it", WITH(u.replyDelayMs = 956), 1, 1, 3011},
        {"pieces with gaps under one time-out", WITH(u.replyPieces = 4; u.pieceGapMs = 950), 1, 1, 4011},
        {"two time-outs of silence cut it", WITH(u.replyPieces = 2; u.pieceGapMs = 2100), 1, 0, 2011},
        {"a byte short", WITH(u.replyText[ReplyKind::Identity] = kTx.substr(0, kTx.size() - 1)), 1, 0, 2011},
        {"anything after the prompt", WITH(u.replyText[ReplyKind::Identity] = kTx + "\r\n"), 1, 0, 2011},
        {"a zero byte ends nothing", WITH(u.replyText[ReplyKind::Identity] = kTx + '\0' + 'x'), 1, 0, 2011},
        {"not compared: gathered, and 1", WITH(u.replyText[ReplyKind::Identity] = kTx + "\r\n"), 0, 1, 2011},
        {"silent: one empty read", WITH(u.silent = true), 1, 0, 1011},
        {"CTS low for 3 s holds the line back", WITH(u.ctsLowUntilMs = 3000), 1, 1, 5011},
        // 2 MiB at 115200 from 21 ms to 182,066 ms: the read that ends at 183,001 ms brings the last.
        {"a flood, drained, never matches", WITH(u.baudRate = 115200; u.floodBytes = 2 << 20), 1, 0, 184001},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        restart();
        openUnit(3, row.unit({}));
        EXPECT_TRUE(ComPortAPI_SetReadingTimeoutInMs(1000));
        EXPECT_EQ(sendCommand("%fw -p", 0, row.validate, kTx.c_str()), row.result);
        // Framed, and a mismatch prints nothing.
        EXPECT_EQ(tuple(vp::nowMs(), vp::written(3), console()), tuple(row.endMs, "%%%fw -p\n\r", ""));
    }
    // Without an expected reply nothing is read; only isEchoON exactly 1 leaves the framing out.
    restart();
    openUnit(3);
    for (const BOOL echo : {0, 1, 2}) {
        EXPECT_TRUE(sendCommand("%fw -v", echo, 0, nullptr));
    }
    EXPECT_EQ(tuple(vp::written(3), vp::calls().read, vp::nowMs()),
              tuple("%%%fw -v\n\r%fw -v\n\r%%%fw -v\n\r", 0, 11 + 9 + 11));
}

// The bulk transfer: the image announced to the unit, then streamed at 115200 with 1 s reads.
// Byte counts of the unit's faults count from the first image byte.
struct BulkTransfer : VirtualLine {
    BOOL send(int length, UnitOptions options = {}, const char* expected = "SUCCESS", BOOL validate = 1) {
        image_.resize(length);
        for (int i = 0; i < length; ++i) {
            image_[i] = static_cast<uint8_t>(i * 7 + i / 251);
        }
        const std::string announcement =
            "%fw -l " + std::to_string(checksum(image_.begin(), image_.end())) + " " + std::to_string(length);
        for (int64_t* count : {&options.disconnectAfterBytes, &options.ctsLowAfterBytes}) {
            *count += *count >= 0 ? static_cast<int64_t>(announcement.size()) + 4 : 0;
        }
        openUnit(3, options);
        EXPECT_TRUE(length == 0 || sendCommand(announcement.c_str(), 0, 1, "Ready"));
        ComPortAPI_SetBaudRate(115200);
        EXPECT_TRUE(ComPortAPI_SetReadingTimeoutInMs(1000) &&
                    ComPortAPI_SetReadingTimeoutInMs(1000)); // unchanged: ok
        firstWrite_ = vp::writes(3).size();
        firstRead_ = vp::reads(3).size();
        startMs_ = vp::nowMs();
        return sendData(image_.data(), length, validate, expected);
    }
    std::vector<std::size_t> pieces() const {
        std::vector<std::size_t> sizes;
        for (std::size_t i = firstWrite_; i < vp::writes(3).size(); ++i) {
            sizes.push_back(vp::writes(3)[i].bytes.size());
        }
        return sizes;
    }
    std::vector<uint8_t> image_;
    std::size_t firstWrite_ = 0, firstRead_ = 0;
    int64_t startMs_ = 0;
};

TEST_F(BulkTransfer, PiecesPercentagesAndTheClosingReply) {
    // 10,240 bytes take 889 ms at 115200; "SUCCESS" comes 20 ms after the last byte and is
    // gathered by one read with it and one empty read. A write that CTS holds back fails after
    // its own line time and the stall margin, and nothing more is printed or read.
    struct Row {
        int length;
        UnitOptions (*unit)(UnitOptions);
        BOOL result;
        std::string console;
        std::vector<std::size_t> pieces;
        int64_t ms;
        const char* expected = "SUCCESS";
        BOOL validate = 1;
    };
    const int64_t sent = 889 + 889 + 393;
    const std::string one = "1%\b\b100%", at40 = "1%\b\b40%", at81 = at40 + "\b\b\b81%";
    const std::string mismatch = "\r\nExpected : SUCCESS  received : SUCCESS\r\n"
                                 "\r\n\r\nError: Expected response did  not matched !\r\n";
    const Row rows[] = {
        {25000, WITH(), 1, at81 + "\b\b\b100%", {10240, 10240, 4520}, sent + 2000},
        {10240, WITH(), 1, one, {10240}, 889 + 2000},
        {0, WITH(), 1, "1%", {}, 0},
        {10240, WITH(), 1, one, {10240}, 889, nullptr},
        {10240, WITH(u.successWithLineEnd = true), 0, one + mismatch, {10240}, 889 + 2000},
        {10240, WITH(u.successWithLineEnd = true), 1, one, {10240}, 889 + 2000, "SUCCESS", 0},
        // The unit gone once the last piece is on the wire; CTS dropping in the second, in the last piece.
        {25000, WITH(u.disconnectAfterBytes = 25000), 0, at81, {10240, 10240, 4520}, sent},
        {25000, WITH(u.ctsLowAfterBytes = 15000), 0, at40, {10240, 4760}, 889 + 889 + kStallMs},
        {25000, WITH(u.ctsLowAfterBytes = 24000), 0, at81, {10240, 10240, 3520}, sent + kStallMs},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.console);
        restart();
        EXPECT_EQ(send(row.length, row.unit({}), row.expected, row.validate), row.result);
        EXPECT_EQ(tuple(console(), pieces(), vp::nowMs() - startMs_), tuple(row.console, row.pieces, row.ms));
        if (row.result && row.expected && row.length) {
            EXPECT_EQ(vp::unit(3)->images().at(0).bytes, std::string(image_.begin(), image_.end()));
        }
    }
    restart(); // the percentages of a large image are truncated
    EXPECT_TRUE(send(1100000));
    console_text::expectPieces(console(),
                               {"1%\b\b0%\b\b1%\b\b2%\b\b", "9%\b\b10%\b\b\b11%", "99%\b\b\b100%"});
}

TEST_F(BulkTransfer, TheReplyWindowOpensWhenTheImageHasLeftTheDriver) {
    // A driver holding 16 KB (1.4 s at 115200), or a CDC bridge's 160 KiB counted in whole write
    // buffers of 10,240 bytes (14.2 s), returns the last write long before the unit has the image;
    // "SUCCESS" must still fall in the first read, which begins when the image has left the PC.
    // When the line stops for good with the image's end queued, the drain fails a write's bound
    // of its first count (160 KiB: 14.2 s + 15 s) after the last write returned.
    struct Row {
        uint32_t queue, step;
        UnitOptions (*unit)(UnitOptions);
        BOOL result;
        int64_t msAfterLastWrite;
    };
    const Row rows[] = {{16384, 1, WITH(), 1, 2000},
                        {163840, 10240, WITH(), 1, 2000},
                        {163840, 10240, WITH(u.ctsLowAfterBytes = 190000), 0, 14223 + kStallMs}};
    for (const Row& row : rows) {
        restart();
        vp::setDriverQueue(3, row.queue, row.step);
        EXPECT_EQ(send(200000, row.unit({})), row.result);
        EXPECT_EQ(vp::reads(3).size() > firstRead_ ? vp::reads(3)[firstRead_].bytes : "none",
                  row.result ? "SUCCESS" : "none");
        EXPECT_EQ(vp::nowMs() - vp::writes(3).back().endMs, row.msAfterLastWrite);
    }
}

} // namespace
