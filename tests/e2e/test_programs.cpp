// The real programs as a technician runs them, on each platform through one table: the Linux
// program over a pseudo-terminal, the Windows program under Wine (the unit behind the prefix's
// dosdevices/comN), the Linux program under valgrind's memcheck, and the static release program
// in a QEMU guest whose emulated FTDI adapter runs the kernel's real USB serial driver, or whose
// unit is a USB CDC device behind the kernel's real cdc_acm driver (the unit then runs in the
// guest). The simulated unit (VelmoraUnitSim) sits at the far end; its trace and the images it
// received are checked beside the console and the exit status.
#include "ChildProcess.h"
#include "ComLink.h"
#include "ConsoleText.h"
#include "Files.h"
#include "ReferenceHex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace console_text;
using Heard = std::vector<std::pair<std::string, uint32_t>>;
using Pieces = std::vector<std::string>;

// Wine in the tests' own prefix, without its mount manager (which would give the machine's serial
// devices COM numbers): a dosdevices/comN link is COMn, an absent link an absent port.
const bool kWineEnvironment = setenv("WINEPREFIX", WINE_PREFIX_DIR, 1) == 0 && setenv("WINEDEBUG", "-all", 1) == 0 &&
                              setenv("WINEDLLOVERRIDES", "mountmgr.sys=d;winemenubuilder.exe=d", 1) == 0;

// Where a program runs and where its COM ports are.
struct Launcher {
    std::string name;
    int port;          // where the unit is published
    int foundAt = 0;   // the rate detection finds the unit at, when not the unit's own
    // In the QEMU guest: the unit behind the emulated FTDI adapter (qemu, qemuwine), or itself in
    // the guest as a USB CDC device (cdc).
    bool guest() const { return adapter() || name == "cdc"; }
    bool adapter() const { return name.compare(0, 4, "qemu") == 0; }
    bool windows() const { return name.find("wine") != std::string::npos; }
    // COMn's link; in the guest the pty behind the adapter, one per run in its folder, so that the
    // guest runs need no lock and run side by side.
    std::string link(int n, const std::string& folder) const {
        return name == "wine" ? WINE_PREFIX_DIR "/dosdevices/com" + std::to_string(n)
               : guest()      ? folder + "/adapter" : FWUPGRADE_TEST_PORT_DIR "/COM" + std::to_string(n);
    }
    // In the guest a unit plugs the emulated adapter in, and `pullOut` unplugs it once the logic
    // image has begun, as the unit's disappearance does on the other platforms; on qemuwine the
    // guest runs the Windows program under the host's Wine; on cdc the unit runs in the guest.
    std::vector<std::string> argv(const std::string& program, const std::string& folder, const std::string& typed,
                                  const Pieces& unit = {}, bool pullOut = false) const {
        if (name == "wine") {
            return {WINE_PROGRAM, WINDOWS_BUILD_DIR "/src/" + program + ".exe"};
        }
        if (name == "valgrind") {
            return {VALGRIND, "--leak-check=full", "--errors-for-leak-kinds=definite,indirect,possible",
                    "--error-exitcode=99", "--log-file=" + folder + "/valgrind.log", VELMORA_FW_UPGRADE};
        }
        if (!guest()) {
            return {program == "VelmoraFwUpgrade" ? VELMORA_FW_UPGRADE : VELMORA_FW_WEB_FILE};
        }
        std::string options;
        for (const std::string& option : unit) {
            options += option + " ";
        }
        const bool cdc = name == "cdc";
        return {"/bin/bash", REALDRIVER_SCRIPT, "--input", typed, "--log", folder + "/guest.log", "--adapter", // empty: none
                adapter() && !unit.empty() ? link(port, folder) : "", "--unplug-when", adapter() && pullOut ? kSendLogic : "",
                "--wine", windows() ? WINDOWS_BUILD_DIR "/src/" + program + ".exe" : "", "--cdc", cdc ? options : "",
                "--unit-dir", cdc ? folder : "", REALDRIVER_DIR};
    }
};

