// The real programs as a technician runs them, on each platform through one table: the Linux
// program over a pseudo-terminal, the Windows program under Wine (the unit behind the prefix's
// dosdevices/comN), the Linux program under valgrind's memcheck, and in a QEMU guest the static
// release program or the Windows program behind the emulated FTDI adapter and the kernel's
// ftdi_sio driver, or the release program with the unit itself in the guest as a USB CDC device
// behind the kernel's cdc_acm driver. The simulated unit (VelmoraUnitSim) sits at the far end;
// its trace and the images it received are checked beside the console and the exit status.
//
// Every time is in seconds from the tool's start on the tests' steady clock (the monotonic clock):
// what the tool printed as it showed (its output, or the guest's live console), and the unit's
// trace, whose start the simulator notes on the monotonic clock (a unit in the guest is put on
// the host's clock by the guest's clock lines on its console). A row that waits on real time
// checks and prints the margin it had; a row that fails prints both sides on that clock.
#include "ChildProcess.h"
#include "ConsoleText.h"
#include "PtyTrace.h"
#include "RealTime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using namespace console_text;
using Heard = std::vector<std::pair<std::string, uint32_t>>;
using Pieces = std::vector<std::string>;

// A command in Wine's environment for the tests (the one list in tests/e2e/CMakeLists.txt).
Pieces inWine(Pieces command) {
    command.insert(command.begin(), {"/usr/bin/env", WINE_ENVIRONMENT});
    return command;
}

// Lines the guest puts on its console: its clock (seconds since boot), and, from run-guest.sh on
// the host, the moment the adapter was pulled out.
const std::string kGuestClock = "@@velmora-clock ", kUnplugged = "@@velmora-unplugged";

// A line of the simulator's trace with when it happened and, for a text the unit sent, when its
// last byte had gone out (infinity: cut off by the unit's end), in seconds on the monotonic clock of
// the machine the unit ran on.
struct TraceLine {
    velmora_sim::TraceEntry entry;
    double at, out;
};

// The trace file in file order, read through its clock note; false when it cannot be read, a line
// is damaged, or a text sent is not closed by a note that it went out or was cut off.
bool readTrace(const std::string& path, std::vector<TraceLine>* lines) {
    std::ifstream in(path, std::ios::binary);
    double started = 0;
    for (std::string line; std::getline(in, line);) {
        // <ms> <R|S|E> <baud> <text>: the text is everything after the third space.
        velmora_sim::TraceEntry e{};
        long long ms = 0;
        int text = 0;
        if (std::sscanf(line.c_str(), "%lld %c %u%n", &ms, &e.direction, &e.baud, &text) != 3 ||
            line.compare(static_cast<std::size_t>(text), 1, " ") != 0 ||
            !velmora_sim::unescapeText(line.substr(static_cast<std::size_t>(text) + 1), &e.text)) {
            return false;
        }
        e.timeMs = ms;
        const double at = started + static_cast<double>(ms) / 1000;
        const auto note = [&e](const char* kind) { return e.direction == 'E' && e.text.rfind(kind, 0) == 0; };
        started = note(velmora_sim::kClockNote)
                      ? std::atof(e.text.c_str() + std::strlen(velmora_sim::kClockNote))
                      : started;
        for (const char* kind : {velmora_sim::kGoneOutNote, velmora_sim::kCutOffNote}) {
            for (TraceLine& sent : *lines) {
                if (note(kind) && sent.entry.direction == 'S' &&
                    sent.entry.timeMs == std::atoll(e.text.c_str() + std::strlen(kind))) {
                    sent.out = kind == velmora_sim::kGoneOutNote ? at : INFINITY;
                }
            }
        }
        lines->push_back({std::move(e), at, NAN});
    }
    return in.eof() && std::none_of(lines->begin(), lines->end(), [](const TraceLine& l) {
               return l.entry.direction == 'S' && std::isnan(l.out);
           });
}

// How a platform runs the programs, where its COM ports are and where its unit sits: on a pty
// published as COMn, on the pty behind QEMU's adapter, or in the guest as a USB CDC device.
struct Launcher {
    enum class Seat { OnLink, BehindAdapter, InGuest };
    std::string name;
    int port; // the first unit's COM number
    Seat seat;
    Pieces runner;        // what the program (or the guest) runs under on the host, in the run's folder
    std::string programs; // where the programs are ("": the guest's own release build)
    std::string links;    // where COMn is published, "%d" for n
    bool guest = false;   // the program runs in the QEMU guest, and shows on the guest's live console
    bool windows = false; // a Windows program: NAME.exe, which writes CR LF for LF
    int foundAt = 0;      // the rate detection finds the unit at, when not the unit's own

