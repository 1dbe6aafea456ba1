// The real programs as a technician runs them, on each platform through one table: the Linux
// program over a pseudo-terminal, the Windows program under Wine (the unit behind the prefix's
// dosdevices/comN), the Linux program under valgrind's memcheck, and in a QEMU guest the static
// release program or the Windows program behind the emulated FTDI adapter and the kernel's real
// USB serial driver, or the release program with the unit itself in the guest as a USB CDC device
// behind the kernel's real cdc_acm driver. The simulated unit (VelmoraUnitSim) sits at the far
// end; its trace and the images it received are checked beside the console and the exit status.
//
// Every time is measured on one clock, the tests' steady clock, in seconds from the start of the
// run: what the tool printed as it showed (its output, or the guest's live console), and the
// unit's trace, whose start the simulator notes on the machine's monotonic clock (a unit in the
// guest is put on the host's clock by the guest's clock lines on the console). A row that waits
// on real time prints the margin it had; a row that fails prints both sides on that clock.
#include "ChildProcess.h"
#include "ComLink.h"
#include "ConsoleText.h"
#include "Files.h"
#include "PtyTrace.h"
#include "ReferenceHex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace console_text;
using Heard = std::vector<std::pair<std::string, uint32_t>>;
using Pieces = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// Wine in the tests' own prefix, without its mount manager (which would give the machine's serial
// devices COM numbers): a dosdevices/comN link is COMn, an absent link an absent port. The
// programs lie in a folder whose name has letters beyond ASCII, which Wine maps from a UTF-8 locale.
const bool kWineEnvironment = setenv("WINEPREFIX", WINE_PREFIX_DIR, 1) == 0 &&
                              setenv("WINEDEBUG", "-all", 1) == 0 &&
                              setenv("WINEDLLOVERRIDES", "mountmgr.sys=d;winemenubuilder.exe=d", 1) == 0 &&
                              setenv("LC_ALL", "C.UTF-8", 1) == 0;

// How a platform runs the programs, where its COM ports are and where its unit sits.
struct Launcher {
    // The unit: a pty published as COMn; the pty behind QEMU's adapter; a USB CDC device in the guest.
    enum class Unit { OnLink, BehindAdapter, InGuest };
    std::string name;
    int port; // the first unit's COM number
    Unit unit;
    Pieces runner;        // what the program runs under on the host, in the run's folder
    std::string programs; // where the programs are ("": the guest's own release build)
    std::string links;    // where COMn is published, "%d" for n
    bool guest = false;   // the program runs in the QEMU guest, and shows on the guest's live console
    bool windows = false; // a Windows program: NAME.exe, which writes CR LF for LF
    int foundAt = 0;      // the rate detection finds the unit at, when not the unit's own

    std::string link(int n, const std::string& folder) const {
        char path[512];
        std::snprintf(path, sizeof path, links.c_str(), n);
        return unit == Unit::BehindAdapter ? folder + "/adapter" : path;
    }
    Pieces argv(const std::string& program, const std::string& folder, const std::string& typed,
                const Pieces& unitOptions = {}, bool pullOut = false) const {
        const std::string file = programs + "/" + program + (windows ? ".exe" : "");
        Pieces all = guest ? Pieces{"/bin/bash", REALDRIVER_SCRIPT,     "--input",   typed,
                                    "--log",     folder + "/guest.log", "--console", folder + "/console"}
                           : runner;
        const bool plugged = unit == Unit::BehindAdapter && !unitOptions.empty();
        std::string options;
        for (const std::string& option : unitOptions) {
            options += option + " ";
        }
        for (const auto& [use, more] :
             {std::pair{plugged, Pieces{"--adapter", link(port, folder)}},
              {plugged && pullOut, Pieces{"--unplug-when", kSendLogic}},
              {guest && windows, Pieces{"--wine", file}},
              {unit == Unit::InGuest, Pieces{"--cdc", options, "--unit-dir", folder}}}) {
            all.insert(all.end(), more.begin(), use ? more.end() : more.begin());
        }
        all.push_back(guest ? REALDRIVER_DIR : file);
        return all;
    }
};
using Unit = Launcher::Unit;
using velmora_sim::TraceLine;

