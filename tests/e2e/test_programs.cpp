// The real programs as a technician runs them, on each platform through one table: the Linux
// program over a pseudo-terminal, the Windows program under Wine (the unit behind the prefix's
// dosdevices/comN), the Linux program under valgrind's memcheck, and the static release program
// in a QEMU guest whose emulated FTDI adapter runs the kernel's real USB serial driver. The
// simulated unit (VelmoraUnitSim) sits at the far end; its trace and the images it received are
// checked beside the console and the exit status.
#include "ChildProcess.h"
#include "ComLink.h"
#include "ConsoleText.h"
#include "Files.h"
#include "ReferenceHex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace console_text;
using Heard = std::vector<std::pair<std::string, uint32_t>>;

// Wine in the tests' own prefix, without its mount manager (which would give the machine's serial
// devices COM numbers): a dosdevices/comN link is COMn, an absent link an absent port.
const bool kWineEnvironment = setenv("WINEPREFIX", WINE_PREFIX_DIR, 1) == 0 && setenv("WINEDEBUG", "-all", 1) == 0 &&
                              setenv("WINEDLLOVERRIDES", "mountmgr.sys=d;winemenubuilder.exe=d", 1) == 0 &&
                              setenv("DISPLAY", "", 1) == 0;

// Where a program runs and where its COM ports are.
struct Launcher {
    std::string name;
    int port; // where the unit is published
    std::string link(int n) const {
        if (name == "wine") {
            return std::string(WINE_PREFIX_DIR) + "/dosdevices/com" + std::to_string(n);
        }
        return name == "qemu" ? std::string(E2E_WORK_DIR) + "/qemu-com" : FWUPGRADE_TEST_PORT_DIR "/COM" + std::to_string(n);
    }
    // The command line; on QEMU `adapter` plugs the emulated adapter in and `pullOut` unplugs it
    // once the logic image has begun, as the unit's disappearance does on the others.
    std::vector<std::string> argv(const std::string& program, const std::string& folder, const std::string& typed,
                                  bool adapter = false, bool pullOut = false) const {
        if (name == "wine") {
            return {WINE_PROGRAM, std::string(WINDOWS_BUILD_DIR) + "/src/" + program + ".exe"};
        }
        if (name == "valgrind") {
            return {VALGRIND, "--leak-check=full", "--errors-for-leak-kinds=definite,indirect,possible",
                    "--error-exitcode=99", "--log-file=" + folder + "/valgrind.log", VELMORA_FW_UPGRADE};
        }
        if (name == "qemu") {
            std::vector<std::string> args = {"/bin/bash", REALDRIVER_SCRIPT, "--input", typed, "--log", folder + "/guest.log"};
            if (adapter) {
                args.insert(args.end(), {"--adapter", link(port)});
            }
            if (pullOut) {
                args.insert(args.end(), {"--unplug-when", kSendLogic});
            }
            return args.push_back(REALDRIVER_DIR), args;
        }
        return {program == "VelmoraFwUpgrade" ? VELMORA_FW_UPGRADE : VELMORA_FW_WEB_FILE};
    }
};

struct TraceLine {
    char direction; // R line received, S text sent, E event
    uint32_t baud;
    std::string text;
};

std::vector<TraceLine> readTrace(const std::string& path) {
    std::vector<TraceLine> trace;
    const std::string all = readFile(path);
    for (std::size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = all.substr(at, end - at);
        TraceLine t{};
        int text = 0;
        if (std::sscanf(line.c_str(), "%*d %c %u %n", &t.direction, &t.baud, &text) < 2) {
            continue;
        }
        for (std::size_t i = static_cast<std::size_t>(text); i < line.size(); ++i) { // undo \r \n \t \\ \xNN
            if (line[i] != '\\' || i + 1 >= line.size()) {
                t.text += line[i];
            } else if (const char c = line[++i]; c == 'x') {
                t.text += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                t.text += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
            }
        }
        trace.push_back(t);
    }
    return trace;
}

// One run of the update tool against a unit started with `sim` options (none when empty).
struct ToolRun {
    ChildProcess::Result tool;
    std::string console; // as the program wrote it, a Windows console's CR LF for LF undone
    std::vector<TraceLine> trace;
    std::string folder;
    double sendingAt = -1, failedAt = -1; // when the logic image began and when FAILED showed
};