    std::string link(int n, const std::string& folder) const {
        char path[512];
        std::snprintf(path, sizeof path, links.c_str(), n);
        return seat == Seat::BehindAdapter ? folder + "/adapter" : path;
    }
    // The tool's command line; in the guest with its unit's options, pulled out inside the logic image.
    Pieces argv(const std::string& folder, const std::string& typed, const Pieces& unit, bool pullOut) const {
        const std::string file = programs + "/VelmoraFwUpgrade" + (windows ? ".exe" : "");
        Pieces all = runner;
        const auto add = [&all](const Pieces& more) { all.insert(all.end(), more.begin(), more.end()); };
        if (!guest) {
            add({file});
            return all;
        }
        add({"/bin/bash", REALDRIVER_SCRIPT, "--input", typed, "--log", folder + "/guest.log", "--console",
             folder + "/console"});
        if (seat == Seat::BehindAdapter && !unit.empty()) { // pulled out once the logic image starts
            add(pullOut ? Pieces{"--adapter", link(port, folder), "--unplug-when", kSendLogic}
                        : Pieces{"--adapter", link(port, folder)});
        }
        if (windows) {
            add({"--wine", file});
        }
        if (seat == Seat::InGuest) {
            std::string options;
            for (const std::string& option : unit) {
                options += option + " ";
            }
            add({"--cdc", options, "--unit-dir", folder});
        }
        add({REALDRIVER_DIR});
        return all;
    }
};
using Seat = Launcher::Seat;

// What one copy of the update tool did and what its unit heard, on the tool's clock.
struct ToolRun {
    ChildProcess::Result tool, unitProcess;
    std::string console; // as the program wrote it, a Windows console's CR LF for LF undone
    std::vector<TraceLine> unit;
    Heard heard; // the lines the unit heard, with the rates they came at
    std::string folder;

    // When `text` had shown whole, the first time after `after` had; -1 if never.
    double shownAt(const std::string& text, const std::string& after = "") const {
        std::string all;
        for (const auto& [t, piece] : tool.shown) {
            all += piece;
            const std::size_t from = all.find(after);
            if (from != std::string::npos && all.find(text, from) != std::string::npos) {
                return t;
            }
        }
        return -1;
    }
    // The first line of the unit in `direction` that begins with `text`, after `from`.
    const TraceLine* unitSaid(char direction, const std::string& text,
                              const TraceLine* from = nullptr) const {
        for (const TraceLine* e = from != nullptr ? from + 1 : unit.data(); e < unit.data() + unit.size();
             ++e) {
            if (e->entry.direction == direction && e->entry.text.rfind(text, 0) == 0) {
                return e;
            }
        }
        return nullptr;
    }
};

// Both sides on one clock when the row has failed by the end of the scope, whichever check failed:
// what the tool printed (a run of progress counters less than 1.5 s apart on one line) and every
// line of the unit's trace.
struct TimelineOnFailure {
    const ToolRun& r;
    ~TimelineOnFailure() {
        if (!::testing::Test::HasFailure()) {
            return;
        }
        std::vector<std::pair<double, std::string>> lines;
        const auto& shown = r.tool.shown;
        const auto counter = [&](std::size_t k) {
            return shown[k].second.find_first_not_of("0123456789% \b") == std::string::npos;
        };
        for (std::size_t i = 0, first = 0; i < shown.size(); first = ++i) {
            std::string piece = shown[i].second;
            while (i + 1 < shown.size() && counter(i) && counter(i + 1) &&
                   shown[i + 1].first - shown[i].first < 1.5) {
                piece += shown[++i].second;
            }
            lines.emplace_back(shown[first].first, "tool          " + velmora_sim::escapeText(piece));
        }
        for (const TraceLine& e : r.unit) {
            lines.emplace_back(e.at, "unit " + std::string(1, e.entry.direction) + " " +
                                         std::to_string(e.entry.baud) + "\t" +
                                         velmora_sim::escapeText(e.entry.text));
        }
        std::stable_sort(lines.begin(), lines.end(), [](auto& a, auto& b) { return a.first < b.first; });
        std::printf("---- %s: the tool and its unit, seconds from the tool's start\n", r.folder.c_str());
        for (const auto& [t, text] : lines) {
            std::printf("%10.3f %s\n", t, text.substr(0, 300).c_str());
        }
    }
};