// What one copy of the update tool did, and what its unit (if any) heard and sent.
struct ToolRun {
    ChildProcess::Result tool;
    std::string console; // as the program wrote it, a Windows console's CR LF for LF undone
    Heard heard, sent;   // the lines the unit heard and what it sent, with their rates
    std::string folder;
    double sendingAt = -1, failedAt = -1; // when the logic image began and when FAILED showed
};

// Runs of the tool, one copy per unit of `sims`: the n-th unit on the port after the (n-1)-th, its
// copy started once the copy before has shown the port it found, as a technician updates a pair.
std::vector<ToolRun> run(const Launcher& launcher, const std::string& name, std::vector<Pieces> sims, std::string typed,
                         bool pullOut = false) {
    for (int n = 1; n <= 32 && !launcher.guest(); ++n) { // the other ports absent
        std::remove(launcher.link(n, "").c_str());
    }
    std::vector<ToolRun> runs(sims.size());
    std::deque<SimulatedUnit> units;
    std::deque<ChildProcess> tools;
    for (std::size_t i = 0; i < sims.size(); ++i) {
        runs[i].folder = freshFolder(E2E_WORK_DIR "/" + launcher.name + "-" + name + (i > 0 ? std::to_string(i + 1) : ""));
        const bool attached = !sims[i].empty() && launcher.name != "cdc";
        if (pullOut && !launcher.adapter()) {
            sims[i].insert(sims[i].end(), {"--disconnect-after-bytes", "200000"});
        }
        units.emplace_back(launcher.link(launcher.port + static_cast<int>(i), runs[i].folder), runs[i].folder, sims[i]);
        EXPECT_TRUE(!attached || units.back().start()) << "the simulated unit did not start";
        tools.emplace_back(launcher.argv("VelmoraFwUpgrade", runs[i].folder, typed, sims[i], pullOut), runs[i].folder);
    }
    for (std::size_t i; (i = typed.find("\\n")) != std::string::npos;) {
        typed.replace(i, 2, "\n");
    }
    for (std::size_t i = 0; i < tools.size(); ++i) {
        EXPECT_TRUE(tools[i].start(launcher.guest() ? "" : typed));
        EXPECT_TRUE(i + 1 == tools.size() || tools[i].waitForOutput("COM PORT Number", std::chrono::seconds(120)));
    }
    if (tools[0].waitForOutput(kSendLogic, std::chrono::seconds(120))) {
        runs[0].sendingAt = tools[0].seconds();
        runs[0].failedAt = tools[0].waitForOutput("FAILED\r", std::chrono::seconds(60)) ? tools[0].seconds() : -1;
    }
    for (std::size_t i = 0; i < tools.size(); ++i) {
        runs[i].tool = tools[i].wait(std::chrono::seconds(480));
        units[i].stop();
    }
    if (launcher.adapter()) { // its console comes at its end: the time from the unplug, and what Wine said
        const std::string log = readFile(runs[0].folder + "/guest.log");
        const std::size_t unplug = log.find("after the unplug: "), wine = log.find("@@wine-comm");
        runs[0].sendingAt = 0, runs[0].failedAt = unplug == std::string::npos ? -1 : std::atof(log.c_str() + unplug + 18);
        std::printf("%s", wine == std::string::npos ? "" : log.substr(wine, log.find("@@velmora-output") - wine).c_str());
    } else if (launcher.name == "cdc") { // the kernel's "USB disconnect" and the tool's end, on the guest's clock
        const std::string log = readFile(runs[0].folder + "/guest.log");
        const std::size_t gone = log.find("USB disconnect"), end = log.find("] velmora-init: the tool ended");
        runs[0].sendingAt = gone == std::string::npos ? -1 : std::atof(log.c_str() + log.rfind('[', gone) + 1);
        runs[0].failedAt = end == std::string::npos ? -1 : std::atof(log.c_str() + log.rfind('[', end) + 1);
    }
    ChildProcess server({WINESERVER_PROGRAM, "-w"}); // Wine's server holds the ports until it has gone
    if (launcher.name == "wine" && server.start()) {
        server.wait(std::chrono::seconds(60));
    }
    for (ToolRun& r : runs) { // the console, and the unit's trace
        for (std::size_t i = 0; i < r.tool.output.size(); ++i) {
            r.console += r.tool.output[launcher.windows() && r.tool.output.compare(i, 2, "\r\n") == 0 ? ++i : i];
        }
        // The trace: "<ms> <R|S|E> <baud> <text>", the text escaped as \r \n \t \\ \xNN.
        const std::string trace = readFile(r.folder + "/unit.trace");
        for (std::size_t at = 0, end; (end = trace.find('\n', at)) != std::string::npos; at = end + 1) {
            char direction = 0;
            unsigned baud = 0;
            int text = 0;
            std::sscanf(trace.c_str() + at, "%*d %c %u %n", &direction, &baud, &text);
            std::string line;
            for (std::size_t i = at + static_cast<std::size_t>(text); i < end; ++i) {
                const char c = trace[i] == '\\' ? trace[++i] : '\0';
                line += c == '\0' ? trace[i] : c == 'x' ? static_cast<char>(std::stoi(trace.substr(i + 1, 2), nullptr, 16))
                                           : c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
                i += c == 'x' ? 2 : 0;
            }
            if (direction != 'E') { // not the events
                (direction == 'R' ? r.heard : r.sent).emplace_back(line, baud);
            }
        }
    }
    return runs;
}