// What one copy of the update tool did, and what its unit (if any) heard and sent; every time in
// seconds from the tool's start.
struct ToolRun {
    ChildProcess::Result tool;
    std::string console; // as the program wrote it, a Windows console's CR LF for LF undone
    std::vector<TraceLine> unit;
    Heard heard, sent; // the lines the unit heard and what it sent, with their rates
    std::string folder;
    double unplugAt = -1; // when the adapter was pulled out of the guest

    // When `text` had shown whole, the first time after `after` had; -1 if never.
    double shownAt(const std::string& text, const std::string& after = "") const {
        std::string all;
        for (const auto& [t, piece] : tool.shown) {
            all += piece;
            const std::size_t from = all.find(after),
                              found = from == std::string::npos ? from : all.find(text, from);
            if (found != std::string::npos) {
                return t;
            }
        }
        return -1;
    }
    // The first line of the unit in `direction` whose text begins with `text`, from `from` on.
    const TraceLine* unitSaid(char direction, const std::string& text,
                              const TraceLine* from = nullptr) const {
        const TraceLine* end = unit.data() + unit.size();
        const TraceLine* found =
            std::find_if(from != nullptr ? from : unit.data(), end, [&](const TraceLine& e) {
                return e.entry.direction == direction && e.entry.text.compare(0, text.size(), text) == 0;
            });
        return found == end ? nullptr : found;
    }
};

// A window's margin in one greppable form: what was used (a time, or from-to) against the window
// (one that only ends: windowFrom = kOpen); the nearer of its two ends gives what was to spare.
constexpr double kOpen = -INFINITY;
void margin(const std::string& row, const std::string& what, double from, double to, double windowFrom,
            double windowTo) {
    char used[48], window[48];
    std::snprintf(used, sizeof used, from == to ? "%.3f s" : "%.3f-%.3f s", from, to);
    std::snprintf(window, sizeof window, windowFrom == kOpen ? "up to %.3f s" : "%.3f-%.3f s",
                  windowFrom == kOpen ? windowTo : windowFrom, windowTo);
    std::printf("[ margin ] %s %s: %s, window %s, %.3f s to spare\n", row.c_str(), what.c_str(), used, window,
                std::min(from - windowFrom, windowTo - to));
}

