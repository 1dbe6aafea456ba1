// The POSIX serial layer under the tool's own port module, over pseudo-terminals published as
// COM ports beyond those detection walks, numbered after the test process (tests run side by
// side): opening and exclusive access, the line the far end sees, the read time-out rule, the
// write deadline at the tool's own settings with CTS flow control off and on, a far end that
// vanishes; the simulator program on a device; and the real program's console.
#include "ComPortAPI.h"
#include "platform/PosixDeviceNames.h"

#include "ChildProcess.h"
#include "ComLink.h"
#include "ConsoleText.h"
#include "DevicePort.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace {

using Clock = std::chrono::steady_clock;
const std::string kPorts = FWUPGRADE_TEST_PORT_DIR;
const COMMTIMEOUTS kInitialCto = g_cto;
const DCB kInitialDcb = g_dcb;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// These rows time the layer's own deadlines against a far end in this process, so the process keeps
// its time at real-time priority where it may (as root): a loaded machine would lengthen what they
// measure. The programs it starts run as usual (the policy is reset for them).
const bool kKeepsTime = [] {
    const sched_param high{10};
    return sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &high) == 0;
}();

// A time the layer took, against its window, whose start is the rule (exact) and whose end what a
// slow machine may use up: the margin left before the end is printed in the bench's one form.
void expectWithin(const std::string& what, long long ms, long long minMs, long long maxMs) {
    EXPECT_GE(ms, minMs) << what;
    EXPECT_LE(ms, maxMs) << what;
    std::printf("[ margin ] pty %s: %.3f s, window %.3f-%.3f s, %.3f s to spare\n", what.c_str(), ms / 1e3,
                minMs / 1e3, maxMs / 1e3, (maxMs - ms) / 1e3);
}

const int kPort = 100 + getpid() % 100000;
const std::string kLink = kPorts + "/COM" + std::to_string(kPort);

// A fresh pty published as kPort and opened the way the tool opens it.
class PosixPort : public ::testing::Test {
  protected:
    void SetUp() override {
        g_cto = kInitialCto;
        g_dcb = kInitialDcb;
        ASSERT_TRUE(link.ok);
        ASSERT_TRUE(ComPortAPI_OpenCOM(kPort));
    }
    void TearDown() override { ComPortAPI_CloseCOM(); }
    termios line() const {
        termios seen{};
        EXPECT_EQ(tcgetattr(link.fd(), &seen), 0);
        return seen;
    }
    // One read of at most `count` bytes: the bytes, how long the read took and its result.
    struct Read {
        std::string bytes;
        long long ms;
        BOOL ok;
    };
    static Read read(int count) {
        std::string buffer(static_cast<std::size_t>(count), '\0');
        int got = -1;
        const auto start = Clock::now();
        const BOOL ok = ComPortAPI_ReadCOM(buffer.data(), count, &got);
        return {buffer.substr(0, static_cast<std::size_t>(got)), msSince(start), ok};
    }
    ComLink link{kLink};
};