std::string image(const std::string& file) { return reference_hex::imageSent(readFile(FWUPGRADE_FIRMWARE_SOURCE_DIR "/" + file)); }

// Whole updates found by detection, one copy of the tool per unit side by side: every line heard
// at the rate of its phase, both images received byte for byte, SUCCESS at 115200, the boot text
// at the unit's rate, and the console from the banner to the key prompt. A unit is --type T
// --baud B [--pacing]; one that reboots without its boot text (--no-boot-text) ends with status 3
// and no success line.
class Programs : public ::testing::TestWithParam<std::pair<Launcher, std::vector<Pieces>>> {};

TEST_P(Programs, WholeUpdate) {
    const auto& [launcher, units] = GetParam();
    const std::vector<ToolRun> runs = run(launcher, "whole", units, "\\n");
    for (std::size_t n = 0; n < units.size(); ++n) {
        const Pieces& unit = units[n];
        const ToolRun& r = runs[n];
        SCOPED_TRACE(unit[1] + " at " + unit[3]);
        const bool rx = unit[1] == "RX", back = std::find(unit.begin(), unit.end(), "--no-boot-text") == unit.end();
        const uint32_t baud = static_cast<uint32_t>(std::stoul(unit[3]));
        ASSERT_TRUE(r.tool.finished) << r.tool.output;
        EXPECT_EQ(r.tool.status, back ? 0 : 3);
        Pieces console = wholeUpdate(launcher.port + static_cast<int>(n), launcher.foundAt > 0 ? launcher.foundAt : static_cast<int>(baud), rx);
        console.back().replace(console.back().size() - kSuccess.size(), std::string::npos, back ? kSuccess : kKey);
        expectPieces(r.console, console);
        const std::string logic = image(rx ? "M627184_RX_XC7A15_V1_03.mcs" : "M627184_TX_XC7A15_V1_03.mcs");
        const std::string mcu = image("M627184_MCU_61_V1_03.hex");
        Heard expected = {{"%%%help -c version\n\r", baud}, {"%%%fw -v\n\r", baud}, {"%%%fw -p\n\r", baud}};
        expected.resize(rx ? 4 : 3, expected.back());
        expected.insert(expected.end(), {{announce('l', logic), baud}, {announce('h', mcu), 115200}});
        // Detection's query counts once: the simulator reads the tool's rate off the pty when it reads
        // the bytes, so under load a probe sent at the rate before can be read after the tool's next
        // rate change and heard at the unit's rate (seen with the Windows build in the guest).
        Heard heard = r.heard;
        while (heard.size() > 1 && heard[1] == heard[0]) {
            heard.erase(heard.begin());
        }
        EXPECT_EQ(heard, expected);
        EXPECT_EQ(readFile(r.folder + "/images/l.bin"), logic);
        EXPECT_EQ(readFile(r.folder + "/images/h.bin"), mcu);
        Heard ends, expectedEnds = {{"S", 115200}, {"S", 115200}, {"[", baud}}; // the two SUCCESS and the boot text
        for (const auto& [text, rate] : r.sent) {
            if (text == "SUCCESS" || text[0] == '[') {
                ends.emplace_back(text.substr(0, 1), rate);
            }
        }
        expectedEnds.resize(back ? 3 : 2);
        EXPECT_EQ(ends, expectedEnds);
    }
    std::printf("[ wall time ] %s whole update: %.1f s\n", launcher.name.c_str(), runs[0].tool.seconds);
}

