// The virtual serial line itself: the read time-out rule, line times, CTS, exclusive access,
// rates that do not match, and a unit that vanishes. The protocol tests rely on all of it.
#include "SerialTestFixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using velmora_sim::UnitOptions;
namespace vp = virtual_platform;

class VirtualLine : public SerialTest {
protected:
    int read(int count) {
        int got = -1;
        ComPortAPI_ReadCOM(gDataBuffer, count, &got);
        return got;
    }
    bool write(const std::string& bytes) {
        int done = -1;
        return ComPortAPI_WriteCOM(bytes.data(), static_cast<int>(bytes.size()), &done) &&
               done == static_cast<int>(bytes.size());
    }
};

TEST_F(VirtualLine, ReadEndsWhenItsCountHasArrivedOrExactlyATimeOutAfterItBegan) {
    openWithUnit(3);
    ASSERT_TRUE(write("%%%fw -p\n\r"));          // 11 ms; the 43-byte reply starts at 31 ms
    EXPECT_EQ(read(10), 10);
    EXPECT_EQ(vp::nowMs(), 31 + 11);             // the tenth byte is in after 10.4 ms of line time
    EXPECT_EQ(std::string(gDataBuffer, 10), "Kovlar QV7");
    EXPECT_EQ(read(1000), 33);
    EXPECT_EQ(vp::nowMs(), 42 + 500);            // short read: the whole time-out
    EXPECT_EQ(read(1000), 0);
    EXPECT_EQ(vp::nowMs(), 542 + 500);
}

TEST_F(VirtualLine, WritesTakeTenBitsPerByteAtThePortRate) {
    vp::addEmptyPort(3);
    ComPortAPI_SetHardwareFlowControl(0);
    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    const std::string piece(10240, 'x');
    ASSERT_TRUE(write(piece));
    EXPECT_EQ(vp::nowMs(), 10667);
    ComPortAPI_SetBaudRate(115200);
    ASSERT_TRUE(write(piece));
    EXPECT_EQ(vp::nowMs(), 10667 + 889);
}

TEST_F(VirtualLine, NothingAttachedHoldsCtsLowAndTheWriteFailsAtItsBound) {
    vp::addEmptyPort(3);
    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    EXPECT_FALSE(write(std::string(20, 'x')));
    EXPECT_EQ(vp::nowMs(), 21 + static_cast<int64_t>(PLATFORM_WRITE_STALL_MARGIN_MS));
    EXPECT_TRUE(vp::writes(3).back().bytes.empty());
}

TEST_F(VirtualLine, PortIsExclusiveAndItsHandleStaleAfterClose) {
    openWithUnit(3);
    const HANDLE first = g_hCOM;
    EXPECT_FALSE(ComPortAPI_ProbeCOM(3));
    g_hCOM = first;
    ASSERT_TRUE(ComPortAPI_CloseCOM());
    EXPECT_FALSE(vp::isOpen(3));
    EXPECT_FALSE(write("%%%fw -p\n\r"));
    EXPECT_FALSE(Platform_SerialClose(first));
    EXPECT_TRUE(ComPortAPI_ProbeCOM(3));
    EXPECT_NE(g_hCOM, first);
}

TEST_F(VirtualLine, BytesSentWhileThePortIsClosedAreLost) {
    openWithUnit(3);
    ASSERT_TRUE(write("%%%fw -p\n\r"));
    ComPortAPI_CloseCOM();
    vp::advanceMs(1000);
    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    EXPECT_EQ(read(100), 0);
}

TEST_F(VirtualLine, ReplyAtAnotherRateArrivesGarbled) {
    openWithUnit(3);                              // the unit talks at 9600
    ASSERT_TRUE(write("%%%fw -p\n\r"));
    ComPortAPI_SetBaudRate(115200);               // before the reply begins
    const int got = read(1000);
    EXPECT_GT(got, 43);                           // a faster receiver sees more, wrong bytes
    EXPECT_EQ(std::string(gDataBuffer, static_cast<std::size_t>(got)).find("Kovlar"), std::string::npos);
}

TEST_F(VirtualLine, VanishedUnitFailsWritesAtOnceAndReadsAfterTheirTimeOut) {
    UnitOptions options;
    options.disconnectAfterBytes = 15;
    openWithUnit(3, options);
    int done = -1;
    const std::string line = "%%%help -c version\n\r";
    EXPECT_FALSE(ComPortAPI_WriteCOM(line.data(), 20, &done));
    EXPECT_EQ(done, 15);
    EXPECT_EQ(vp::nowMs(), 16);                   // 15 bytes of line time, then the failure
    EXPECT_FALSE(ComPortAPI_WriteCOM(line.data(), 20, &done));
    EXPECT_EQ(done, 0);
    EXPECT_EQ(vp::nowMs(), 16);
    int got = -1;
    EXPECT_FALSE(ComPortAPI_ReadCOM(gDataBuffer, 100, &got));
    EXPECT_EQ(got, 0);
    EXPECT_EQ(vp::nowMs(), 516);                  // silence to the deadline, no spinning
}

} // namespace