// Runs of the tool, one copy per unit of `units` (its options; none: no unit on any port): the
// n-th unit on the port after the (n-1)-th, its copy started once the copy before has shown the
// port it found, as a technician updates a pair. The simulated units publish their ports and write
// their traces and the images they receive in the run's folder.
std::vector<ToolRun> run(const Launcher& launcher, const std::string& name, std::vector<Pieces> units,
                         std::string typed, bool pullOut) {
    for (int n = 1; n <= 32 && launcher.seat == Seat::OnLink; ++n) { // the other ports absent
        std::remove(launcher.link(n, "").c_str());
    }
    std::vector<ToolRun> runs(units.size());
    std::deque<ChildProcess> sims, tools;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::string folder = runs[i].folder =
            freshFolder(E2E_WORK_DIR "/" + launcher.name + "-" + name + (i > 0 ? std::to_string(i + 1) : ""));
        if (pullOut && launcher.seat != Seat::BehindAdapter) {
            units[i].insert(units[i].end(), {"--disconnect-after-bytes", "200000"});
        }
        Pieces sim = units[i]; // after the program and the files it writes in the run's folder
        sim.insert(sim.begin(),
                   {VELMORA_UNIT_SIM, "--link", launcher.link(launcher.port + static_cast<int>(i), folder),
                    "--trace", folder + "/unit.trace", "--images", folder + "/images", "--ready-file",
                    folder + "/ready", "--max-run", "900000"});
        sims.emplace_back(sim);
        if (!units[i].empty() && launcher.seat != Seat::InGuest) {
            EXPECT_TRUE(sims.back().start());
            for (int k = 0; k < 500 && access((folder + "/ready").c_str(), F_OK) != 0; ++k) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        tools.emplace_back(launcher.argv(folder, typed, units[i], pullOut), folder);
        tools.back().watch(launcher.guest ? folder + "/console" : "");
    }
    for (std::size_t at = 0; !launcher.guest && (at = typed.find("\\n", at)) != std::string::npos;) {
        typed.replace(at, 2, "\n"); // the guest's script takes the escapes
    }
    for (std::size_t i = 0; i < tools.size(); ++i) {
        EXPECT_TRUE(tools[i].start(launcher.guest ? "" : typed));
        EXPECT_TRUE(i + 1 == tools.size() ||
                    tools[i].waitForOutput("COM PORT Number", std::chrono::seconds(120)));
    }
    for (std::size_t i = 0; i < tools.size(); ++i) {
        runs[i].tool = tools[i].wait(std::chrono::seconds(480));
        runs[i].unitProcess = sims[i].wait(std::chrono::seconds(0));
    }
    if (launcher.windows && !launcher.guest) { // Wine's server holds the ports until it has gone
        ChildProcess server(inWine({WINESERVER_PROGRAM, "-w"}));
        EXPECT_TRUE(server.start() && server.wait(std::chrono::seconds(60)).finished);
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        ToolRun& r = runs[i];
        r.console = r.tool.output;
        for (std::size_t at = 0;
             launcher.windows && (at = r.console.find("\r\n", at)) != std::string::npos;) {
            r.console.erase(at, 1); // the CR a Windows console adds before each LF
        }
        if (units[i].empty()) {
            continue;
        }
        EXPECT_TRUE(readTrace(r.folder + "/unit.trace", &r.unit))
            << "the unit's trace is damaged or incomplete";
        // The unit's trace on the tool's clock: from the host's monotonic clock, or from the guest's,
        // which its clock lines on the console give (the smallest difference is the line carried fastest).
        double shift = -std::chrono::duration<double>(tools[i].startedAt().time_since_epoch()).count();
        if (launcher.seat == Seat::InGuest) {
            shift = INFINITY;
            for (const auto& [t, piece] : r.tool.shown) {
                for (std::size_t at = 0; (at = piece.find(kGuestClock, at)) != std::string::npos;) {
                    at += kGuestClock.size();
                    shift = std::min(shift, t - std::atof(piece.c_str() + at));
                }
            }
            EXPECT_LT(shift, INFINITY) << "no clock line on the guest's console";
        }
        for (TraceLine& e : r.unit) {
            e.at += shift, e.out += shift;
            if (e.entry.direction == 'R') {
                r.heard.emplace_back(e.entry.text, e.entry.baud);
            }
        }
    }
    return runs;
}