// Both sides on one clock, for a row that failed: what the tool printed (a run of progress
// counters less than 1.5 s apart on one line, with the time of its last) and every line of the
// unit's trace.
void printTimeline(const ToolRun& r) {
    std::vector<std::pair<double, std::string>> lines;
    const auto& shown = r.tool.shown;
    for (std::size_t i = 0, first = 0; i < shown.size(); first = ++i) {
        const auto counter = [&](std::size_t k) {
            return shown[k].second.find_first_not_of("0123456789% \b") == std::string::npos;
        };
        std::string piece = shown[i].second;
        while (i + 1 < shown.size() && counter(i) && counter(i + 1) &&
               shown[i + 1].first - shown[i].first < 1.5) {
            piece += shown[++i].second;
        }
        lines.emplace_back(shown[first].first,
                           "tool          " + velmora_sim::escapeText(piece) +
                               (i > first ? " (to " + std::to_string(shown[i].first) + ")" : ""));
    }
    for (const TraceLine& e : r.unit) {
        char who[64];
        std::snprintf(who, sizeof who, "unit %c %-6u ", e.entry.direction,
                      static_cast<unsigned>(e.entry.baud));
        lines.emplace_back(e.at, who + velmora_sim::escapeText(e.entry.text) +
                                     (e.out > e.at ? " (gone out at " + std::to_string(e.out) + ")" : ""));
    }
    std::stable_sort(lines.begin(), lines.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::printf("---- %s: the tool and its unit on one clock, seconds from the tool's start\n",
                r.folder.c_str());
    for (const auto& [t, text] : lines) {
        std::printf("%10.3f %s\n", t, text.substr(0, 300).c_str());
    }
}

// Seconds on `clock` (CLOCK_MONOTONIC: the steady clock; CLOCK_BOOTTIME: a shell's /proc/uptime).
double secondsOn(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs of the tool, one copy per unit of `sims`: the n-th unit on the port after the (n-1)-th, its
// copy started once the copy before has shown the port it found, as a technician updates a pair.
std::vector<ToolRun> run(const Launcher& launcher, const std::string& name, std::vector<Pieces> sims,
                         std::string typed, bool pullOut = false) {
    for (int n = 1; n <= 32 && launcher.unit == Unit::OnLink; ++n) { // the other ports absent
        std::remove(launcher.link(n, "").c_str());
    }
    std::vector<ToolRun> runs(sims.size());
    std::deque<SimulatedUnit> units;
    std::deque<ChildProcess> tools;
    for (std::size_t i = 0; i < sims.size(); ++i) {
        runs[i].folder =
            freshFolder(E2E_WORK_DIR "/" + launcher.name + "-" + name + (i > 0 ? std::to_string(i + 1) : ""));
        if (pullOut && launcher.unit != Unit::BehindAdapter) {
            sims[i].insert(sims[i].end(), {"--disconnect-after-bytes", "200000"});
        }
        units.emplace_back(launcher.link(launcher.port + static_cast<int>(i), runs[i].folder), runs[i].folder,
                           sims[i]);
        EXPECT_TRUE(sims[i].empty() || launcher.unit == Unit::InGuest || units.back().start())
            << "the simulated unit did not start";
        tools.emplace_back(launcher.argv("VelmoraFwUpgrade", runs[i].folder, typed, sims[i], pullOut),
                           runs[i].folder);
        tools.back().watch(launcher.guest ? runs[i].folder + "/console" : "");
    }
    for (std::size_t i; (i = typed.find("\\n")) != std::string::npos;) {
        typed.replace(i, 2, "\n");
    }
    for (std::size_t i = 0; i < tools.size(); ++i) {
        EXPECT_TRUE(tools[i].start(launcher.guest ? "" : typed));
        EXPECT_TRUE(i + 1 == tools.size() ||
                    tools[i].waitForOutput("COM PORT Number", std::chrono::seconds(120)));
    }
    for (std::size_t i = 0; i < tools.size(); ++i) {
        runs[i].tool = tools[i].wait(std::chrono::seconds(480));
        units[i].stop();
    }
    ChildProcess server({WINESERVER_PROGRAM, "-w"}); // Wine's server holds the ports until it has gone
    if (launcher.windows && !launcher.guest && server.start()) {
        server.wait(std::chrono::seconds(60));
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        ToolRun& r = runs[i];
        for (std::size_t k = 0; k < r.tool.output.size(); ++k) {
            r.console +=
                r.tool.output[launcher.windows && r.tool.output.compare(k, 2, "\r\n") == 0 ? ++k : k];
        }
        // The unit's trace on the tool's clock: from the host's monotonic clock, or from the guest's,
        // which its clock lines on the console give (the smallest difference is the line carried fastest).
        double shift = -std::chrono::duration<double>(tools[i].startedAt().time_since_epoch()).count();
        if (launcher.unit == Unit::InGuest) {
            shift = 1e9;
            for (const auto& [t, piece] : r.tool.shown) {
                for (std::size_t at = 0; (at = piece.find("@@velmora-clock ", at)) != std::string::npos;
                     at += 16) {
                    shift = std::min(shift, t - std::atof(piece.c_str() + at + 16));
                }
            }
        }
        velmora_sim::readTrace(r.folder + "/unit.trace", &r.unit);
        for (TraceLine& e : r.unit) {
            e.at += shift, e.out += shift;
            if (e.entry.direction != 'E') {
                (e.entry.direction == 'R' ? r.heard : r.sent).emplace_back(e.entry.text, e.entry.baud);
            }
        }
        if (launcher.guest) { // what Wine said about the port; when the adapter was pulled out (on the boot
                              // clock)
            const std::string log = readFile(r.folder + "/guest.log");
            const std::size_t wine = log.find("@@wine-comm"), unplug = log.find("device_del sent at uptime ");
            std::printf("%s", wine == std::string::npos
                                  ? ""
                                  : log.substr(wine, log.find("@@velmora-output") - wine).c_str());
            r.unplugAt = unplug == std::string::npos
                             ? -1
                             : std::atof(log.c_str() + unplug + 26) - secondsOn(CLOCK_BOOTTIME) +
                                   secondsOn(CLOCK_MONOTONIC) + shift;
        }
    }
    return runs;
}

std::string image(const std::string& file) {
    return reference_hex::imageSent(readFile(FWUPGRADE_FIRMWARE_SOURCE_DIR "/" + file));
}

// Whole updates found by detection, one copy of the tool per unit side by side: every line heard
// at the rate of its phase, both images received byte for byte, SUCCESS at 115200, the boot text
// at the unit's rate, and the console from the banner to the key prompt. A unit is --type T
// --baud B [--pacing]; one that reboots without its boot text (--no-boot-text) ends with status 3
// and no success line. Each real-time window's margin is printed: the unit's answer to detection
// against the tool's 500 ms, each SUCCESS against the second after the image left, and the boot
// text against the tool's boot read.
class Programs : public ::testing::TestWithParam<std::pair<Launcher, std::vector<Pieces>>> {};

TEST_P(Programs, WholeUpdate) {
    const auto& [launcher, units] = GetParam();
    const std::vector<ToolRun> runs = run(launcher, "whole", units, "\\n");
    for (std::size_t n = 0; n < units.size(); ++n) {
        const Pieces& unit = units[n];
        const ToolRun& r = runs[n];
        const std::string row = launcher.name + " " + unit[1] + " at " + unit[3];
        SCOPED_TRACE(row);
        const bool rx = unit[1] == "RX",
                   back = std::find(unit.begin(), unit.end(), "--no-boot-text") == unit.end();
        const uint32_t baud = static_cast<uint32_t>(std::stoul(unit[3]));
        EXPECT_TRUE(r.tool.finished) << r.tool.output;
        EXPECT_EQ(r.tool.status, back ? 0 : 3);
        Pieces console = wholeUpdate(launcher.port + static_cast<int>(n),
                                     launcher.foundAt > 0 ? launcher.foundAt : static_cast<int>(baud), rx);
        console.back().replace(console.back().size() - kSuccess.size(), std::string::npos,
                               back ? kSuccess : kKey);
        expectPieces(r.console, console);
        const std::string logic = image(rx ? "M627184_RX_XC7A15_V1_03.mcs" : "M627184_TX_XC7A15_V1_03.mcs");
        const std::string mcu = image("M627184_MCU_61_V1_03.hex");
        Heard expected = {{"%%%help -c version\n\r", baud}, {"%%%fw -v\n\r", baud}, {"%%%fw -p\n\r", baud}};
        expected.resize(rx ? 4 : 3, expected.back());
        expected.insert(expected.end(), {{announce('l', logic), baud}, {announce('h', mcu), 115200}});
        EXPECT_EQ(r.heard, expected);
        EXPECT_TRUE(readFile(r.folder + "/images/l.bin") == logic)
            << "the logic image as the unit received it";
        EXPECT_TRUE(readFile(r.folder + "/images/h.bin") == mcu)
            << "the microcontroller image as the unit received it";
        Heard ends,
            expectedEnds = {{"S", 115200}, {"S", 115200}, {"[", baud}}; // the two SUCCESS and the boot text
        for (const auto& [text, rate] : r.sent) {
            if (text == "SUCCESS" || text[0] == '[') {
                ends.emplace_back(text.substr(0, 1), rate);
            }
        }
        expectedEnds.resize(back ? 3 : 2);
        EXPECT_EQ(ends, expectedEnds);

        const TraceLine *query = r.unitSaid('R', "%%%help"), *answer = r.unitSaid('S', "version\n\r"),
                        *success = nullptr;
        if (query != nullptr && answer != nullptr) {
            margin(row, "detection's answer after the query", answer->out - query->at,
                   answer->out - query->at, kOpen, 0.5);
        }
        for (const std::string& image : {kSendLogic, std::string("Sending data ....")}) {
            success = r.unitSaid('S', "SUCCESS", success != nullptr ? success + 1 : nullptr);
            const double left = r.shownAt("100%", image);
            if (success != nullptr && left >= 0) {
                margin(row, "SUCCESS after the image left the PC", success->out - left, success->out - left,
                       kOpen, 1.0);
            }
        }
        const TraceLine* boot = r.unitSaid('S', "[");
        const double listen = r.shownAt(" 97%\b\b\b\b100%");
        if (success != nullptr && boot != nullptr &&
            listen >= 0) { // the drain read's second, then the 11 s boot read
            margin(row, "boot text after SUCCESS", boot->at - success->out, boot->out - success->out,
                   listen + 1 - success->out, listen + 12 - success->out);
        }
        if (::testing::Test::HasFailure()) {
            printTimeline(r);
        }
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
    bool pulledOut = false; // the unit (the adapter) vanishes inside the logic image
    // FAILED this long after the cause (min, max): the logic image's start for a unit that stops
    // taking bytes; the unit's leaving, or the adapter's unplug in the guest, for one that vanishes.
    double failedAfterS[2] = {0, 0};
};

const Scenario kScenarios[] = {
    {"no_port", {}, "5\\n9600\\n", 255, [](int) { return Pieces{notOpened("5")}; }},
    {"manual", {"--silent"}, "@\\n9600\\n", 1, [](int p) { return Pieces{manual(p, 9600) + kUnknown}; }},
    {"device8",
     {"--device-code", "8"},
     "\\n",
     1,
     [](int p) { return Pieces{found(p, 9600) + versions("QV7TX", "8") + kUnknown}; }},
    {"not_ready",
     {"--ready-with-line-end"},
     "\\n",
     1,
     [](int p) {
         return Pieces{found(p, 9600) + versions("QV7TX", "9") + kProduct + kTxOk + kLogic +
                       "FAILED [Unit not ready]\r\n" + kFailed};
     }},
    // The unit stops taking bytes inside the logic image: the write held back fails after its
    // line time (10,240 bytes at 115200: 0.89 s) and the 15 s margin.
    {"stalled",
     {"--cts-low-after-bytes", "200000"},
     "\\n",
     1,
     [](int p) {
         return Pieces{found(p, 9600), kSendLogic, "%FAILED\r\n" + kFailed};
     },
     false,
     {15, 17.5}},
    // The unit vanishes inside the logic image, like an adapter pulled out: the write fails at once.
    {"vanished",
     {"--type", "TX"},
     "\\n",
     1,
     [](int p) {
         return Pieces{found(p, 9600), kSendLogic, "%FAILED\r\n" + kFailed};
     },
     true,
     {kOpen, 2}},
    {"no_adapter", {}, "1\\n", 255, [](int) { return Pieces{notOpened("1")}; }},
    {"unplugged",
     {"--baud", "57600"},
     "\\n",
     1,
     [](int p) {
         return Pieces{found(p, 57600), kSendLogic, "%FAILED\r\n" + kFailed};
     },
     true,
     {kOpen, 10}}, // a stall would add its 15 s
    // A native-USB unit leaves the bus inside the logic image: any rate is its own, so it is found at the
    // first.
    {"cdc_unplugged",
     {"--baud", "57600"},
     "\\n",
     1,
     [](int p) {
         return Pieces{found(p, 115200), kSendLogic, "%FAILED\r\n" + kFailed};
     },
     true,
     {kOpen, 10}},
};

class ShortRuns : public ::testing::TestWithParam<std::pair<Launcher, Scenario>> {};

TEST_P(ShortRuns, EndAsTheyMust) {
    const auto& [launcher, s] = GetParam();
    std::string typed = s.typed;
    if (const std::size_t at = typed.find('@'); at != std::string::npos) {
        typed.replace(at, 1, std::to_string(launcher.port));
    }
    const ToolRun r = run(launcher, s.name, {s.sim}, typed, s.pulledOut)[0];
    EXPECT_TRUE(r.tool.finished) << r.tool.output;
    EXPECT_EQ(r.tool.status, s.status) << readFile(r.folder + "/valgrind.log");
    expectPieces(r.console, s.console(launcher.port));
    if (s.failedAfterS[1] > 0) {
        const TraceLine* left = r.unitSaid('E', "unit vanished");
        const double cause = !s.pulledOut      ? r.shownAt(kSendLogic)
                             : r.unplugAt >= 0 ? r.unplugAt
                             : left            ? left->at
                                               : -1;
        const double failed = r.shownAt("%FAILED");
        EXPECT_TRUE(cause >= 0 && failed >= 0) << "no time for the cause or for FAILED";
        EXPECT_GE(failed - cause, s.failedAfterS[0]);
        EXPECT_LE(failed - cause, s.failedAfterS[1]);
        margin(launcher.name + " " + s.name, "FAILED after the cause", failed - cause, failed - cause,
               s.failedAfterS[0], s.failedAfterS[1]);
        if (s.name == "cdc_unplugged") { // the kernel must have seen the unit leave the bus
            EXPECT_NE(readFile(r.folder + "/guest.log").find("USB disconnect"), std::string::npos);
        }
    }
    if (::testing::Test::HasFailure()) {
        printTimeline(r);
    }
}

const std::string kTool = VELMORA_FW_UPGRADE;
const std::string kLinks = FWUPGRADE_TEST_PORT_DIR "/COM%d", kWineLinks = WINE_PREFIX_DIR "/dosdevices/com%d";
// The Windows programs as a technician has them: unpacked from the zip.
const std::string kBuilt = kTool.substr(0, kTool.rfind('/')), kWindows = WINDOWS_PROGRAMS_DIR;
const Launcher kLinux{"linux", 3, Unit::OnLink, {}, kBuilt, kLinks},
    kWine{"wine", 7, Unit::OnLink, {WINE_PROGRAM}, kWindows, kWineLinks, false, true},
    kValgrind{"valgrind",
              3,
              Unit::OnLink,
              {VALGRIND, "--leak-check=full", "--errors-for-leak-kinds=definite,indirect,possible",
               "--error-exitcode=99", "--log-file=valgrind.log"},
              kBuilt,
              kLinks},
    kQemu{"qemu", 1, Unit::BehindAdapter, {}, "", "", true},
    kQemuWine{"qemuwine", 1, Unit::BehindAdapter, {}, kWindows, "", true, true},
    kCdc{"cdc", 17, Unit::InGuest, {}, "", "", true, false, 115200};

std::vector<std::pair<Launcher, Scenario>> runs(const Launcher& launcher, const Pieces& names) {
    std::vector<std::pair<Launcher, Scenario>> picked;
    for (const std::string& name : names) {
        const auto* s = std::find_if(std::begin(kScenarios), std::end(kScenarios),
                                     [&](auto& s) { return s.name == name; });
        picked.emplace_back(launcher, *s);
    }
    return picked;
}

std::string wholeName(const ::testing::TestParamInfo<std::pair<Launcher, std::vector<Pieces>>>& info) {
    return info.param.first.name;
}
std::string shortName(const ::testing::TestParamInfo<std::pair<Launcher, Scenario>>& info) {
    return info.param.first.name + "_" + info.param.second.name;
}

// Linux: a pair, each unit paced at its true line rate behind a driver queue like a real one, and
// beside it a unit that reboots silently. Wine: a pair, which only holds when the Windows program
// keeps a port to one copy. QEMU: the release program through the kernel's ftdi_sio driver, COM1
// (/dev/ttyUSB0) at 57600.
using Units = std::vector<Pieces>;
INSTANTIATE_TEST_SUITE_P(linux, Programs,
                         ::testing::Values(std::pair{
                             kLinux, Units{{"--type", "RX", "--baud", "57600", "--pacing"},
                                           {"--type", "TX", "--baud", "9600", "--pacing"},
                                           {"--type", "TX", "--baud", "115200", "--no-boot-text"}}}),
                         wholeName);
INSTANTIATE_TEST_SUITE_P(linux, ShortRuns,
                         ::testing::ValuesIn(runs(kLinux, {"no_port", "manual", "device8", "stalled"})),
                         shortName);
INSTANTIATE_TEST_SUITE_P(valgrind, ShortRuns, ::testing::ValuesIn(runs(kValgrind, {"device8"})), shortName);
INSTANTIATE_TEST_SUITE_P(wine, Programs,
                         ::testing::Values(std::pair{kWine, Units{{"--type", "TX", "--baud", "9600"},
                                                                  {"--type", "RX", "--baud", "57600"}}}),
                         wholeName);
INSTANTIATE_TEST_SUITE_P(wine, ShortRuns,
                         ::testing::ValuesIn(runs(kWine, {"no_port", "manual", "device8", "not_ready",
                                                          "stalled", "vanished"})),
                         shortName);
INSTANTIATE_TEST_SUITE_P(qemu, Programs,
                         ::testing::Values(std::pair{kQemu, Units{{"--type", "TX", "--baud", "57600"}}}),
                         wholeName);
INSTANTIATE_TEST_SUITE_P(qemu, ShortRuns, ::testing::ValuesIn(runs(kQemu, {"no_adapter", "unplugged"})),
                         shortName);
// The Windows build under Wine in the same guest, through the same driver: RX at 9600.
INSTANTIATE_TEST_SUITE_P(qemuwine, Programs,
                         ::testing::Values(std::pair{kQemuWine, Units{{"--type", "RX", "--baud", "9600"}}}),
                         wholeName);
INSTANTIATE_TEST_SUITE_P(qemuwine, ShortRuns, ::testing::ValuesIn(runs(kQemuWine, {"unplugged"})), shortName);

// The unit as a USB CDC device in the guest (COM17, /dev/ttyACM0 through cdc_acm), answering at
// any rate: its own is 57600, the tool finds it at 115200.
INSTANTIATE_TEST_SUITE_P(cdc, Programs,
                         ::testing::Values(std::pair{kCdc, Units{{"--type", "RX", "--baud", "57600"}}}),
                         wholeName);
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
        {{"--port", "/dev/null", "--usb-cdc", "--disconnect-after-bytes", "9"},
         1,
         "/dev/null is not a serial device"},
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

// The Windows programs, as unpacked from the zip, are console programs that need only the system's
// DLLs and reserve the 2 MiB stack; they say what they are as Explorer shows it (Properties ->
// Details, read back as Windows reads it) and carry one manifest: run as invoked, on Windows 7 to
// 11. The web file, written in that folder, is byte for byte the one the Linux program writes, and
// the README beside them has Windows' line ends.
TEST(WineOnly, WindowsProgramsAndTheWebFile) {
    const std::pair<std::string, std::string> kPrograms[] = {
        {"VelmoraFwUpgrade", "Kovlar QV7 firmware update over a serial port"},
        {"VelmoraFwWebFile", "Kovlar QV7 firmware file for the web upload"}};
    for (const auto& [program, description] : kPrograms) {
        ChildProcess objdump({MINGW_OBJDUMP, "-p", kWindows + "/" + program + ".exe"}, E2E_WORK_DIR);
        ChildProcess reader({WINE_PROGRAM, WINDOWS_BUILD_DIR "/pe_version_info.exe",
                             "Z:" + kWindows + "/" + program + ".exe"},
                            E2E_WORK_DIR);
        ASSERT_TRUE(objdump.start() && reader.start());
        const std::string headers = objdump.wait(std::chrono::seconds(60)).output,
                          info = reader.wait(std::chrono::seconds(60)).output;
        EXPECT_NE(headers.find("SizeOfStackReserve\t0000000000200000"), std::string::npos) << program;
        EXPECT_NE(headers.find("(Windows CUI)"), std::string::npos) << program;
        EXPECT_EQ(headers.find("DLL Name: lib"), std::string::npos) << program << " needs a runtime DLL";
        for (const std::string& line : Pieces{
                 "FixedFileVersion: 1.0.3.0\nFixedProductVersion: 1.0.3.0\n", "CompanyName: Kovlar\n",
                 "FileDescription: " + description + "\nFileVersion: 1.0.3.0\nInternalName: " + program +
                     "\n",
                 "LegalCopyright: Copyright 2026 Kovlar. All rights reserved.\nOriginalFilename: " + program +
                     ".exe\nProductName: VelmoraFwUpgrade\nProductVersion: 1.0.3\nManifests: 1\n",
                 "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
                 "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                 "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
            EXPECT_NE(info.find(line), std::string::npos) << program << " lacks " << line << " in\n" << info;
        }
    }
    std::string files[2];
    for (const Launcher& launcher : {kWine, kLinux}) {
        const std::string folder =
            launcher.windows ? kWindows : freshFolder(E2E_WORK_DIR "/web-" + launcher.name).string();
        std::remove((folder + "/FwToUpload.bin").c_str());
        ChildProcess program(launcher.argv("VelmoraFwWebFile", folder, ""), folder);
        ASSERT_TRUE(program.start("\n"));
        EXPECT_EQ(program.wait(std::chrono::seconds(120)).status, 0);
        files[launcher.windows ? 0 : 1] = readFile(folder + "/FwToUpload.bin");
    }
    EXPECT_GT(files[1].size(), 165000u);
    EXPECT_TRUE(files[0] == files[1]) << "written in binary mode: no line end translated";
    const std::string readme = readFile(kWindows + "/README.txt"); // for Notepad: CR LF, every line
    EXPECT_TRUE(readme.size() > 1000 && std::count(readme.begin(), readme.end(), '\n') ==
                                            std::count(readme.begin(), readme.end(), '\r'));
}

} // namespace
