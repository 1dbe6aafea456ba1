// Common ground of the tests on the virtual platform: a fresh virtual clock, ports and console,
// the serial records at their initial values, and the working buffers as the entry sets them up.
#ifndef TESTS_VIRTUAL_LINE_H
#define TESTS_VIRTUAL_LINE_H

#include "ComPortAPI.h"
#include "VirtualConsole.h"
#include "VirtualPlatform.h"
#include "WorkingBuffers.h"

#include <gtest/gtest.h>

namespace vp = virtual_platform;
using velmora_sim::ReplyKind;
using velmora_sim::UnitOptions;

// The records as the program starts with them, taken before any test runs.
inline const DCB kInitialDcb = g_dcb;
inline const COMMTIMEOUTS kInitialCto = g_cto;

class VirtualLine : public ::testing::Test {
  protected:
    void SetUp() override {
        vp::reset();
        g_dcb = kInitialDcb;
        g_cto = kInitialCto;
        g_hCOM = INVALID_HANDLE_VALUE;
        gComPortNumber = gBaudRate = 0;
        ASSERT_TRUE(WorkingBuffers_Setup());
    }
    void TearDown() override { WorkingBuffers_Release(); }
    void restart() { // a fresh line for the next row of a table
        TearDown();
        SetUp();
    }

    // A unit on `port`, opened at its own rate, with the console and the counts cleared.
    velmora_sim::UnitModel& openUnit(int port, const UnitOptions& options = {}) {
        velmora_sim::UnitModel& unit = vp::attachUnit(port, options);
        ComPortAPI_SetBaudRate(static_cast<int>(options.baudRate));
        EXPECT_TRUE(ComPortAPI_OpenCOM(port));
        vp::resetCallCounts();
        virtual_console::reset();
        return unit;
    }
    static const std::string& console() { return virtual_console::output(); }
};

#endif