// A unit of a whole update: its type and rate, whether it carries bytes at the true line rate,
// whether it prints its boot text after the reboot (and then quits 15 s after it, once the tool's
// boot read is over), and whether it keeps its time at real-time priority (--realtime).
struct Unit {
    std::string type;
    int baud;
    bool paced = false, bootText = true, realtime = true;
};

// Whole updates found by detection, one copy of the tool per unit side by side: every line heard
// at the rate of its phase, both images received byte for byte, and the console from the banner to
// the key prompt; a unit that reboots without its boot text ends with status 3 and no success line.
// Each real-time window is checked and its margin printed: the unit's answer to detection against
// the tool's 500 ms, each SUCCESS against the second after the image left, the boot text against
// the tool's boot read; and the simulator, which sleeps whenever nothing is due, used less than a
// tenth of a core.
class Programs : public ::testing::TestWithParam<std::pair<Launcher, std::vector<Unit>>> {};

TEST_P(Programs, WholeUpdate) {
    const auto& [launcher, units] = GetParam();
    std::vector<Pieces> options;
    for (const Unit& unit : units) {
        options.push_back({"--type", unit.type, "--baud", std::to_string(unit.baud)});
        for (const auto& [on, more] : {std::pair{unit.paced, Pieces{"--pacing"}},
                                       {unit.bootText, Pieces{"--exit-after-reboot", "15000"}},
                                       {!unit.bootText, Pieces{"--no-boot-text"}},
                                       {unit.realtime, Pieces{"--realtime"}}}) {
            if (on) {
                options.back().insert(options.back().end(), more.begin(), more.end());
            }
        }
    }
    const std::vector<ToolRun> runs = run(launcher, "whole", options, "\\n", false);
    const std::string mcu = expectedImage("M627184_MCU_61_V1_03.hex");
    for (std::size_t n = 0; n < units.size(); ++n) {
        const Unit& unit = units[n];
        const ToolRun& r = runs[n];
        const TimelineOnFailure timeline{r};
        const std::string row = launcher.name + " " + unit.type + " at " + std::to_string(unit.baud);
        SCOPED_TRACE(row);
        const bool rx = unit.type == "RX";
        const auto baud = static_cast<uint32_t>(unit.baud);
        EXPECT_TRUE(r.tool.finished) << r.tool.output;
        EXPECT_EQ(r.tool.status, unit.bootText ? 0 : 3);
        const int foundAt = launcher.foundAt > 0 ? launcher.foundAt : unit.baud;
        expectPieces(r.console, wholeUpdate(launcher.port + static_cast<int>(n), foundAt, rx,
                                            unit.bootText ? kSuccess : kKey));
        const std::string logic =
            expectedImage(rx ? "M627184_RX_XC7A15_V1_03.mcs" : "M627184_TX_XC7A15_V1_03.mcs");
        Heard expected = {{"%%%help -c version\n\r", baud}, {"%%%fw -v\n\r", baud}, {"%%%fw -p\n\r", baud}};
        expected.resize(rx ? 4 : 3, expected.back());
        expected.insert(expected.end(), {{announce('l', logic), baud}, {announce('h', mcu), 115200}});
        EXPECT_EQ(r.heard, expected);
        EXPECT_TRUE(readFile(r.folder + "/images/l.bin") == logic &&
                    readFile(r.folder + "/images/h.bin") == mcu)
            << "the images as the unit received them";

        const TraceLine *query = r.unitSaid('R', "%%%help"), *answer = r.unitSaid('S', "version\n\r");
        ASSERT_TRUE(query != nullptr && answer != nullptr) << "no detection in the unit's trace";
        const double answered = answer->out - query->at;
        expectWithin(row + " detection's answer after the query", answered, answered, kOpen, 0.5);
        const TraceLine* success = nullptr;
        for (const std::string& image : {kSendLogic, std::string("Sending data ....")}) {
            success = r.unitSaid('S', "SUCCESS", success);
            const double left = r.shownAt("100%", image);
            ASSERT_TRUE(success != nullptr && left >= 0) << "no SUCCESS, or no 100% after " << image;
            expectWithin(row + " SUCCESS after the image left the PC", success->out - left,
                         success->out - left, kOpen, 1.0);
        }
        const TraceLine* boot = r.unitSaid('S', "[");
        const double listen =
            r.shownAt(" 97%\b\b\b\b100%"); // the drain read's second, then the 11 s boot read
        if (unit.bootText) {
            ASSERT_TRUE(boot != nullptr && listen >= 0) << "no boot text, or no end of the reboot wait";
            expectWithin(row + " boot text after SUCCESS", boot->at - success->out, boot->out - success->out,
                         listen + 1 - success->out, listen + 12 - success->out);
        }
        if (launcher.seat != Seat::InGuest) { // the simulator ran here
            const double cpu = r.unitProcess.cpuSeconds, wall = r.unitProcess.seconds;
            std::printf("[ cpu ] %s unit: %.3f s of CPU in %.1f s\n", row.c_str(), cpu, wall);
            EXPECT_LT(cpu, 0.1 * wall) << "the simulator spins";
        }
    }
    std::printf("[ wall time ] %s whole update: %.1f s\n", launcher.name.c_str(), runs[0].tool.seconds);
}

