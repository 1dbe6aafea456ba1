// Serial port access: line settings, open and its messages, port-number bounds, and the
// setters' skip rules, observed through the virtual platform.
#include "ComPortAPI.h"

#include "SerialTestFixture.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

namespace vp = virtual_platform;

class ComPort : public SerialTest {};

TEST_F(ComPort, OpenAppliesTheFixedLineSettingsQueuesAndTimeOuts) {
    vp::addEmptyPort(3);
    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    const DCB& dcb = vp::appliedDcb(3);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, 1u);
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 0u);
    EXPECT_EQ(dcb.fOutX + dcb.fInX + dcb.fErrorChar + dcb.fNull + dcb.fAbortOnError, 0u);
    EXPECT_EQ(dcb.fRtsControl, 1u);
    EXPECT_EQ(dcb.XonLim, 256);
    EXPECT_EQ(dcb.XoffLim, 256);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, 0);
    EXPECT_EQ(dcb.StopBits, 0);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.ErrorChar, 0x3F);
    EXPECT_EQ(dcb.EofChar, 0x1A);
    EXPECT_EQ(dcb.EvtChar, 0x10);
    const COMMTIMEOUTS& cto = vp::appliedTimeouts(3);
    EXPECT_EQ(cto.ReadIntervalTimeout, 500u);
    EXPECT_EQ(cto.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(cto.ReadTotalTimeoutConstant, 500u);
    EXPECT_EQ(cto.WriteTotalTimeoutMultiplier + cto.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(vp::rxQueueSize(3), 8192u);
    EXPECT_EQ(vp::txQueueSize(3), 8192u);
    // Open, queues, time-outs, state, purge and DTR: once each, nothing printed.
    const vp::CallCounts& calls = vp::calls();
    EXPECT_EQ(calls.open + calls.setQueues + calls.setTimeouts + calls.setState + calls.purge + calls.raiseDtr, 6);
    EXPECT_EQ(calls.total(), 6);
    EXPECT_EQ(virtual_console::output(), "");
}

TEST_F(ComPort, FailedOpensPrintTheirMessageWithoutLineBreak) {
    vp::addEmptyPort(8);
    vp::setPortBusy(8);
    EXPECT_FALSE(ComPortAPI_OpenCOM(7));   // absent
    EXPECT_EQ(g_hCOM, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ComPortAPI_OpenCOM(8));   // open in another program
    EXPECT_EQ(virtual_console::output(), "ERROR: Opening COM7 failed !ERROR: Opening COM8 failed !");
}

TEST_F(ComPort, ConfigurationFailureClosesThePort) {
    vp::addEmptyPort(3);
    vp::refuseTimeouts(3);
    EXPECT_FALSE(ComPortAPI_OpenCOM(3));
    EXPECT_EQ(vp::calls().setState, 0);   // not tried once the time-outs failed
    EXPECT_FALSE(vp::isOpen(3));

    vp::refuseTimeouts(3, false);
    vp::refuseBaud(3, 9600);
    EXPECT_FALSE(ComPortAPI_OpenCOM(3));
    EXPECT_FALSE(vp::isOpen(3));
    EXPECT_EQ(vp::calls().close, 2);
    EXPECT_EQ(virtual_console::output(), "ERROR: COM3 configuration failed !ERROR: COM3 configuration failed !");
}

TEST_F(ComPort, PortNumbersOutsideOneToEightDigitsNeverReachTheSystem) {
    vp::addEmptyPort(0);
    vp::addEmptyPort(-1);
    vp::addEmptyPort(100000000);
    for (int number : {0, -1, 100000000, INT_MAX}) {
        virtual_console::reset();
        EXPECT_FALSE(ComPortAPI_OpenCOM(number));
        EXPECT_FALSE(ComPortAPI_ProbeCOM(number));
        EXPECT_EQ(virtual_console::output(), "ERROR: Opening COM" + std::to_string(number) + " failed !");
        EXPECT_EQ(g_hCOM, INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(vp::calls().open, 0);

    vp::addEmptyPort(99999999);
    vp::addEmptyPort(10);
    ASSERT_TRUE(ComPortAPI_OpenCOM(99999999));
    EXPECT_EQ(vp::lastOpenPath(), "\\\\.\\COM99999999");
    ASSERT_TRUE(ComPortAPI_OpenCOM(10));
    EXPECT_EQ(vp::lastOpenPath(), "\\\\.\\COM10");
}

TEST_F(ComPort, TypedPortNumberTooLargeForAnIntClampsAndFailsToOpen) {
    virtual_console::setInput("4294967296\n");
    int number = 0;
    ASSERT_EQ(Platform_ConsoleReadInt(&number), 1);
    EXPECT_EQ(number, INT_MAX);   // not wrapped to port 0
    EXPECT_FALSE(ComPortAPI_OpenCOM(number));
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
    EXPECT_EQ(vp::calls().setState, 2);
    EXPECT_EQ(vp::calls().setTimeouts, 1);
    EXPECT_EQ(g_cto.ReadIntervalTimeout, 1000u);
    EXPECT_EQ(g_cto.ReadTotalTimeoutConstant, 1000u);

    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    EXPECT_TRUE(ComPortAPI_CloseCOM());
    // A closed port's handle is stale: applying to it fails, the record still changes.
    EXPECT_FALSE(ComPortAPI_SetBaudRate(4800));
    EXPECT_EQ(g_dcb.BaudRate, 4800u);
    EXPECT_EQ(vp::appliedDcb(3).BaudRate, 57600u);
    EXPECT_EQ(vp::appliedDcb(3).fOutxCtsFlow, 0u);
    EXPECT_EQ(vp::appliedTimeouts(3).ReadTotalTimeoutConstant, 1000u);
}

TEST_F(ComPort, SettersApplyToTheOpenPortAndKeepARefusedRateStored) {
    vp::addEmptyPort(3);
    vp::refuseBaud(3, 4800);
    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    EXPECT_TRUE(ComPortAPI_SetBaudRate(115200));
    EXPECT_EQ(vp::appliedDcb(3).BaudRate, 115200u);
    EXPECT_TRUE(ComPortAPI_SetReadingTimeoutInMs(10000));
    EXPECT_EQ(vp::appliedTimeouts(3).ReadIntervalTimeout, 10000u);
    EXPECT_EQ(vp::appliedTimeouts(3).ReadTotalTimeoutConstant, 10000u);

    EXPECT_FALSE(ComPortAPI_SetBaudRate(4800));
    EXPECT_EQ(g_dcb.BaudRate, 4800u);
    EXPECT_EQ(vp::appliedDcb(3).BaudRate, 115200u);
    // The refused rate is what the next open applies, so that open fails to configure.
    ComPortAPI_CloseCOM();
    virtual_console::reset();
    EXPECT_FALSE(ComPortAPI_OpenCOM(3));
    EXPECT_EQ(virtual_console::output(), "ERROR: COM3 configuration failed !");
}

TEST_F(ComPort, FlowControlTakesTheLowBitOfItsArgument) {
    vp::addEmptyPort(3);
    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    EXPECT_TRUE(ComPortAPI_SetHardwareFlowControl(2));
    EXPECT_EQ(g_dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(vp::appliedDcb(3).fOutxCtsFlow, 0u);
    EXPECT_TRUE(ComPortAPI_SetHardwareFlowControl(3));
    EXPECT_EQ(vp::appliedDcb(3).fOutxCtsFlow, 1u);
}

} // namespace