ToolRun run(const Launcher& launcher, const std::string& name, std::vector<std::string> sim, const std::string& typed,
        bool pullOut = false) {
    ToolRun r;
    r.folder = freshFolder(std::string(E2E_WORK_DIR) + "/" + launcher.name + "-" + name);
    for (int n = 1; n <= 32; ++n) {
        std::remove(launcher.link(n).c_str());
    }
    const bool attached = !sim.empty();
    if (pullOut && launcher.name != "qemu") {
        sim.insert(sim.end(), {"--disconnect-after-bytes", "200000"});
    }
    SimulatedUnit unit(launcher.link(launcher.port), r.folder, sim);
    EXPECT_TRUE(!attached || unit.start()) << "the simulated unit did not start";
    std::string input = typed;
    for (std::size_t i; (i = input.find("\\n")) != std::string::npos;) {
        input.replace(i, 2, "\n");
    }
    ChildProcess tool(launcher.argv("VelmoraFwUpgrade", r.folder, typed, attached, pullOut), r.folder);
    EXPECT_TRUE(tool.start(launcher.name == "qemu" ? "" : input));
    if (tool.waitForOutput(kSendLogic, std::chrono::seconds(120))) {
        r.sendingAt = tool.seconds();
        r.failedAt = tool.waitForOutput("FAILED\r", std::chrono::seconds(60)) ? tool.seconds() : -1;
    }
    r.tool = tool.wait(std::chrono::seconds(480));
    unit.stop();
    if (launcher.name == "wine") {
        ChildProcess server({WINESERVER_PROGRAM, "-w"}); // it holds the ports until it has gone
        server.start();
        server.wait(std::chrono::seconds(60));
    }
    for (std::size_t i = 0; i < r.tool.output.size(); ++i) {
        const bool textModeLineEnd = launcher.name == "wine" && r.tool.output.compare(i, 2, "\r\n") == 0;
        r.console += r.tool.output[textModeLineEnd ? ++i : i];
    }
    r.trace = readTrace(r.folder + "/unit.trace");
    return r;
}

Heard heard(const ToolRun& r) {
    Heard lines;
    for (const TraceLine& t : r.trace) {
        if (t.direction == 'R') {
            lines.emplace_back(t.text, t.baud);
        }
    }
    return lines;
}

std::string image(const std::string& file) {
    const reference_hex::Image image = reference_hex::flatten(readFile(FWUPGRADE_FIRMWARE_SOURCE_DIR "/" + file));
    return std::string(image.bytes.begin(), image.bytes.begin() + image.length);
}

std::string announce(char kind, const std::string& bytes) {
    uint32_t sum = 0;
    for (const char c : bytes) {
        sum -= static_cast<unsigned char>(c);
    }
    return std::string("%%%fw -") + kind + " " + std::to_string(sum) + " " + std::to_string(bytes.size()) + "\n\r";
}

struct Platform {
    Launcher launcher;
    std::vector<std::string> full; // the unit of the one full-length update
};

class Programs : public ::testing::TestWithParam<Platform> {};

std::string platformName(const ::testing::TestParamInfo<Platform>& info) { return info.param.launcher.name; }

// A whole update found by detection: every line heard at the rate of its phase, both images
// received byte for byte, the boot text at the unit's rate, and the console from banner to key.
TEST_P(Programs, WholeUpdate) {
    const Platform& p = GetParam();
    const bool rx = p.full[1] == "RX";
    const uint32_t baud = static_cast<uint32_t>(std::stoul(p.full[3]));
    const ToolRun r = run(p.launcher, "whole", p.full, "\\n");
    ASSERT_TRUE(r.tool.finished) << r.tool.output;
    EXPECT_EQ(r.tool.status, 0);
    expectPieces(r.console, wholeUpdate(p.launcher.port, static_cast<int>(baud), rx));
    const std::string logic = image(rx ? "M627184_RX_XC7A15_V1_03.mcs" : "M627184_TX_XC7A15_V1_03.mcs");
    const std::string mcu = image("M627184_MCU_61_V1_03.hex");
    Heard expected = {{"%%%help -c version\n\r", baud}, {"%%%fw -v\n\r", baud}, {"%%%fw -p\n\r", baud}};
    if (rx) {
        expected.push_back(expected.back());
    }
    expected.insert(expected.end(), {{announce('l', logic), baud}, {announce('h', mcu), 115200}});
    EXPECT_EQ(heard(r), expected);
    EXPECT_EQ(readFile(r.folder + "/images/l.bin"), logic);
    EXPECT_EQ(readFile(r.folder + "/images/h.bin"), mcu);
    Heard sent;
    for (const TraceLine& t : r.trace) {
        if (t.direction == 'S' && (t.text == "SUCCESS" || t.text[0] == '[')) {
            sent.emplace_back(t.text.substr(0, 1), t.baud);
        }
    }
    EXPECT_EQ(sent, (Heard{{"S", 115200}, {"S", 115200}, {"[", baud}}));
    std::printf("[ wall time ] %s whole update: %.1f s\n", p.launcher.name.c_str(), r.tool.seconds);
}

