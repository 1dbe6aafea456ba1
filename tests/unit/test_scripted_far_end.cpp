// The scripted far end of the virtual platform and the unit's per-reply lateness: the fault and
// fuzz tests build on them, so these check the timing they promise.
#include "CommandProtocol.h"

#include "SerialTestFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

namespace vp = virtual_platform;
using velmora_sim::ReplyKind;
using velmora_sim::UnitOptions;

class ScriptedFarEnd : public SerialTest {
protected:
    void open(int port, vp::FarEndScript script = {}) {
        vp::attachScriptedFarEnd(port, std::move(script));
        ComPortAPI_SetBaudRate(9600);
        ASSERT_TRUE(ComPortAPI_OpenCOM(port));
        ComPortAPI_SetReadingTimeoutInMs(1000);
    }
};

TEST_F(ScriptedFarEnd, QueuedBytesArriveAtTheirTimeOverTheirLineTimeAndAreRecorded) {
    open(2);
    // 96 bytes at 9600 baud take 100 ms on the line.
    vp::queueChunks(2, {{300, std::string(96, 'a')}, {2500, "late"}});
    EXPECT_EQ(readOnce(96), 96);
    EXPECT_EQ(vp::nowMs(), 400);              // the read ends with the last byte of its count
    EXPECT_EQ(readOnce(100), 0);              // nothing until 1400
    EXPECT_EQ(vp::nowMs(), 1400);
    EXPECT_EQ(readOnce(100), 0);
    EXPECT_EQ(readOnce(100), 4);              // "late" starts at 2500, inside the read to 3400
    ASSERT_EQ(vp::reads(2).size(), 4u);
    EXPECT_EQ(vp::reads(2)[0].bytes, std::string(96, 'a'));
    EXPECT_EQ(vp::reads(2)[3].endMs, 3400);
    EXPECT_EQ(vp::reads(2)[3].bytes, "late");
}

TEST_F(ScriptedFarEnd, ChunkDueWhileAnotherIsOnTheLineFollowsIt) {
    open(2);
    // "bb" is due at 50 ms, in the middle of the 100 ms of the first chunk: it starts at 100.
    vp::queueChunks(2, {{0, std::string(96, 'a')}, {50, "bb"}});
    EXPECT_EQ(readOnce(98), 98);
    EXPECT_EQ(vp::nowMs(), 100 + 3);
    EXPECT_EQ(std::string(gDataBuffer + 94, 4), "aabb");
}

TEST_F(ScriptedFarEnd, RepliesToEachWriteAndRaisesCtsForTheToolsFlowControl) {
    ComPortAPI_SetHardwareFlowControl(1);
    int writes = 0;
    open(4, [&writes](const vp::WriteRecord& w) {
        ++writes;
        return std::vector<vp::ScriptedChunk>{{w.endMs + 10, "Re"}, {w.endMs + 900, std::string("ady\0", 4)}};
    });
    // The zero byte is part of the reply, so the reply is not "Ready".
    EXPECT_FALSE(sendCommand("%fw -l 1 2", 0, 1, "Ready"));
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(vp::writes(4)[0].endMs, 15);    // 14 bytes at 9600, CTS up all along
    EXPECT_EQ(vp::nowMs(), 15 + 2000);        // the pieces fall in the first read, the second is empty
}

TEST_F(ScriptedFarEnd, BytesSentWhileThePortIsClosedAreLost) {
    vp::attachScriptedFarEnd(5);
    vp::queueChunks(5, {{100, "gone"}, {1500, "kept"}});
    vp::advanceMs(1000);
    ComPortAPI_SetReadingTimeoutInMs(1000);
    ASSERT_TRUE(ComPortAPI_OpenCOM(5));
    EXPECT_EQ(readOnce(100), 4);
    EXPECT_EQ(std::string(gDataBuffer, 4), "kept");
}

TEST_F(ScriptedFarEnd, LateReplyIsLateOnlyForItsOwnKind) {
    UnitOptions options;
    options.lateReply[ReplyKind::Identity] = 1500;
    openWithUnit(3, options);
    ComPortAPI_SetReadingTimeoutInMs(1000);
    // The help reply comes 20 ms after the line feed; the identity 1,520 ms after it, so the
    // first read of the exchange finds nothing and the gathering ends empty.
    EXPECT_TRUE(sendCommand("%help -c version", 0, 1,
                            "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>"));
    const int64_t before = vp::nowMs();
    EXPECT_FALSE(sendCommand("%fw -p", 0, 1, VALIDATE_TX_PRODUCT_ID_STRING));
    EXPECT_EQ(vp::nowMs() - before, 11 + 1000);
}

} // namespace