// The runs that end early, by what the unit does and what is typed ('@' is the unit's port).
struct Scenario {
    std::string name;
    Pieces sim; // the unit's options; none: no unit on any port
    std::string typed;
    int status;
    Pieces (*console)(int port);
    bool pulledOut = false;          // the unit (the adapter) vanishes inside the logic image
    // FAILED this long after the logic image began (min, max); in the QEMU guest, whose console
    // comes when it ends, the guest's end this long after the unplug (cdc: the tool's end after the
    // kernel saw the unit leave the bus; a unit that only closed its port shows no such time).
    double failedAfterS[2] = {0, 0};
};

const Scenario kScenarios[] = {
    {"no_port", {}, "5\\n9600\\n", 255, [](int) { return Pieces{notOpened("5")}; }},
    {"manual", {"--silent"}, "@\\n9600\\n", 1, [](int p) { return Pieces{manual(p, 9600) + kUnknown}; }},
    {"device8", {"--device-code", "8"}, "\\n", 1, [](int p) { return Pieces{found(p, 9600) + versions("QV7TX", "8") + kUnknown}; }},
    {"not_ready", {"--ready-with-line-end"}, "\\n", 1,
     [](int p) { return Pieces{found(p, 9600) + versions("QV7TX", "9") + kProduct + kTxOk + kLogic + "FAILED [Unit not ready]\r\n" + kFailed}; }},
    // The unit stops taking bytes inside the logic image: the write held back fails after its
    // line time (10,240 bytes at 115200: 0.89 s) and the 15 s margin.
    {"stalled", {"--cts-low-after-bytes", "200000"}, "\\n", 1,
     [](int p) { return Pieces{found(p, 9600), kSendLogic, "%FAILED\r\n" + kFailed}; }, false, {15, 17.5}},
    // The unit vanishes inside the logic image, like an adapter pulled out: the write fails at once.
    {"vanished", {"--type", "TX"}, "\\n", 1, [](int p) { return Pieces{found(p, 9600), kSendLogic, "%FAILED\r\n" + kFailed}; },
     true, {0, 2}},
    {"no_adapter", {}, "1\\n", 255, [](int) { return Pieces{notOpened("1")}; }},
    {"unplugged", {"--baud", "57600"}, "\\n", 1, [](int p) { return Pieces{found(p, 57600), kSendLogic, "%FAILED\r\n" + kFailed}; },
     true, {0, 10}}, // a stall would add its 15 s
    // A native-USB unit leaves the bus inside the logic image: any rate is its own, so it is found at the first.
    {"cdc_unplugged", {"--baud", "57600"}, "\\n", 1, [](int p) { return Pieces{found(p, 115200), kSendLogic, "%FAILED\r\n" + kFailed}; },
     true, {0, 10}},
};

class ShortRuns : public ::testing::TestWithParam<std::pair<Launcher, Scenario>> {};