// The runs that end early, by what the unit does and what is typed ('@' is the unit's port); the
// console as detection finds the unit (at `baud`, its own rate, unless the platform says otherwise).
struct Scenario {
    std::string name;
    bool unit; // else no unit on any port
    Pieces options;
    int status;
    Pieces (*console)(int port, int baud);
    std::string typed = "\\n";
    int baud = 9600;
    bool pulledOut = false; // the unit (the adapter) vanishes inside the logic image
    // FAILED this long after the cause (min, max): the logic image's start for a unit that stops
    // taking bytes; the unit's leaving, or the adapter's unplug in the guest, for one that vanishes.
    double failedAfterS[2] = {0, 0};
};

Pieces noPort(int port, int) {
    return {notOpened(std::to_string(port))};
}
Pieces typedByHand(int port, int baud) {
    return {manual(port, baud) + kUnknown};
}
Pieces unsupported(int port, int baud) {
    return {found(port, baud) + versions("QV7TX", "8") + kUnknown};
}
Pieces notReady(int port, int baud) {
    return {found(port, baud) + versions("QV7TX", "9") + kProduct + kTxOk + kLogic +
            "FAILED [Unit not ready]\r\n" + kFailed};
}
Pieces failedInLogic(int port, int baud) {
    return {found(port, baud), kSendLogic, "%FAILED\r\n" + kFailed};
}

const Scenario kScenarios[] = {
    {"no_port", false, {}, 255, noPort, "@\\n9600\\n"}, // no unit, no adapter: the port typed does not open
    {"manual", true, {"--silent"}, 1, typedByHand, "@\\n9600\\n"},
    {"device8", true, {"--device-code", "8"}, 1, unsupported},
    {"not_ready", true, {"--ready-with-line-end"}, 1, notReady},
    // The unit stops taking bytes inside the logic image: the write held back fails after its line
    // time (10,240 bytes at 115200: 0.89 s) and the 15 s margin.
    {"stalled", true, {"--cts-low-after-bytes", "200000"}, 1, failedInLogic, "\\n", 9600, false, {15, 17.5}},
    // The unit vanishes inside the logic image, like an adapter pulled out: the write fails at once.
    {"vanished", true, {}, 1, failedInLogic, "\\n", 9600, true, {kOpen, 2}},
    {"unplugged", true, {}, 1, failedInLogic, "\\n", 57600, true, {kOpen, 10}}, // a stall would add its 15 s
    // A native-USB unit leaves the bus inside the logic image.
    {"cdc_unplugged", true, {}, 1, failedInLogic, "\\n", 57600, true, {kOpen, 10}},
};

class ShortRuns : public ::testing::TestWithParam<std::pair<Launcher, Scenario>> {};

TEST_P(ShortRuns, EndAsTheyMust) {
    const auto& [launcher, s] = GetParam();
    std::string typed = s.typed;
    if (const std::size_t at = typed.find('@'); at != std::string::npos) {
        typed.replace(at, 1, std::to_string(launcher.port));
    }
    Pieces sim;
    if (s.unit) {
        sim = {"--baud", std::to_string(s.baud)};
        sim.insert(sim.end(), s.options.begin(), s.options.end());
    }
    const ToolRun r = run(launcher, s.name, {sim}, typed, s.pulledOut)[0];
    const TimelineOnFailure timeline{r};
    EXPECT_TRUE(r.tool.finished) << r.tool.output;
    EXPECT_EQ(r.tool.status, s.status) << readFile(r.folder + "/valgrind.log");
    expectPieces(r.console, s.console(launcher.port, launcher.foundAt > 0 ? launcher.foundAt : s.baud));
    if (s.failedAfterS[1] > 0) {
        double cause = r.shownAt(kSendLogic);
        if (s.pulledOut && launcher.seat == Seat::BehindAdapter) {
            cause = r.shownAt(kUnplugged);
        } else if (s.pulledOut) {
            const TraceLine* left = r.unitSaid('E', "unit vanished");
            cause = left != nullptr ? left->at : -1;
        }
        const double failed = r.shownAt("FAILED", kSendLogic); // a guest's unplug note may come between
        ASSERT_TRUE(cause >= 0 && failed >= 0) << "no time for the cause or for FAILED";
        expectWithin(launcher.name + " " + s.name + " FAILED after the cause", failed - cause, failed - cause,
                     s.failedAfterS[0], s.failedAfterS[1]);
    }
    if (launcher.guest && s.pulledOut) { // the guest's kernel saw the adapter, or the unit, leave the bus
        EXPECT_NE(readFile(r.folder + "/guest.log").find("USB disconnect"), std::string::npos);
    }
}

