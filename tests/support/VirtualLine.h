// Common ground of the tests on the virtual platform: a fresh virtual clock, ports and console,
// the serial records at their initial values, and the working buffers as the entry sets them up.
#pragma once

#include "ComPortAPI.h"
#include "VirtualConsole.h"
#include "VirtualPlatform.h"
#include "WorkingBuffers.h"

#include <gtest/gtest.h>

namespace vp = virtual_platform;
using velmora_sim::ReplyKind, velmora_sim::UnitOptions;

// The records as the program starts with them, taken before any test runs.
inline const DCB kInitialDcb = g_dcb;
inline const COMMTIMEOUTS kInitialCto = g_cto;

struct VirtualLine : ::testing::Test {
    void SetUp() override { restart(); }
    void TearDown() override { WorkingBuffers_Release(); }
    // A fresh line, for the test and for each next row of a table (the clock and the console too).
    void restart() {
        WorkingBuffers_Release();
        vp::reset();
        g_dcb = kInitialDcb;
        g_cto = kInitialCto;
        g_hCOM = INVALID_HANDLE_VALUE;
        gComPortNumber = gBaudRate = 0;
        ASSERT_TRUE(WorkingBuffers_Setup());
    }

    // A unit on `port`, opened at its own rate.
    static void openUnit(int port, const UnitOptions& options = {}) {
        vp::attachUnit(port, options);
        ComPortAPI_SetBaudRate(static_cast<int>(options.baudRate));
        EXPECT_TRUE(ComPortAPI_OpenCOM(port));
    }
    static const std::string& console() { return virtual_console::output(); }
};
