// Port and baud-rate detection over the virtual ports, with exact virtual durations.
#include "PortDetection.h"

#include "SerialTestFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using velmora_sim::UnitOptions;
namespace vp = virtual_platform;

class Detection : public SerialTest {
protected:
    void SetUp() override {
        SerialTest::SetUp();
        // As at start-up: CTS flow control goes off before detection (no port open yet).
        ComPortAPI_SetHardwareFlowControl(0);
        vp::resetCallCounts();
    }
    static std::vector<uint32_t> writeRates(int port) {
        std::vector<uint32_t> rates;
        for (const auto& w : vp::writes(port)) {
            rates.push_back(w.baud);
        }
        return rates;
    }
    static int linesHeard(const velmora_sim::UnitModel& unit) {
        int lines = 0;
        for (const auto& entry : unit.trace()) {
            lines += entry.direction == 'R' ? 1 : 0;
        }
        return lines;
    }
    static UnitOptions at(uint32_t baud) {
        UnitOptions options;
        options.baudRate = baud;
        return options;
    }
};

TEST_F(Detection, UnitAt9600IsFoundAfterTwoUnansweredTriesAt115200) {
    velmora_sim::UnitModel& unit = vp::attachUnit(2, at(9600));
    ASSERT_TRUE(detectComPortAndBaudrate());
    EXPECT_EQ(gComPortNumber, 2);
    EXPECT_EQ(gBaudRate, 9600);
    EXPECT_EQ(g_dcb.BaudRate, 9600u);
    EXPECT_TRUE(vp::isOpen(2));
    EXPECT_EQ(vp::appliedDcb(2).BaudRate, 9600u);
    EXPECT_EQ(vp::appliedDcb(2).fOutxCtsFlow, 0u);
    EXPECT_EQ(writeRates(2), (std::vector<uint32_t>{115200, 115200, 9600}));
    EXPECT_EQ(linesHeard(unit), 1);   // the 115200 tries were noise to it
    // Two tries of 2 ms writing + 500 ms reading, then 21 ms writing and two 500 ms reads.
    EXPECT_EQ(vp::nowMs(), 2 * (2 + 500) + 21 + 500 + 500);
    EXPECT_EQ(virtual_console::output(), "");
}

TEST_F(Detection, UnitAnsweringOnlyTheSecondTryIsFoundAtThatRate) {
    UnitOptions options = at(115200);
    options.ignoreHelpQueries = 1;
    vp::attachUnit(1, options);
    ASSERT_TRUE(detectComPortAndBaudrate());
    EXPECT_EQ(gComPortNumber, 1);
    EXPECT_EQ(gBaudRate, 115200);
    EXPECT_EQ(writeRates(1), (std::vector<uint32_t>{115200, 115200}));
    // First try: 2 ms + an empty 500 ms read. Second: 2 ms, the reply, and one more empty read.
    EXPECT_EQ(vp::nowMs(), 502 + 2 + 500 + 500);
}

TEST_F(Detection, LowestNumberedPortWithAUnitWins) {
    vp::attachUnit(5, at(9600));
    vp::attachUnit(3, at(57600));
    vp::addEmptyPort(1);
    ASSERT_TRUE(detectComPortAndBaudrate());
    EXPECT_EQ(gComPortNumber, 3);
    EXPECT_EQ(gBaudRate, 57600);
    EXPECT_TRUE(vp::isOpen(3));
    EXPECT_FALSE(vp::isOpen(1));
    EXPECT_TRUE(vp::writes(5).empty());
}

TEST_F(Detection, NoPortsAtAllGivesZeroSilentlyAndAtOnce) {
    gComPortNumber = 7;
    gBaudRate = 1234;
    EXPECT_FALSE(detectComPortAndBaudrate());
    EXPECT_EQ(gComPortNumber, 0);
    EXPECT_EQ(gBaudRate, 0);
    EXPECT_EQ(virtual_console::output(), "");
    EXPECT_EQ(vp::nowMs(), 0);
    EXPECT_EQ(vp::calls().open, 32);
    EXPECT_EQ(g_dcb.BaudRate, 9600u);   // no rate was tried
}

