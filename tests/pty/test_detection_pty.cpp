// Detection through the real POSIX serial layer: the pty simulator program is published as COM3
// only, and the tool must find it at its own rate and leave the port open at that rate.
#include "ComPortAPI.h"
#include "PortDetection.h"
#include "PtyTestSupport.h"
#include "WorkingBuffers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DetectionOverPty, FindsTheUnitOnCom3At9600AndLeavesThePortOpenAtThatRate) {
    PTY_TEST_REQUIRE_PORT_DIR();
    pty_test::makePortDir();
    for (const int absent : {1, 2, 4}) {
        unlink(pty_test::comLink(absent).c_str());
    }
    pty_test::SimProcess sim;
    ASSERT_TRUE(sim.start({"--link", pty_test::comLink(3)}));
    ASSERT_EQ(WorkingBuffers_Setup(), 1);
    ComPortAPI_SetHardwareFlowControl(0);

    ASSERT_EQ(detectComPortAndBaudrate(), 1);
    EXPECT_EQ(gComPortNumber, 3);
    EXPECT_EQ(gBaudRate, 9600);
    EXPECT_EQ(g_dcb.BaudRate, 9600u);

    // The far end sees the rate, and the port is held: nobody else can open it.
    const std::string ready = pty_test::readFile(sim.readyFile());
    const std::string slave = ready.substr(0, ready.find('\n'));
    const int farEnd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(farEnd, 0);
    termios seen{};
    ASSERT_EQ(tcgetattr(farEnd, &seen), 0);
    EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B9600));
    close(farEnd);
    EXPECT_EQ(Platform_SerialOpen("\\\\.\\COM3", 3), INVALID_HANDLE_VALUE);

    // And it is usable as it was left.
    const char query[] = "%%%fw -p\n\r";
    int written = 0;
    ASSERT_EQ(ComPortAPI_WriteCOM(query, sizeof query - 1, &written), 1);
    char reply[128] = {};
    int got = 0;
    ComPortAPI_ReadCOM(reply, sizeof reply - 1, &got);
    EXPECT_EQ(std::string(reply, static_cast<std::size_t>(got)), VALIDATE_TX_PRODUCT_ID_STRING);

    ComPortAPI_CloseCOM();
    WorkingBuffers_Release();
    EXPECT_TRUE(sim.stop());
}

} // namespace