TEST_F(PosixPort, OpenIsExclusiveAndLeavesNothingBehind) {
    EXPECT_EQ(Platform_SerialOpen("", kPort), INVALID_HANDLE_VALUE) << "already open here";
    ComPortAPI_CloseCOM();
    const auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const int other = open(link.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    int exclusive = -1;
    EXPECT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the exclusive flag is cleared at close";
    // Another program holding the port by a lock, or by the tty's exclusive flag (which root
    // passes in the kernel), keeps the tool out, as a refusal; one that only has it open does not.
    const auto held = descriptors();
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_TRUE(!ComPortAPI_OpenCOM(kPort) && Platform_SerialLastOpenRefused());
    flock(other, LOCK_UN);
    ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
    EXPECT_TRUE(!ComPortAPI_OpenCOM(kPort) && Platform_SerialLastOpenRefused());
    ioctl(other, TIOCNXCL);
    EXPECT_EQ(descriptors(), held) << "a refused open leaves no descriptor behind";
    EXPECT_TRUE(ComPortAPI_OpenCOM(kPort));
    ComPortAPI_CloseCOM();
    close(other);
    // Absent, or not a terminal: no refusal.
    link.destroy();
    const auto gone = descriptors();
    EXPECT_TRUE(!ComPortAPI_OpenCOM(kPort) && !Platform_SerialLastOpenRefused());
    std::fclose(std::fopen(kLink.c_str(), "w"));
    EXPECT_TRUE(!ComPortAPI_OpenCOM(kPort) && !Platform_SerialLastOpenRefused());
    std::remove(kLink.c_str());
    EXPECT_EQ(descriptors(), gone);
}

TEST_F(PosixPort, FarEndSeesRaw8N1TheFlowControlAndEveryRateTheLayerClaims) {
    termios seen = line();
    EXPECT_EQ(seen.c_cflag & (CSIZE | PARENB | CSTOPB | CLOCAL | CREAD | CRTSCTS),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD | CRTSCTS));
    EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(seen.c_oflag & OPOST, 0u);
    EXPECT_EQ(seen.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B9600));
    EXPECT_TRUE(ComPortAPI_SetHardwareFlowControl(0));
    EXPECT_EQ(line().c_cflag & CRTSCTS, 0u);

    const std::pair<int, speed_t> rates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
        {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
        {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000}, {9600, B9600}};
    for (const auto& [rate, code] : rates) {
        EXPECT_TRUE(ComPortAPI_SetBaudRate(rate)) << rate;
        seen = line();
        EXPECT_EQ(cfgetospeed(&seen), code) << rate;
        EXPECT_EQ(cfgetispeed(&seen), code) << rate;
    }
    EXPECT_FALSE(ComPortAPI_SetBaudRate(12345)) << "no such rate";
    seen = line();
    EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B9600));
}

