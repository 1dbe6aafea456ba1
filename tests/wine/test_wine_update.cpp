// The Windows executables, cross-built, run under Wine as a technician runs them on a PC: the
// simulated unit sits on COM7 (a pseudo-terminal behind the prefix's dosdevices/com7), COM1 to
// COM6 and COM8 to COM32 are absent. A whole TX and a whole RX update found by detection are
// checked on the same three sides as the Linux runs: the console text, the simulator's trace of
// every line, and the images the simulator received. Then the manual path with piped input, and
// the web upload file, which must be byte for byte the one the Linux build writes.
#include "EndToEnd.h"
#include "PtyTestSupport.h"
#include "WineSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kUnitPort = 7;
const std::string kFirmwareDir = FWUPGRADE_FIRMWARE_SOURCE_DIR;

struct WineRun {
    ChildProcess::Result tool;
    std::string console; // what the tool printed, text-mode line ends undone
    bool textMode = false;
    std::vector<e2e::TraceLine> trace;
    std::string dir;
};

// Starts the simulator on COM7 with `simArgs`, runs VelmoraFwUpgrade.exe under Wine with `input`
// on its standard input, and collects both sides.
WineRun runUpdateUnderWine(const std::string& name, std::vector<std::string> simArgs, const std::string& input) {
    WineRun run;
    run.dir = wine_test::freshDir(name);
    wine_test::removeAllComLinks();
    pty_test::SimProcess sim;
    simArgs.insert(simArgs.end(), {"--link", wine_test::dosDeviceLink(kUnitPort), "--trace", run.dir + "/unit.trace",
                                   "--images", run.dir + "/images"});
    EXPECT_TRUE(sim.start(simArgs)) << "simulator did not start";
    run.tool = wine_test::runUnderWine(wine_test::windowsProgram("src/VelmoraFwUpgrade.exe"), {}, run.dir, input,
                                       std::chrono::seconds(480));
    sim.stop();
    run.console = wine_test::fromTextMode(run.tool.output, &run.textMode);
    run.trace = e2e::readTrace(run.dir + "/unit.trace");
    return run;
}

void fullUpdate(const char* name, bool rx, uint32_t baud) {
    const WineRun run = runUpdateUnderWine(name, {"--type", rx ? "RX" : "TX", "--baud", std::to_string(baud)}, "\n");
    ASSERT_TRUE(run.tool.finished) << run.tool.output;
    EXPECT_EQ(run.tool.exitStatus, 0);
    EXPECT_TRUE(run.textMode) << "every line feed of a Windows console program comes as CR LF";
    const e2e::UnitUnderTest unit{rx, kUnitPort, baud};
    e2e::expectFullUpdateConsole(run.console, unit);
    const auto logic =
        e2e::referenceImage(kFirmwareDir, rx ? "M627184_RX_XC7A15_V1_03.mcs" : "M627184_TX_XC7A15_V1_03.mcs");
    const auto mcu = e2e::referenceImage(kFirmwareDir, "M627184_MCU_61_V1_03.hex");
    e2e::expectFullUpdateTrace(run.trace, unit, logic, mcu);
    e2e::expectReceivedImages(run.dir + "/images", logic, mcu);
    std::printf("[ wall time ] %s under Wine: %.1f s\n", name, run.tool.seconds);
}

TEST(WineUpdate, FullTransmitterUpdateFoundOnCom7At9600) { fullUpdate("tx", false, 9600); }

TEST(WineUpdate, FullReceiverUpdateFoundOnCom7At57600) { fullUpdate("rx", true, 57600); }

TEST(WineUpdate, ManualPathWithPipedInputWhenNoPortExists) {
    // Every COM port absent: detection gives up without a word, and the port typed in cannot be
    // opened either, so the run ends with status -1 after the key prompt.
    const std::string dir = wine_test::freshDir("manual-none");
    wine_test::removeAllComLinks();
    const auto result = wine_test::runUnderWine(wine_test::windowsProgram("src/VelmoraFwUpgrade.exe"), {}, dir,
                                                "5\n9600\n", std::chrono::seconds(120));
    ASSERT_TRUE(result.finished) << result.output;
    EXPECT_EQ(result.exitStatus, 255) << "-1 as a process status";
    bool textMode = false;
    EXPECT_EQ(wine_test::fromTextMode(result.output, &textMode),
              "\n\rYou are about to upload the firmware version 1.0.3"
              "\n\r\n\rDetecting COM port and Baud Rate..................FAILED"
              "\n\r\n\rEnter the COM port number : "
              "\r\nOpening COM5....................ERROR: Opening COM5 failed !"
              "\r\nPress any key to exit");
    EXPECT_TRUE(textMode);
}

