// The faults that only the real program shows, run as a technician runs it: what is typed at
// the two prompts (nothing, words, numbers out of range), a port held by another program, a rate
// the port refuses, and a USB adapter pulled out in the middle of the programmable-logic image.
// Each run is checked for its exact console text or verdict, its exit status, and its wall time.
#include "ChildProcess.h"
#include "EndToEnd.h"
#include "PtyTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const std::string kWorkDir = E2E_WORK_DIR;
const std::string kBanner = "\n\rYou are about to upload the firmware version 1.0.3"
                            "\n\r\n\rDetecting COM port and Baud Rate..................FAILED"
                            "\n\r\n\rEnter the COM port number : ";
constexpr int kPortOrRateRefused = 255;   // -1 as the shell sees it

void clearPorts() {
    pty_test::makePortDir();
    for (int port = 1; port <= 32; ++port) {
        unlink(pty_test::comLink(port).c_str());
    }
}

ChildProcess::Result runTool(const std::string& input, int seconds = 60) {
    mkdir(kWorkDir.c_str(), 0755);
    ChildProcess tool({VELMORA_FW_UPGRADE}, kWorkDir);
    EXPECT_TRUE(tool.start(input));
    return tool.wait(std::chrono::seconds(seconds));
}

TEST(FaultCatalogueEndToEnd, PortPromptTakesNothingButANumberInRange) {
    PTY_TEST_REQUIRE_PORT_DIR();
    clearPorts();
    // No port exists: detection fails at once and leaves the port number 0. End of input and a
    // word both keep it; numbers beyond an int are held at its largest value, not wrapped.
    struct Case { std::string input; std::string opened; };
    const Case cases[] = {
        {"", "0"}, {"abc\n", "0"}, {"4294967296\n", "2147483647"}, {"-1\n", "-1"}, {"99999999\n", "99999999"},
        {"99999999999999999999999\n", "2147483647"}, {"-4294967296\n", "-2147483648"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const ChildProcess::Result run = runTool(c.input);
        ASSERT_TRUE(run.finished) << run.output;
        EXPECT_EQ(run.exitStatus, kPortOrRateRefused);
        EXPECT_EQ(run.output, kBanner + "\r\nOpening COM" + c.opened + "....................ERROR: Opening COM" +
                                  c.opened + " failed !\r\nPress any key to exit");
        EXPECT_LT(run.seconds, 10.0);
    }
}

TEST(FaultCatalogueEndToEnd, PortHeldByAnotherProgramIsSkippedAndCannotBeOpened) {
    PTY_TEST_REQUIRE_PORT_DIR();
    clearPorts();
    pty_test::PtyPair com3(3);
    ASSERT_TRUE(com3.ok());
    // Another program holds the port the way serial programs do: an exclusive tty and a lock.
    const int held = open(com3.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(ioctl(held, TIOCEXCL), 0);
    const ChildProcess::Result run = runTool("3\n");
    ioctl(held, TIOCNXCL);
    close(held);
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exitStatus, kPortOrRateRefused);
    EXPECT_EQ(run.output, kBanner + "\r\nOpening COM3....................ERROR: Opening COM3 failed !"
                                    "\r\nPress any key to exit");
    EXPECT_LT(run.seconds, 10.0) << "a port that cannot be opened costs detection nothing";
}

TEST(FaultCatalogueEndToEnd, RatePromptTakesOnlyARateThePortAccepts) {
    PTY_TEST_REQUIRE_PORT_DIR();
    clearPorts();
    pty_test::PtyPair com3(3);   // a port with nothing answering on it
    ASSERT_TRUE(com3.ok());
    // End of input and a word leave the rate at 0, where detection left it; 12345 is no rate
    // the system knows. Each is refused without a message of its own.
    struct Case { std::string input; std::string rate; };
    const Case cases[] = {{"3\n", "0"}, {"3\nfast\n", "0"}, {"3\n12345\n", "12345"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const ChildProcess::Result run = runTool(c.input);
        ASSERT_TRUE(run.finished) << run.output;
        EXPECT_EQ(run.exitStatus, kPortOrRateRefused);
        EXPECT_EQ(run.output, kBanner + "\r\nOpening COM3....................OK\r\n"
                                        "\n\r\n\rEnter the BAUD RATE       : "
                                        "\r\nSetting baud rate at " + c.rate + ".........."
                                        "\r\nPress any key to exit");
        // Detection: six rates, two tries of half a second each, on the one port.
        EXPECT_GT(run.seconds, 6.0);
        EXPECT_LT(run.seconds, 15.0);
    }
}

TEST(FaultCatalogueEndToEnd, AdapterPulledOutDuringTheLogicImageFailsAtOnce) {
    PTY_TEST_REQUIRE_PORT_DIR();
    clearPorts();
    pty_test::SimProcess sim;
    // 200,000 bytes in: past the command lines, inside the programmable-logic image.
    ASSERT_TRUE(sim.start({"--type", "TX", "--link", pty_test::comLink(3), "--disconnect-after-bytes", "200000"}));
    const ChildProcess::Result run = runTool("\n", 120);
    sim.stop();
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exitStatus, 1);
    const std::size_t end = e2e::expectInOrder(
        run.output, {"Detecting COM port and Baud Rate..................OK\r\n", "TX OK\r\n",
                     "Preparing to Upload Programmable Logic ............ OK\r\n",
                     "Sending Programmable Logic data ................... 1%\b\b0%",
                     "%FAILED\r\n\n\rERROR: The update was not successful.\r\n\r\nPress any key to exit"});
    EXPECT_EQ(end, run.output.size());
    EXPECT_EQ(run.output.find("100%"), std::string::npos);
    EXPECT_EQ(run.output.find("successful, the unit"), std::string::npos);
    // Detection, the version and identity reads and the announcement's two 10 s reads take about
    // 25 s; the failed write ends the run at once, not after a stall.
    EXPECT_LT(run.seconds, 40.0);
}

} // namespace