TEST_P(ShortRuns, EndAsTheyMust) {
    const auto& [launcher, s] = GetParam();
    std::string typed = s.typed;
    if (const std::size_t at = typed.find('@'); at != std::string::npos) {
        typed.replace(at, 1, std::to_string(launcher.port));
    }
    const ToolRun r = run(launcher, s.name, {s.sim}, typed, s.pulledOut)[0];
    ASSERT_TRUE(r.tool.finished) << r.tool.output;
    EXPECT_EQ(r.tool.status, s.status) << (launcher.name == "valgrind" ? readFile(r.folder + "/valgrind.log") : "");
    expectPieces(r.console, s.console(launcher.port));
    const double took = r.failedAt - r.sendingAt;
    if (s.failedAfterS[1] > 0) {
        EXPECT_GE(took, s.failedAfterS[0]);
        EXPECT_LE(took, s.failedAfterS[1]);
        std::printf("[ measured ] %s: %.2f s\n", s.name.c_str(), took);
    }
}

const Launcher kLinux{"linux", 3}, kWine{"wine", 7}, kValgrind{"valgrind", 3}, kQemu{"qemu", 1}, kQemuWine{"qemuwine", 1},
    kCdc{"cdc", 17, 115200};

std::vector<std::pair<Launcher, Scenario>> runs(const Launcher& launcher, const Pieces& names) {
    std::vector<std::pair<Launcher, Scenario>> picked;
    for (const std::string& name : names) {
        const auto* s = std::find_if(std::begin(kScenarios), std::end(kScenarios), [&](auto& s) { return s.name == name; });
        picked.emplace_back(launcher, *s);
    }
    return picked;
}

std::string wholeName(const ::testing::TestParamInfo<std::pair<Launcher, std::vector<Pieces>>>& info) { return info.param.first.name; }
std::string shortName(const ::testing::TestParamInfo<std::pair<Launcher, Scenario>>& info) {
    return info.param.first.name + "_" + info.param.second.name;
}

// Linux: a pair, each unit paced at its true line rate behind a driver queue like a real one, and
// beside it a unit that reboots silently. Wine: a pair, which only holds when the Windows program
// keeps a port to one copy. QEMU: the release program through the kernel's ftdi_sio driver, COM1
// (/dev/ttyUSB0) at 57600.
using Units = std::vector<Pieces>;
INSTANTIATE_TEST_SUITE_P(linux, Programs, ::testing::Values(std::pair{kLinux, Units{{"--type", "RX", "--baud", "57600", "--pacing"},
    {"--type", "TX", "--baud", "9600", "--pacing"}, {"--type", "TX", "--baud", "115200", "--no-boot-text"}}}), wholeName);
INSTANTIATE_TEST_SUITE_P(linux, ShortRuns, ::testing::ValuesIn(runs(kLinux, {"no_port", "manual", "device8", "stalled"})), shortName);
INSTANTIATE_TEST_SUITE_P(valgrind, ShortRuns, ::testing::ValuesIn(runs(kValgrind, {"device8"})), shortName);
INSTANTIATE_TEST_SUITE_P(wine, Programs, ::testing::Values(std::pair{kWine, Units{{"--type", "TX", "--baud", "9600"},
    {"--type", "RX", "--baud", "57600"}}}), wholeName);
INSTANTIATE_TEST_SUITE_P(wine, ShortRuns,
                         ::testing::ValuesIn(runs(kWine, {"no_port", "manual", "device8", "not_ready", "stalled", "vanished"})), shortName);
INSTANTIATE_TEST_SUITE_P(qemu, Programs, ::testing::Values(std::pair{kQemu, Units{{"--type", "TX", "--baud", "57600"}}}), wholeName);
INSTANTIATE_TEST_SUITE_P(qemu, ShortRuns, ::testing::ValuesIn(runs(kQemu, {"no_adapter", "unplugged"})), shortName);
// The Windows build under Wine in the same guest, through the same driver: RX at 9600.
INSTANTIATE_TEST_SUITE_P(qemuwine, Programs, ::testing::Values(std::pair{kQemuWine, Units{{"--type", "RX", "--baud", "9600"}}}), wholeName);
INSTANTIATE_TEST_SUITE_P(qemuwine, ShortRuns, ::testing::ValuesIn(runs(kQemuWine, {"unplugged"})), shortName);