// The runs that end early, by what the unit does and what is typed at the prompts.
struct Scenario {
    std::string name;
    std::vector<std::string> sim; // the unit's options; none: no unit on any port
    std::string typed;
    int status;
    std::vector<std::string> (*console)(int port);
    bool pulledOut = false;             // the unit (the adapter) vanishes inside the logic image
    double failedAfterS[2] = {0, 0};    // FAILED this long after the logic image began: min, max
};

const Scenario kScenarios[] = {
    {"no_port", {}, "5\\n9600\\n", 255, [](int) -> std::vector<std::string> { return {notOpened("5")}; }},
    {"manual", {"--silent"}, "@\\n9600\\n", 1, [](int port) -> std::vector<std::string> { return {manual(port, 9600) + kUnknown}; }},
    {"device8", {"--device-code", "8"}, "\\n", 1,
     [](int port) -> std::vector<std::string> { return {found(port, 9600) + versions("QV7TX", "8") + kUnknown}; }},
    {"not_ready", {"--ready-with-line-end"}, "\\n", 1,
     [](int port) -> std::vector<std::string> {
         return {found(port, 9600) + versions("QV7TX", "9") + kProduct + kTxOk + kLogic + "FAILED [Unit not ready]\r\n" + kFailed};
     }},
    // The unit stops taking bytes inside the logic image: the write held back fails after its
    // line time (10,240 bytes at 115200: 0.89 s) and the 15 s margin.
    {"stalled", {"--cts-low-after-bytes", "200000"}, "\\n", 1,
     [](int port) -> std::vector<std::string> { return {found(port, 9600), kSendLogic, "%FAILED\r\n" + kFailed}; }, false,
     {15, 17.5}},
    // The unit vanishes inside the logic image, like an adapter pulled out: the write fails at once.
    {"vanished", {"--type", "TX"}, "\\n", 1,
     [](int port) -> std::vector<std::string> { return {found(port, 9600), kSendLogic, "%FAILED\r\n" + kFailed}; }, true,
     {0, 2}},
};

class ShortRuns : public ::testing::TestWithParam<std::pair<Launcher, Scenario>> {};

TEST_P(ShortRuns, EndAsTheyMust) {
    const auto& [launcher, s] = GetParam();
    std::string typed = s.typed;
    if (const std::size_t at = typed.find('@'); at != std::string::npos) {
        typed.replace(at, 1, std::to_string(launcher.port));
    }
    const ToolRun r = run(launcher, s.name, s.sim, typed, s.pulledOut);
    ASSERT_TRUE(r.tool.finished) << r.tool.output;
    EXPECT_EQ(r.tool.status, s.status);
    expectPieces(r.console, s.console(launcher.port));
    if (s.failedAfterS[1] > 0) {
        EXPECT_GE(r.failedAt - r.sendingAt, s.failedAfterS[0]) << "from the image's start to FAILED";
        EXPECT_LE(r.failedAt - r.sendingAt, s.failedAfterS[1]) << "from the image's start to FAILED";
        std::printf("[ measured ] %s: FAILED %.1f s after the image began\n", s.name.c_str(), r.failedAt - r.sendingAt);
    }
    if (launcher.name == "valgrind") { // status 99 would have told of errors or leaks
        std::printf("%s", readFile(r.folder + "/valgrind.log").c_str());
    }
}

const Launcher kLinux{"linux", 3}, kWine{"wine", 7}, kValgrind{"valgrind", 3}, kQemu{"qemu", 1};

