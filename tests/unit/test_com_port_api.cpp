// Serial port access: line settings, open and its messages, port-number bounds, and the
// setters' skip rules, observed through the virtual platform.
#include "ComPortAPI.h"

#include "SerialTestFixture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

namespace {

namespace vp = virtual_platform;

// Every field of the line settings, in record order, as one text.
std::string describe(const DCB& d) {
    char text[160];
    std::snprintf(text, sizeof text, "%u %u | %u%u%u%u %u %u%u%u%u%u%u %u %u | %u %u %u %u %u | %X %X %X %X %X",
                  unsigned(d.DCBlength), unsigned(d.BaudRate), unsigned(d.fBinary), unsigned(d.fParity),
                  unsigned(d.fOutxCtsFlow), unsigned(d.fOutxDsrFlow), unsigned(d.fDtrControl),
                  unsigned(d.fDsrSensitivity), unsigned(d.fTXContinueOnXoff), unsigned(d.fOutX), unsigned(d.fInX),
                  unsigned(d.fErrorChar), unsigned(d.fNull), unsigned(d.fRtsControl), unsigned(d.fAbortOnError),
                  unsigned(d.XonLim), unsigned(d.XoffLim), unsigned(d.ByteSize), unsigned(d.Parity),
                  unsigned(d.StopBits), unsigned(d.XonChar), unsigned(d.XoffChar), unsigned(d.ErrorChar),
                  unsigned(d.EofChar), unsigned(d.EvtChar));
    return text;
}

class ComPort : public SerialTest {};

TEST_F(ComPort, OpenAppliesTheFixedLineSettingsQueuesAndTimeOuts) {
    vp::addEmptyPort(3);
    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    // 8N1, CTS flow control on, DTR and RTS held on, no other handshake or replacement.
    EXPECT_EQ(describe(vp::appliedDcb(3)), "28 9600 | 1010 1 000000 1 0 | 256 256 8 0 0 | 11 13 3F 1A 10");
    const COMMTIMEOUTS& cto = vp::appliedTimeouts(3);
    EXPECT_EQ(cto.ReadIntervalTimeout, 500u);
    EXPECT_EQ(cto.ReadTotalTimeoutConstant, 500u);
    EXPECT_EQ(cto.ReadTotalTimeoutMultiplier + cto.WriteTotalTimeoutMultiplier + cto.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(vp::rxQueueSize(3), 8192u);
    EXPECT_EQ(vp::txQueueSize(3), 8192u);
    const vp::CallCounts& calls = vp::calls();
    EXPECT_EQ(calls.open + calls.setQueues + calls.setTimeouts + calls.setState + calls.purge + calls.raiseDtr, 6);
    EXPECT_EQ(calls.total(), 6);
    EXPECT_EQ(virtual_console::output(), "");
}

TEST_F(ComPort, FailedOpensPrintTheirMessageWithoutLineBreak) {
    vp::addEmptyPort(8);
    vp::setPortBusy(8);
    vp::addEmptyPort(3);
    vp::refuseTimeouts(3);
    EXPECT_FALSE(ComPortAPI_OpenCOM(7));   // absent
    EXPECT_EQ(g_hCOM, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ComPortAPI_OpenCOM(8));   // open in another program
    EXPECT_FALSE(ComPortAPI_OpenCOM(3));   // time-outs refused: the state is not tried
    EXPECT_EQ(vp::calls().setState, 0);
    vp::refuseTimeouts(3, false);
    vp::refuseBaud(3, 9600);
    EXPECT_FALSE(ComPortAPI_OpenCOM(3));   // rate refused
    EXPECT_FALSE(vp::isOpen(3));
    EXPECT_EQ(vp::calls().close, 2);
    EXPECT_EQ(virtual_console::output(), "ERROR: Opening COM7 failed !ERROR: Opening COM8 failed !"
                                         "ERROR: COM3 configuration failed !ERROR: COM3 configuration failed !");
}

TEST_F(ComPort, PortNumbersOutsideOneToEightDigitsNeverReachTheSystem) {
    for (int number : {0, -1, 100000000, INT_MAX}) {
        vp::addEmptyPort(number);
        virtual_console::reset();
        EXPECT_FALSE(ComPortAPI_OpenCOM(number));
        EXPECT_FALSE(ComPortAPI_ProbeCOM(number));
        EXPECT_EQ(virtual_console::output(), "ERROR: Opening COM" + std::to_string(number) + " failed !");
        EXPECT_EQ(g_hCOM, INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(vp::calls().open, 0);
    for (int number : {10, 99999999}) {
        vp::addEmptyPort(number);
        ASSERT_TRUE(ComPortAPI_OpenCOM(number));
        EXPECT_EQ(vp::lastOpenPath(), "\\\\.\\COM" + std::to_string(number));
    }
    // A number typed too large for an int is clamped, not wrapped to port 0, and fails to open.
    virtual_console::setInput("4294967296\n");
    int typed = 0;
    ASSERT_EQ(Platform_ConsoleReadInt(&typed), 1);
    virtual_console::reset();
    EXPECT_FALSE(ComPortAPI_OpenCOM(typed));
    EXPECT_EQ(virtual_console::output(), "ERROR: Opening COM2147483647 failed !");
}

TEST_F(ComPort, SettersSkipValuesAlreadySetWithoutAnyPlatformCall) {
    g_cto.ReadTotalTimeoutConstant = 800;   // only the interval value decides
    EXPECT_TRUE(ComPortAPI_SetReadingTimeoutInMs(500));
    EXPECT_EQ(g_cto.ReadTotalTimeoutConstant, 800u);
    EXPECT_TRUE(ComPortAPI_SetBaudRate(9600));
    EXPECT_TRUE(ComPortAPI_SetHardwareFlowControl(1));
    EXPECT_EQ(vp::calls().total(), 0);
}

TEST_F(ComPort, SettersWithoutAnOpenPortStoreTheChangeForTheNextOpen) {
    vp::addEmptyPort(3);
    EXPECT_FALSE(ComPortAPI_SetBaudRate(57600));
    EXPECT_FALSE(ComPortAPI_SetReadingTimeoutInMs(1000));
    EXPECT_FALSE(ComPortAPI_SetHardwareFlowControl(0));
    EXPECT_EQ(vp::calls().setState + vp::calls().setTimeouts, 3);
    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    EXPECT_EQ(vp::appliedDcb(3).BaudRate, 57600u);
    EXPECT_EQ(vp::appliedDcb(3).fOutxCtsFlow, 0u);
    EXPECT_EQ(vp::appliedTimeouts(3).ReadIntervalTimeout, 1000u);
    EXPECT_EQ(vp::appliedTimeouts(3).ReadTotalTimeoutConstant, 1000u);
    // After a close the handle is stale: applying fails, the record still changes.
    EXPECT_TRUE(ComPortAPI_CloseCOM());
    EXPECT_FALSE(ComPortAPI_SetBaudRate(4800));
    EXPECT_EQ(g_dcb.BaudRate, 4800u);
}

TEST_F(ComPort, SettersApplyToTheOpenPortAndKeepARefusedRateStored) {
    vp::addEmptyPort(3);
    vp::refuseBaud(3, 4800);
    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    EXPECT_TRUE(ComPortAPI_SetBaudRate(115200));
    EXPECT_TRUE(ComPortAPI_SetReadingTimeoutInMs(10000));
    EXPECT_EQ(vp::appliedTimeouts(3).ReadTotalTimeoutConstant, 10000u);
    EXPECT_TRUE(ComPortAPI_SetHardwareFlowControl(2));   // the low bit counts: off
    EXPECT_EQ(vp::appliedDcb(3).fOutxCtsFlow, 0u);
    EXPECT_FALSE(ComPortAPI_SetBaudRate(4800));
    EXPECT_EQ(g_dcb.BaudRate, 4800u);
    EXPECT_EQ(vp::appliedDcb(3).BaudRate, 115200u);
    // The refused rate is what the next open applies, so that open fails to configure.
    ComPortAPI_CloseCOM();
    virtual_console::reset();
    EXPECT_FALSE(ComPortAPI_OpenCOM(3));
    EXPECT_EQ(virtual_console::output(), "ERROR: COM3 configuration failed !");
}

} // namespace