// The unit as a USB CDC device in the guest (COM17, /dev/ttyACM0 through cdc_acm), answering at
// any rate: its own is 57600, the tool finds it at 115200.
INSTANTIATE_TEST_SUITE_P(cdc, Programs, ::testing::Values(std::pair{kCdc, Units{{"--type", "RX", "--baud", "57600"}}}), wholeName);
INSTANTIATE_TEST_SUITE_P(cdc, ShortRuns, ::testing::ValuesIn(runs(kCdc, {"cdc_unplugged"})), shortName);

// On a real device the simulator refuses, with the reason, what cannot work there; a file that
// is no serial device fails to open.
TEST(Simulator, RefusesWhatCannotWorkOnItsLine) {
    const std::tuple<Pieces, int, std::string> kRefused[] = {
        {{"--usb-cdc", "--link", "x"}, 2, "--usb-cdc needs --port"},
        {{"--port", "/dev/null", "--link", "x"}, 2, "--link publishes a pty"},
        {{"--port", "/dev/null", "--pacing"}, 2, "--pacing cannot work on a device"},
        {{"--port", "/dev/null", "--usb-cdc", "--cts-low-until", "9"}, 2, "a USB CDC port has no CTS line"},
        {{"--port", "/dev/null", "--disconnect-after-bytes", "9"}, 2, "cannot work on a UART"},
        {{"--port", "/dev/null", "--usb-cdc", "--disconnect-after-bytes", "9"}, 1, "/dev/null is not a serial device"},
    };
    for (const auto& [options, status, reason] : kRefused) {
        Pieces argv = {"/bin/sh", "-c", "\"$0\" \"$@\" 2>&1", VELMORA_UNIT_SIM};
        argv.insert(argv.end(), options.begin(), options.end());
        ChildProcess sim(argv, freshFolder(E2E_WORK_DIR "/refused"));
        ASSERT_TRUE(sim.start());
        const ChildProcess::Result result = sim.wait(std::chrono::seconds(20));
        EXPECT_EQ(result.status, status) << reason;
        EXPECT_NE(result.output.find(reason), std::string::npos) << result.output;
    }
}

// The Windows programs are console programs that need only the system's DLLs and reserve the
// 2 MiB stack; the web file is byte for byte the one the Linux program writes.
TEST(WineOnly, WindowsProgramsAndTheWebFile) {
    for (const std::string program : {"VelmoraFwUpgrade", "VelmoraFwWebFile"}) {
        ChildProcess objdump({MINGW_OBJDUMP, "-p", WINDOWS_BUILD_DIR "/src/" + program + ".exe"}, E2E_WORK_DIR);
        ASSERT_TRUE(objdump.start());
        const std::string headers = objdump.wait(std::chrono::seconds(60)).output;
        EXPECT_NE(headers.find("SizeOfStackReserve\t0000000000200000"), std::string::npos) << program;
        EXPECT_NE(headers.find("(Windows CUI)"), std::string::npos) << program;
        EXPECT_EQ(headers.find("DLL Name: lib"), std::string::npos) << program << " needs a runtime DLL";
    }
    std::string files[2];
    for (const Launcher& launcher : {kWine, kLinux}) {
        const std::string folder = freshFolder(E2E_WORK_DIR "/web-" + launcher.name);
        ChildProcess program(launcher.argv("VelmoraFwWebFile", folder, ""), folder);
        ASSERT_TRUE(program.start("\n"));
        EXPECT_EQ(program.wait(std::chrono::seconds(120)).status, 0);
        files[launcher.name == "wine" ? 0 : 1] = readFile(folder + "/FwToUpload.bin");
    }
    EXPECT_GT(files[1].size(), 165000u);
    EXPECT_TRUE(files[0] == files[1]) << "written in binary mode: no line end translated";
}

} // namespace
