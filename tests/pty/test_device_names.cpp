// COM port numbers to device paths: the built-in mapping, the build-time format, and the
// numbers and formats that must be refused.
#include "platform/PosixDeviceNames.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

std::string pathOf(int n, const char* format = nullptr) {
    char path[128];
    if (!PosixDeviceNames_ComPath(n, format, path, sizeof path)) {
        EXPECT_STREQ(path, "") << "a failed mapping must leave no partial path";
        return "<none>";
    }
    return path;
}

TEST(ComDeviceNames, BuiltInMappingCoversUsbAdaptersThenAcmDevicesThenUarts) {
    EXPECT_EQ(pathOf(1), "/dev/ttyUSB0");
    EXPECT_EQ(pathOf(2), "/dev/ttyUSB1");
    EXPECT_EQ(pathOf(16), "/dev/ttyUSB15");
    EXPECT_EQ(pathOf(17), "/dev/ttyACM0");
    EXPECT_EQ(pathOf(32), "/dev/ttyACM15");
    EXPECT_EQ(pathOf(33), "/dev/ttyS0");
    EXPECT_EQ(pathOf(34), "/dev/ttyS1");
    EXPECT_EQ(pathOf(99999999), "/dev/ttyS99999966");
}

TEST(ComDeviceNames, NumbersOutsideOneToEightDigitsAreRefused) {
    for (const int n : {0, -1, -32, 100000000, INT_MAX, INT_MIN}) {
        EXPECT_EQ(pathOf(n), "<none>") << n;
        EXPECT_EQ(pathOf(n, "/tmp/COM%d"), "<none>") << n;
    }
}

TEST(ComDeviceNames, FormatReceivesThePortNumberItself) {
    EXPECT_EQ(pathOf(3, "/home/tech/ports/COM%d"), "/home/tech/ports/COM3");
    EXPECT_EQ(pathOf(12, "/dev/serial/by-id/unit-%u"), "/dev/serial/by-id/unit-12");
    EXPECT_EQ(pathOf(7, "/tmp/100%%/com%i"), "/tmp/100%/com7");
    EXPECT_EQ(pathOf(99999999, "/p/COM%d"), "/p/COM99999999");
}

TEST(ComDeviceNames, FormatsThatWouldReadOtherArgumentsAreRefused) {
    for (const char* bad : {"/tmp/COM", "/tmp/COM%s", "/tmp/%d/COM%d", "/tmp/COM%5d", "/tmp/COM%", "/tmp/COM%ld",
                            "%n", "%*d"}) {
        EXPECT_EQ(pathOf(3, bad), "<none>") << bad;
    }
}

TEST(ComDeviceNames, PathThatDoesNotFitIsRefusedNotCut) {
    char small[12];
    EXPECT_FALSE(PosixDeviceNames_ComPath(3, nullptr, small, sizeof small)); // "/dev/ttyUSB2" needs 13
    EXPECT_STREQ(small, "");
    char exact[13];
    EXPECT_TRUE(PosixDeviceNames_ComPath(3, nullptr, exact, sizeof exact));
    EXPECT_STREQ(exact, "/dev/ttyUSB2");
    EXPECT_FALSE(PosixDeviceNames_ComPath(3, nullptr, nullptr, 0));
}

TEST(ComDeviceNames, TestBuildsMapPortsIntoTheirOwnFolder) {
    const std::string dir = FWUPGRADE_TEST_PORT_DIR;
    if (dir.empty()) {
        EXPECT_EQ(PosixDeviceNames_BuildFormat(), nullptr);
        return;
    }
    ASSERT_NE(PosixDeviceNames_BuildFormat(), nullptr);
    EXPECT_EQ(pathOf(3, PosixDeviceNames_BuildFormat()), dir + "/COM3");
}

} // namespace