const std::string kLinks = FWUPGRADE_TEST_PORT_DIR "/COM%d", kWineLinks = WINE_PREFIX_DIR "/dosdevices/com%d";
// The Windows programs as a technician has them: unpacked from the zip.
const std::string kBuilt = PROGRAMS_DIR, kWindows = WINDOWS_PROGRAMS_DIR;
const Pieces kMemcheck = {VALGRIND, "--leak-check=full", "--errors-for-leak-kinds=definite,indirect,possible",
                          "--error-exitcode=99", "--log-file=valgrind.log"};
const Launcher kLinux{"linux", 3, Seat::OnLink, {}, kBuilt, kLinks},
    kWine{"wine", 7, Seat::OnLink, inWine({WINE_PROGRAM}), kWindows, kWineLinks, false, true},
    kValgrind{"valgrind", 3, Seat::OnLink, kMemcheck, kBuilt, kLinks},
    kQemu{"qemu", 1, Seat::BehindAdapter, {}, "", "", true},
    kQemuWine{"qemuwine", 1, Seat::BehindAdapter, inWine({}), kWindows, "", true, true},
    kCdc{"cdc", 17, Seat::InGuest, {}, "", "", true, false, 115200};

// Linux: a pair, each unit paced at its true line rate behind a driver queue like a real one, and
// beside it a unit that reboots silently, at the ordinary scheduling class. Wine: a pair, which
// only holds when the Windows program keeps a port to one copy. QEMU: the release program through
// the kernel's ftdi_sio driver, COM1 (/dev/ttyUSB0) at 57600; the Windows program the same way, RX
// at 9600. CDC: the unit in the guest (COM17, /dev/ttyACM0 through cdc_acm), answering at any
// rate: its own is 57600, the tool finds it at 115200.
using Units = std::vector<Unit>;
INSTANTIATE_TEST_SUITE_P(Platforms, Programs,
                         ::testing::Values(std::pair{kLinux, Units{{"RX", 57600, true},
                                                                   {"TX", 9600, true},
                                                                   {"TX", 115200, false, false, false}}},
                                           std::pair{kWine, Units{{"TX", 9600}, {"RX", 57600}}},
                                           std::pair{kQemu, Units{{"TX", 57600}}},
                                           std::pair{kQemuWine, Units{{"RX", 9600}}},
                                           std::pair{kCdc, Units{{"RX", 57600}}}),
                         [](const auto& info) { return info.param.first.name; });

// Each platform's short runs, by name.
std::vector<std::pair<Launcher, Scenario>> shortRuns() {
    const std::pair<Launcher, Pieces> kRuns[] = {
        {kLinux, {"no_port", "manual", "device8", "stalled"}},
        {kValgrind, {"device8"}},
        {kWine, {"no_port", "manual", "device8", "not_ready", "stalled", "vanished"}},
        {kQemu, {"no_port", "unplugged"}},
        {kQemuWine, {"unplugged"}},
        {kCdc, {"cdc_unplugged"}}};
    std::vector<std::pair<Launcher, Scenario>> picked;
    for (const auto& [launcher, names] : kRuns) {
        for (const Scenario& s : kScenarios) {
            if (std::find(names.begin(), names.end(), s.name) != names.end()) {
                picked.emplace_back(launcher, s);
            }
        }
    }
    return picked;
}
INSTANTIATE_TEST_SUITE_P(Platforms, ShortRuns, ::testing::ValuesIn(shortRuns()), [](const auto& info) {
    return info.param.first.name + "_" + info.param.second.name;
});

} // namespace