TEST_F(Detection, EmptyPortCostsTwelveTriesAndLeavesTheLastRateStored) {
    vp::addEmptyPort(5);
    EXPECT_FALSE(detectComPortAndBaudrate());
    // Each rate: two writes of 20 bytes (2, 21, 4, 42, 84, 167 ms) and two 500 ms reads.
    EXPECT_EQ(vp::nowMs(), 2 * (2 + 21 + 4 + 42 + 84 + 167) + 12 * 500);
    EXPECT_EQ(g_dcb.BaudRate, 1200u);
    EXPECT_FALSE(vp::isOpen(5));
    // COM32's probe failed after it, so both globals are back to 0.
    EXPECT_EQ(gComPortNumber, 0);
    EXPECT_EQ(gBaudRate, 0);
}

TEST_F(Detection, FailureLeavesTheGlobalsOfTheLastPortsWalked) {
    struct Case { const char* name; bool com31Empty; int com32; int port; int baud; int configErrors; };
    enum { Absent, Empty, Busy, RefusesAllRates };
    const Case cases[] = {
        {"COM32 empty", false, Empty, 32, 1200, 0},
        {"COM32 busy", true, Busy, 0, 0, 0},
        {"COM32 refuses every rate, COM31 absent", false, RefusesAllRates, 32, 0, 6},
        {"COM32 refuses every rate, COM31 opened", true, RefusesAllRates, 32, 1200, 6},
    };
    for (const Case& c : cases) {
        restart();
        ComPortAPI_SetHardwareFlowControl(0);
        if (c.com31Empty) {
            vp::addEmptyPort(31);
        }
        if (c.com32 != Absent) {
            vp::addEmptyPort(32);
        }
        if (c.com32 == Busy) {
            vp::setPortBusy(32);
        }
        if (c.com32 == RefusesAllRates) {
            for (uint32_t rate : {115200u, 9600u, 57600u, 4800u, 2400u, 1200u}) {
                vp::refuseBaud(32, rate);
            }
        }
        EXPECT_FALSE(detectComPortAndBaudrate()) << c.name;
        EXPECT_EQ(gComPortNumber, c.port) << c.name;
        EXPECT_EQ(gBaudRate, c.baud) << c.name;
        EXPECT_FALSE(vp::isOpen(31) || vp::isOpen(32)) << c.name;
        std::string errors;
        for (int i = 0; i < c.configErrors; ++i) {
            errors += "ERROR: COM32 configuration failed !";
        }
        EXPECT_EQ(virtual_console::output(), errors) << c.name;
    }
}

TEST_F(Detection, ReplyWithoutTheFinalPromptIsNotRecognised) {
    UnitOptions options = at(9600);
    options.helpWithoutPrompt = true;
    velmora_sim::UnitModel& unit = vp::attachUnit(4, options);
    EXPECT_FALSE(detectComPortAndBaudrate());
    EXPECT_EQ(vp::writes(4).size(), 12u);
    EXPECT_EQ(linesHeard(unit), 2);   // both tries at its own rate were answered, and rejected
    EXPECT_FALSE(vp::isOpen(4));
}

TEST_F(Detection, ConfigurationFailureIsPrintedAndTheNextRateTried) {
    vp::attachUnit(3, at(9600));
    vp::refuseBaud(3, 115200);
    ASSERT_TRUE(detectComPortAndBaudrate());
    EXPECT_EQ(virtual_console::output(), "ERROR: COM3 configuration failed !");
    EXPECT_EQ(gBaudRate, 9600);
    EXPECT_EQ(vp::nowMs(), 21 + 500 + 500);
}

} // namespace
