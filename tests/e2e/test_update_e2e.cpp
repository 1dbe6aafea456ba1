// The real update tool, as a technician runs it, against the simulated unit on a pseudo-terminal
// published as COM3 (COM1, COM2 and COM4 absent): whole TX and RX updates found by detection, and
// the runs that end early, each checked for its console text and exit status.
#include "ChildProcess.h"
#include "EndToEnd.h"
#include "PtyTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const std::string kWorkDir = E2E_WORK_DIR;

std::string freshDir(const std::string& name) { return e2e::freshDirectory(kWorkDir, name); }

struct ToolRun {
    ChildProcess::Result tool;
    std::vector<e2e::TraceLine> trace;
    std::string dir;
};

// Starts the simulator on COM3 with `simArgs`, runs the tool with `input` on its standard input,
// and collects both sides.
ToolRun runAgainstUnit(const std::string& name, std::vector<std::string> simArgs, const std::string& input = "\n") {
    ToolRun run;
    run.dir = freshDir(name);
    pty_test::makePortDir();
    for (int port : {1, 2, 3, 4}) {
        unlink(pty_test::comLink(port).c_str());
    }
    pty_test::SimProcess sim;
    simArgs.insert(simArgs.end(), {"--link", pty_test::comLink(3), "--trace", run.dir + "/unit.trace", "--images",
                                   run.dir + "/images"});
    EXPECT_TRUE(sim.start(simArgs)) << "simulator did not start";
    ChildProcess tool({VELMORA_FW_UPGRADE}, run.dir);
    EXPECT_TRUE(tool.start(input));
    run.tool = tool.wait(std::chrono::seconds(420));
    sim.stop();
    run.trace = e2e::readTrace(run.dir + "/unit.trace");
    return run;
}

const std::string kFirmwareDir = FWUPGRADE_FIRMWARE_SOURCE_DIR;

void fullUpdate(const char* name, bool rx, uint32_t baud) {
    PTY_TEST_REQUIRE_PORT_DIR();
    const ToolRun run = runAgainstUnit(name, {"--type", rx ? "RX" : "TX", "--baud", std::to_string(baud)});
    ASSERT_TRUE(run.tool.finished) << run.tool.output;
    EXPECT_EQ(run.tool.exitStatus, 0);
    const e2e::UnitUnderTest unit{rx, 3, baud};
    e2e::expectFullUpdateConsole(run.tool.output, unit);
    const auto logic =
        e2e::referenceImage(kFirmwareDir, rx ? "M627184_RX_XC7A15_V1_03.mcs" : "M627184_TX_XC7A15_V1_03.mcs");
    const auto mcu = e2e::referenceImage(kFirmwareDir, "M627184_MCU_61_V1_03.hex");
    e2e::expectFullUpdateTrace(run.trace, unit, logic, mcu);
    e2e::expectReceivedImages(run.dir + "/images", logic, mcu);
    std::printf("[ wall time ] %s: %.1f s\n", name, run.tool.seconds);
}

TEST(EndToEnd, FullTransmitterUpdateFoundAt9600) { fullUpdate("tx", false, 9600); }

TEST(EndToEnd, FullReceiverUpdateFoundAt57600) { fullUpdate("rx", true, 57600); }

TEST(EndToEnd, UnsupportedDeviceEndsAtTheProductCheck) {
    PTY_TEST_REQUIRE_PORT_DIR();
    const ToolRun run = runAgainstUnit("device8", {"--type", "TX", "--device-code", "8"});
    ASSERT_TRUE(run.tool.finished) << run.tool.output;
    EXPECT_EQ(run.tool.exitStatus, 1);
    e2e::expectInOrder(run.tool.output, {"Detecting COM port and Baud Rate..................OK\r\n",
                                         "device:8\r\n",
                                         "Checking product .......... FAILED, Unknown product\r\n"
                                         "\n\rERROR: The update was not successful.\r\n"
                                         "\r\nPress any key to exit"});
    for (const auto& line : e2e::only(run.trace, 'R')) {
        EXPECT_NE(line.text, "%%%fw -p\n\r") << "no identity query after a wrong device code";
    }
}

TEST(EndToEnd, UnitNotReadyForTheLogicUpload) {
    PTY_TEST_REQUIRE_PORT_DIR();
    const ToolRun run = runAgainstUnit("notready", {"--type", "TX", "--ready-with-line-end"});
    ASSERT_TRUE(run.tool.finished) << run.tool.output;
    EXPECT_EQ(run.tool.exitStatus, 1);
    const std::size_t end =
        e2e::expectInOrder(run.tool.output, {"TX OK\r\n", "Preparing to Upload Programmable Logic ............ "
                                                          "FAILED [Unit not ready]\r\n"
                                                          "\n\rERROR: The update was not successful.\r\n"
                                                          "\r\nPress any key to exit"});
    EXPECT_EQ(end, run.tool.output.size());
    EXPECT_EQ(run.tool.output.find("successful, the unit"), std::string::npos);
}

TEST(EndToEnd, NoUnitAttachedTakesTheManualPath) {
    PTY_TEST_REQUIRE_PORT_DIR();
    const std::string dir = freshDir("manual");
    for (int port = 1; port <= 32; ++port) {
        unlink(pty_test::comLink(port).c_str());
    }
    ChildProcess tool({VELMORA_FW_UPGRADE}, dir);
    ASSERT_TRUE(tool.start("5\n9600\n"));
    const auto result = tool.wait(std::chrono::seconds(60));
    ASSERT_TRUE(result.finished) << result.output;
    EXPECT_EQ(result.exitStatus, 255) << "-1: the port entered cannot be opened";
    EXPECT_EQ(result.output, "\n\rYou are about to upload the firmware version 1.0.3"
                             "\n\r\n\rDetecting COM port and Baud Rate..................FAILED"
                             "\n\r\n\rEnter the COM port number : "
                             "\r\nOpening COM5....................ERROR: Opening COM5 failed !"
                             "\r\nPress any key to exit");
}

TEST(EndToEnd, ManualPathOpensThePortAndSetsTheRateEntered) {
    // A unit that never answers the help query: detection gives up, the technician enters COM3
    // and 9600, and the update then ends at the product check because the unit stays silent.
    PTY_TEST_REQUIRE_PORT_DIR();
    const ToolRun run = runAgainstUnit("manual-silent", {"--type", "TX", "--silent"}, "3\n9600\n\n");
    ASSERT_TRUE(run.tool.finished) << run.tool.output;
    EXPECT_EQ(run.tool.exitStatus, 1);
    e2e::expectInOrder(run.tool.output, {"Detecting COM port and Baud Rate..................FAILED",
                                         "\n\r\n\rEnter the COM port number : ",
                                         "\r\nOpening COM3....................OK\r\n",
                                         "\n\r\n\rEnter the BAUD RATE       : ",
                                         "\r\nSetting baud rate at 9600..........OK\r\n",
                                         "Checking product .......... FAILED, Unknown product\r\n"});
}

} // namespace
