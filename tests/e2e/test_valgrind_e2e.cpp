// The Linux executable under valgrind's memcheck, against the simulated unit: a run that
// detects the unit, reads its versions and stops at the product check must show no memory
// error and leave nothing allocated that is lost.
#include "ChildProcess.h"
#include "EndToEnd.h"
#include "PtyTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

TEST(Valgrind, UnsupportedDeviceRunIsCleanAndLeaksNothing) {
    PTY_TEST_REQUIRE_PORT_DIR();
    pty_test::makePortDir();
    for (int port = 1; port <= 32; ++port) {
        unlink(pty_test::comLink(port).c_str());
    }
    const std::string dir = E2E_WORK_DIR;
    mkdir(dir.c_str(), 0755);
    const std::string log = dir + "/valgrind.log";
    unlink(log.c_str());

    pty_test::SimProcess sim;
    ASSERT_TRUE(sim.start({"--type", "TX", "--device-code", "8", "--link", pty_test::comLink(3)}));
    ChildProcess tool({VALGRIND, "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect,possible",
                       "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=99",
                       "--log-file=" + log, VELMORA_FW_UPGRADE},
                      dir);
    ASSERT_TRUE(tool.start("\n"));
    const ChildProcess::Result run = tool.wait(std::chrono::seconds(300));
    sim.stop();
    ASSERT_TRUE(run.finished) << run.output;

    const std::string report = e2e::readFile(log);
    EXPECT_EQ(run.exitStatus, 1) << "99 means valgrind found errors:\n" << report;
    e2e::expectInOrder(run.output, {"Detecting COM port and Baud Rate..................OK\r\n", "device:8\r\n",
                                    "Checking product .......... FAILED, Unknown product\r\n"
                                    "\n\rERROR: The update was not successful.\r\n\r\nPress any key to exit"});
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
    // Either nothing is left at all, or what is left is still reachable and none of it is lost.
    const bool allFreed = report.find("All heap blocks were freed -- no leaks are possible") != std::string::npos;
    const bool noneLost = report.find("definitely lost: 0 bytes in 0 blocks") != std::string::npos &&
                          report.find("indirectly lost: 0 bytes in 0 blocks") != std::string::npos &&
                          report.find("possibly lost: 0 bytes in 0 blocks") != std::string::npos;
    EXPECT_TRUE(allFreed || noneLost) << report;
}

} // namespace