std::vector<std::pair<Launcher, Scenario>> runs(const Launcher& launcher, const std::vector<std::string>& names) {
    std::vector<std::pair<Launcher, Scenario>> picked;
    for (const Scenario& s : kScenarios) {
        for (const std::string& name : names) {
            if (s.name == name) {
                picked.emplace_back(launcher, s);
            }
        }
    }
    return picked;
}

std::string runName(const ::testing::TestParamInfo<std::pair<Launcher, Scenario>>& info) {
    return info.param.first.name + "_" + info.param.second.name;
}

// Linux: the unit paced at its true line rate, behind a driver queue like a real one.
INSTANTIATE_TEST_SUITE_P(linux, Programs,
                         ::testing::Values(Platform{kLinux, {"--type", "RX", "--baud", "57600", "--pacing"}}), platformName);
INSTANTIATE_TEST_SUITE_P(linux, ShortRuns,
                         ::testing::ValuesIn(runs(kLinux, {"no_port", "manual", "device8", "stalled"})),
                         runName);
INSTANTIATE_TEST_SUITE_P(valgrind, ShortRuns, ::testing::ValuesIn(runs(kValgrind, {"device8"})), runName);
INSTANTIATE_TEST_SUITE_P(wine, Programs, ::testing::Values(Platform{kWine, {"--type", "TX", "--baud", "9600"}}), platformName);
INSTANTIATE_TEST_SUITE_P(wine, ShortRuns,
                         ::testing::ValuesIn(runs(kWine, {"no_port", "manual", "device8", "not_ready", "stalled", "vanished"})),
                         runName);

// The Windows programs are console programs that need only the system's DLLs and reserve the
// 2 MiB stack; the web file is byte for byte the one the Linux program writes.
TEST(WineOnly, WindowsProgramsAndTheWebFile) {
    for (const std::string program : {"VelmoraFwUpgrade", "VelmoraFwWebFile"}) {
        ChildProcess objdump({MINGW_OBJDUMP, "-p", std::string(WINDOWS_BUILD_DIR) + "/src/" + program + ".exe"});
        ASSERT_TRUE(objdump.start());
        const std::string headers = objdump.wait(std::chrono::seconds(60)).output;
        EXPECT_NE(headers.find("SizeOfStackReserve\t0000000000200000"), std::string::npos) << program;
        EXPECT_NE(headers.find("(Windows CUI)"), std::string::npos) << program;
        std::size_t dlls = 0;
        for (std::size_t at = 0; (at = headers.find("DLL Name: ", at)) != std::string::npos; ++dlls, ++at) {
            const std::string dll = headers.substr(at + 10, headers.find('\n', at) - at - 10);
            EXPECT_TRUE(dll == "KERNEL32.dll" || dll == "msvcrt.dll") << program << " needs " << dll;
        }
        EXPECT_GT(dlls, 0u);
    }
    std::string files[2];
    for (const Launcher& launcher : {kWine, kLinux}) {
        const std::string folder = freshFolder(std::string(E2E_WORK_DIR) + "/web-" + launcher.name);
        ChildProcess program(launcher.argv("VelmoraFwWebFile", folder, ""), folder);
        ASSERT_TRUE(program.start("\n"));
        EXPECT_EQ(program.wait(std::chrono::seconds(120)).status, 0);
        files[launcher.name == "wine" ? 0 : 1] = readFile(folder + "/FwToUpload.bin");
    }
    EXPECT_GT(files[1].size(), 165000u);
    EXPECT_TRUE(files[0] == files[1]) << "written in binary mode: no line end translated";
}

// The release program through the kernel's ftdi_sio driver: a whole update found on COM1
// (/dev/ttyUSB0) at 57600, the adapter unplugged inside the logic image, no adapter at all.
INSTANTIATE_TEST_SUITE_P(qemu, Programs, ::testing::Values(Platform{kQemu, {"--type", "TX", "--baud", "57600"}}), platformName);
INSTANTIATE_TEST_SUITE_P(qemu, ShortRuns, ::testing::ValuesIn(std::vector<std::pair<Launcher, Scenario>>{
    {kQemu, {"no_adapter", {}, "1\\n", 255, [](int) -> std::vector<std::string> { return {notOpened("1")}; }}},
    {kQemu, {"unplugged", {"--baud", "57600"}, "\\n", 1,
             [](int) -> std::vector<std::string> { return {found(1, 57600), kSendLogic, "%FAILED\r\n" + kFailed}; },
             true, {0, 5}}}}),
    runName);

} // namespace
