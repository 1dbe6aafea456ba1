// Common ground of the tests that drive the serial modules on the virtual platform: a fresh
// virtual clock and set of ports, the serial records back at their initial values, and the
// working buffers set up as the entry sets them up.
#ifndef SERIAL_TEST_FIXTURE_H
#define SERIAL_TEST_FIXTURE_H

#include "ComPortAPI.h"
#include "VirtualConsole.h"
#include "VirtualPlatform.h"
#include "WorkingBuffers.h"

#include <gtest/gtest.h>

#include <string>

// The records as the program starts with them, taken before any test runs.
inline const DCB kInitialDcb = g_dcb;
inline const COMMTIMEOUTS kInitialCto = g_cto;
constexpr int64_t kStallMs = PLATFORM_WRITE_STALL_MARGIN_MS;

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        virtual_platform::reset();
        g_dcb = kInitialDcb;
        g_cto = kInitialCto;
        g_hCOM = INVALID_HANDLE_VALUE;
        gComPortNumber = 0;
        gBaudRate = 0;
        ASSERT_TRUE(WorkingBuffers_Setup());
    }
    void TearDown() override { WorkingBuffers_Release(); }
    // For tests that walk through several cases, each on a fresh line.
    void restart() {
        TearDown();
        SetUp();
    }

    // Attaches a unit to `port` and opens the port at the unit's rate, with the counters and the
    // console cleared afterwards so that a test sees only its own traffic.
    velmora_sim::UnitModel& openWithUnit(int port, const velmora_sim::UnitOptions& options = {}) {
        velmora_sim::UnitModel& unit = virtual_platform::attachUnit(port, options);
        ComPortAPI_SetBaudRate(static_cast<int>(options.baudRate));
        EXPECT_TRUE(ComPortAPI_OpenCOM(port));
        virtual_platform::resetCallCounts();
        virtual_console::reset();
        return unit;
    }
    // Reads once from the open port into gDataBuffer; returns the count.
    static int readOnce(int count) {
        int got = -1;
        ComPortAPI_ReadCOM(gDataBuffer, count, &got);
        return got;
    }
};

#endif