TEST(WineUpdate, ManualPathWithPipedInputOpensThePortAndSetsTheRate) {
    // A unit that never answers: detection tries COM7 at all six rates and gives up; the port and
    // rate typed in are opened and set, and the update then stops at the product check.
    const WineRun run = runUpdateUnderWine("manual-silent", {"--type", "TX", "--silent"}, "7\n9600\n\n");
    ASSERT_TRUE(run.tool.finished) << run.tool.output;
    EXPECT_EQ(run.tool.exitStatus, 1);
    EXPECT_TRUE(run.textMode);
    const std::size_t end = e2e::expectInOrder(
        run.console, {"\n\r\n\rDetecting COM port and Baud Rate..................FAILED"
                      "\n\r\n\rEnter the COM port number : "
                      "\r\nOpening COM7....................OK\r\n"
                      "\n\r\n\rEnter the BAUD RATE       : "
                      "\r\nSetting baud rate at 9600..........OK\r\n",
                      "Checking product .......... FAILED, Unknown product\r\n"
                      "\n\rERROR: The update was not successful.\r\n"
                      "\r\nPress any key to exit"});
    EXPECT_EQ(end, run.console.size());
    // On the line: the help query twice at each of the six rates, in order (heard as a line at
    // the unit's 9600, as noise at the others), then the version query at the rate typed in,
    // with CTS flow control on, and nothing after it.
    std::vector<uint32_t> helpRates;
    for (const auto& t : run.trace) {
        uint32_t noiseRate = 0;
        if (t.direction == 'R' && t.text == "%%%help -c version\n\r") {
            helpRates.push_back(t.baud);
        } else if (t.direction == 'E' && std::sscanf(t.text.c_str(), "noise at %u baud dropped", &noiseRate) == 1) {
            helpRates.push_back(noiseRate);
        }
    }
    const std::vector<uint32_t> expectedRates = {115200, 115200, 9600, 9600, 57600, 57600,
                                                 4800,   4800,   2400, 2400, 1200,  1200};
    EXPECT_EQ(helpRates, expectedRates);
    const auto heard = e2e::only(run.trace, 'R');
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.back().text, "%%%fw -v\n\r");
    EXPECT_EQ(heard.back().baud, 9600u);
    const auto events = e2e::only(run.trace, 'E');
    const bool ctsOnForTheUpdate =
        std::any_of(events.begin(), events.end(), [](const e2e::TraceLine& t) {
            return t.text == "tool line: sends at 9600, listens at 9600, CTS flow control on";
        });
    EXPECT_TRUE(ctsOnForTheUpdate) << "Wine carries fOutxCtsFlow to the tty as CRTSCTS";
}

TEST(WineWebFile, WritesTheSameFileAsTheLinuxBuild) {
    const std::string windowsDir = wine_test::freshDir("web-windows");
    const std::string linuxDir = wine_test::freshDir("web-linux");
    const auto windows = wine_test::runUnderWine(wine_test::windowsProgram("src/VelmoraFwWebFile.exe"), {}, windowsDir,
                                                 "\n", std::chrono::seconds(120));
    ChildProcess linuxRun({VELMORA_FW_WEB_FILE_LINUX}, linuxDir);
    ASSERT_TRUE(linuxRun.start("\n"));
    const auto onLinux = linuxRun.wait(std::chrono::seconds(60));
    ASSERT_TRUE(windows.finished) << windows.output;
    ASSERT_TRUE(onLinux.finished) << onLinux.output;
    EXPECT_EQ(windows.exitStatus, 0);
    EXPECT_EQ(onLinux.exitStatus, 0);

    const std::string windowsFile = e2e::readFile(windowsDir + "/FwToUpload.bin");
    const std::string linuxFile = e2e::readFile(linuxDir + "/FwToUpload.bin");
    ASSERT_GT(linuxFile.size(), 165000u) << "five header lines and about 165 KB of Base64";
    const std::string header = "KovLar\r\n627184\r\n1.0.3\r\n";
    EXPECT_EQ(linuxFile.compare(0, header.size(), header), 0);
    EXPECT_EQ(windowsFile.size(), linuxFile.size());
    EXPECT_TRUE(windowsFile == linuxFile) << "the file is written in binary mode: no line end translated";

    bool textMode = false;
    EXPECT_EQ(wine_test::fromTextMode(windows.output, &textMode), onLinux.output) << "the same console text";
    EXPECT_TRUE(textMode);
}

} // namespace
