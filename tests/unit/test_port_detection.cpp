// Port and baud-rate detection over the virtual ports, with exact virtual durations.
#include "PortDetection.h"

#include "SerialTestFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using velmora_sim::UnitOptions;
namespace vp = virtual_platform;

UnitOptions at(uint32_t baud) {
    UnitOptions options;
    options.baudRate = baud;
    return options;
}

std::vector<uint32_t> writeRates(int port) {
    std::vector<uint32_t> rates;
    for (const auto& w : vp::writes(port)) {
        rates.push_back(w.baud);
    }
    return rates;
}

int linesHeard(const velmora_sim::UnitModel& unit) {
    int lines = 0;
    for (const auto& entry : unit.trace()) {
        lines += entry.direction == 'R' ? 1 : 0;
    }
    return lines;
}

class Detection : public SerialTest {
protected:
    void SetUp() override {
        SerialTest::SetUp();
        ComPortAPI_SetHardwareFlowControl(0);   // as at start-up, before any port is open
        vp::resetCallCounts();
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
    EXPECT_EQ(gBaudRate, 115200);
    EXPECT_EQ(writeRates(1), (std::vector<uint32_t>{115200, 115200}));
    EXPECT_EQ(vp::nowMs(), (2 + 500) + (2 + 500 + 500));
}

TEST_F(Detection, LowestNumberedPortWithAUnitWins) {
    vp::attachUnit(5, at(9600));
    vp::attachUnit(3, at(57600));
    vp::addEmptyPort(1);
    ASSERT_TRUE(detectComPortAndBaudrate());
    EXPECT_EQ(gComPortNumber, 3);
    EXPECT_EQ(gBaudRate, 57600);
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
    EXPECT_EQ(g_dcb.BaudRate, 9600u);   // no rate was tried
}

TEST_F(Detection, EmptyPortCostsTwelveTriesAndLeavesTheLastRateStored) {
    vp::addEmptyPort(5);
    EXPECT_FALSE(detectComPortAndBaudrate());
    // Each rate: two writes of 20 bytes (2, 21, 4, 42, 84, 167 ms) and two 500 ms reads.
    EXPECT_EQ(vp::nowMs(), 2 * (2 + 21 + 4 + 42 + 84 + 167) + 12 * 500);
    EXPECT_EQ(g_dcb.BaudRate, 1200u);
    EXPECT_FALSE(vp::isOpen(5));
}

TEST_F(Detection, FailureLeavesTheGlobalsOfTheLastPortsWalked) {
    enum Com32 { Absent, Empty, Busy, RefusesEveryRate };
    struct Case { bool com31; Com32 com32; int port; int baud; int configErrors; };
    const Case cases[] = {
        {true, Absent, 0, 0, 0},             // COM32's probe failed last
        {false, Empty, 32, 1200, 0},
        {true, Busy, 0, 0, 0},
        {false, RefusesEveryRate, 32, 0, 6},    // no open after COM31's failed probe
        {true, RefusesEveryRate, 32, 1200, 6},  // the last successful open was COM31's
    };
    for (const Case& c : cases) {
        restart();
        ComPortAPI_SetHardwareFlowControl(0);
        if (c.com31) {
            vp::addEmptyPort(31);
        }
        if (c.com32 != Absent) {
            vp::addEmptyPort(32);
        }
        if (c.com32 == Busy) {
            vp::setPortBusy(32);
        }
        for (uint32_t rate : {115200u, 9600u, 57600u, 4800u, 2400u, 1200u}) {
            if (c.com32 == RefusesEveryRate) {
                vp::refuseBaud(32, rate);
            }
        }
        const int index = static_cast<int>(&c - cases);
        EXPECT_FALSE(detectComPortAndBaudrate()) << index;
        EXPECT_EQ(gComPortNumber, c.port) << index;
        EXPECT_EQ(gBaudRate, c.baud) << index;
        EXPECT_FALSE(vp::isOpen(31) || vp::isOpen(32)) << index;
        std::string errors;
        for (int i = 0; i < c.configErrors; ++i) {
            errors += "ERROR: COM32 configuration failed !";
        }
        EXPECT_EQ(virtual_console::output(), errors) << index;
    }
}

TEST_F(Detection, ReplyWithoutTheFinalPromptIsNotRecognised) {
    UnitOptions options = at(9600);
    options.helpWithoutPrompt = true;
    velmora_sim::UnitModel& unit = vp::attachUnit(4, options);
    EXPECT_FALSE(detectComPortAndBaudrate());
    EXPECT_EQ(vp::writes(4).size(), 12u);
    EXPECT_EQ(linesHeard(unit), 2);   // both tries at its own rate were answered, and rejected
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