TEST_F(PosixPort, ReadEndsWhenItsCountHasArrivedOrTheTimeOutAfterItBegan) {
    const std::string all(300, '\x5A');

    // farEnd: what the far end writes, (ms after the read began, bytes).
    struct Row {
        int timeout, count;
        std::vector<std::pair<int, std::string>> farEnd;
        std::string got;
        long long minMs, maxMs;
    };
    const Row rows[] = {
        {300, 64, {}, "", 300, 450},                                    // a silent line: T, never less
        {2000, 7, {{100, "abc"}, {200, "defg"}}, "abcdefg", 190, 450},  // the count arrives
        {300, 64, {{0, "a"}, {100, "b"}, {200, "c"}}, "abc", 300, 450}, // gaps under T: still T
        {300, 4, {{0, all}}, all.substr(0, 4), 0, 100},                 // already waiting
    };
    for (const Row& row : rows) {
        ComPortAPI_SetReadingTimeoutInMs(row.timeout);
        std::thread farEnd([&] {
            const auto start = Clock::now();
            for (const auto& [at, bytes] : row.farEnd) {
                std::this_thread::sleep_until(start + std::chrono::milliseconds(at));
                link.writeToTool(bytes.data(), bytes.size());
            }
        });
        const Read got = read(row.count);
        farEnd.join();
        EXPECT_EQ(got.bytes, row.got);
        expectWithin("read of " + std::to_string(row.count) + " bytes, " + std::to_string(row.timeout) +
                         " ms time-out, " + std::to_string(row.farEnd.size()) + " pieces",
                     got.ms, row.minMs, row.maxMs);
        Platform_SerialPurge(g_hCOM);
    }
    // What waited in the driver at the open is gone.
    link.writeToTool("stale", 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ComPortAPI_CloseCOM();
    ASSERT_TRUE(ComPortAPI_OpenCOM(kPort));
    EXPECT_EQ(read(64).bytes, "");
}

// The far end takes nothing (as a port without a partner, or CTS held low): at the tool's own
// settings, which ask for no write time-out, the write fails once its line time (100 bytes at
// 9600: 105 ms) and the margin of the flow control have passed: 1 s with CTS flow control off,
// 15 s with it on. Each row is a test of its own, so the two run side by side.
class HeldWrite : public PosixPort, public ::testing::WithParamInterface<std::pair<BOOL, long long>> {};

TEST_P(HeldWrite, FailsAfterItsLineTimeAndTheMarginOfTheFlowControl) {
    const auto [cts, marginMs] = GetParam();
    ComPortAPI_SetHardwareFlowControl(cts);
    ASSERT_TRUE(link.holdToolOutput(true));
    const std::string bytes(100, 'x');
    int written = -1;
    const auto start = Clock::now();
    EXPECT_FALSE(ComPortAPI_WriteCOM(bytes.data(), 100, &written));
    const long long ms = msSince(start);
    EXPECT_EQ(written, 0);
    expectWithin(cts ? "held write, CTS flow control on" : "held write, CTS flow control off", ms,
                 105 + marginMs, 105 + marginMs + 500);
    ASSERT_TRUE(link.holdToolOutput(false));
    EXPECT_TRUE(ComPortAPI_WriteCOM(bytes.data(), 100, &written));
    EXPECT_TRUE(ComPortAPI_FlushCOM()) << "a pty holds nothing back once it took the bytes";
}
INSTANTIATE_TEST_SUITE_P(Cts, HeldWrite,
                         ::testing::Values(std::pair<BOOL, long long>{0, 1000},
                                           std::pair<BOOL, long long>{1, 15000}));

TEST_F(PosixPort, VanishedFarEndFailsReadsWithoutSpinningAndWritesAtOnce) {
    link.destroy();
    ComPortAPI_SetReadingTimeoutInMs(300);
    const std::clock_t cpu = std::clock();
    const Read got = read(64);
    EXPECT_EQ(got.bytes, "");
    EXPECT_EQ(got.ok, 0);
    expectWithin("read of a vanished far end, silent for the whole time-out", got.ms, 300, 450);
    EXPECT_LT(1000.0 * static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC, 50.0) << "no busy loop";
    int written = -1;
    const auto start = Clock::now();
    EXPECT_FALSE(ComPortAPI_WriteCOM("%%%fw -v\n\r", 10, &written));
    EXPECT_FALSE(ComPortAPI_FlushCOM());
    expectWithin("write and drain on a vanished far end", msSince(start), 0, 100);
}

TEST(ComDeviceNames, UsbAdaptersThenAcmDevicesThenUartsOrTheBuildsFormat) {
    const std::tuple<int, const char*, const char*> rows[] = {{1, nullptr, "/dev/ttyUSB0"},
                                                              {16, nullptr, "/dev/ttyUSB15"},
                                                              {17, nullptr, "/dev/ttyACM0"},
                                                              {32, nullptr, "/dev/ttyACM15"},
                                                              {33, nullptr, "/dev/ttyS0"},
                                                              {99999999, nullptr, "/dev/ttyS99999966"},
                                                              {0, nullptr, ""},
                                                              {-1, nullptr, ""},
                                                              {100000000, nullptr, ""},
                                                              {7, "/x/COM%d", "/x/COM7"},
                                                              {7, "/x/%u%%", "/x/7%"},
                                                              {7, "/x/%s", ""},
                                                              {7, "/x/%d%d", ""},
                                                              {7, "/x/%*d", ""},
                                                              {7, "/x", ""},
                                                              {7, "/a/rather/long/folder/COM%d", ""}};
    for (const auto& [port, format, expected] : rows) {
        char path[24];
        EXPECT_EQ(PosixDeviceNames_ComPath(port, format, path, sizeof path), expected[0] != '\0')
            << port << (format ? format : "");
        EXPECT_STREQ(path, expected) << "a path that does not fit is refused, not cut";
    }
}

// The simulator on a serial device, here a pty's slave (no modem lines: the RTS that stands for the
// unit's CTS changes nothing). CTS low only asks the tool's UART to stop; a tool with CTS flow
// control off (detection) sends on, and the unit's UART still hears it.
TEST(Simulator, OnADeviceTheUnitHearsAToolThatIgnoresItsCts) {
    const std::string ready = kPorts + "/../ready-" + std::to_string(getpid());
    const std::string help = "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";
    for (const auto& [fault, value] :
         {std::pair{"--cts-low-until", "60000"}, {"--cts-low-after-bytes", "3"}}) {
        velmora_sim::PtyPort wire; // the simulator's device is the slave; the tool's end is the master
        ASSERT_TRUE(wire.create());
        ChildProcess sim(
            {VELMORA_UNIT_SIM, "--port", wire.slavePath(), "--ready-file", ready + fault, fault, value});
        ASSERT_TRUE(sim.start());
        std::string heard;
        const auto start = Clock::now();
        for (bool asked = false; heard.size() < help.size() && msSince(start) < 5000;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            asked = asked || (std::filesystem::exists(ready + fault) &&
                              wire.writeToTool("%%%help -c version\n\r", 20) == 20);
            char buffer[256];
            heard.append(buffer,
                         static_cast<std::size_t>(std::max(0L, wire.readFromTool(buffer, sizeof buffer))));
        }
        EXPECT_EQ(heard, help) << fault;
        std::printf("[ margin ] pty simulator on a device, %s: the reply %.3f s after the start, window up "
                    "to 5.000 s, %.3f s to spare\n",
                    fault, msSince(start) / 1e3, (5000 - msSince(start)) / 1e3);
    }
}

// A gadget leaves the bus from its own USB device controller only: the one the g_serial gadget of
// its ttyGS port is bound to, or the one named; none, with the reason, when that cannot be told.
TEST(Simulator, AGadgetLeavesTheBusFromItsOwnControllerOnly) {
    const std::string udc = freshFolder(kPorts + "/../udc-" + std::to_string(getpid()));
    for (const auto& [name, function] :
         {std::pair{"dummy_udc.0", "g_ether\n"}, {"dummy_udc.1", "g_serial\n"}}) {
        std::filesystem::create_directory(udc + "/" + name);
        std::ofstream(udc + "/" + name + "/function") << function;
    }
    const std::tuple<const char*, const char*, std::string> rows[] = {
        // port, --udc: the controller chosen
        {"/dev/ttyGS0", "", "dummy_udc.1"},
        {"/dev/ttyUSB0", "", ""},
        {"/dev/ttyGS0", "dummy_udc.0", "dummy_udc.0"},
        {"/dev/ttyGS0", "x", ""}};
    for (const auto& [port, named, chosen] : rows) {
        std::string why;
        EXPECT_EQ(velmora_sim::gadgetController(udc, port, named, &why), chosen) << port << named;
        EXPECT_EQ(why.empty(), !chosen.empty()) << why;
    }
}

// The real program: its console is unbuffered, so the banner and the detecting line show while
// the first port is still being probed (an empty port costs six rates of two half-second tries).
TEST(Program, ConsoleShowsAtOnceAndPromptsReadTheTypedNumbers) {
    ComLink com1(kPorts + "/COM1");
    ASSERT_TRUE(com1.ok);
    ChildProcess tool({VELMORA_FW_UPGRADE}, freshFolder(kPorts + "/../program-" + std::to_string(getpid())));
    ASSERT_TRUE(tool.start("1\n12345\n"));
    using namespace console_text;
    EXPECT_TRUE(tool.waitForOutput(kBanner, std::chrono::milliseconds(3000)));
    EXPECT_EQ(tool.output(), kBanner);
    const ChildProcess::Result run = tool.wait(std::chrono::seconds(30));
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, kBanner + kPrompts +
                              "\r\nOpening COM1....................OK\r\n\n\r\n\r"
                              "Enter the BAUD RATE       : \r\nSetting baud rate at 12345.........." +
                              kKey);
    EXPECT_GE(run.seconds, 6.0);
}

} // namespace
