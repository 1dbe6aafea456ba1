// The POSIX serial layer under the tool's own port module, over pseudo-terminals published as COM
// ports beyond those detection walks, numbered after the test process (tests run side by side):
// opening and exclusive access, the line the far end sees, the read time-out rule, the write
// deadline at the tool's own settings with CTS flow control off and on, a far end that vanishes;
// and the COM device names.
#include "ComPortAPI.h"
#include "platform/PosixDeviceNames.h"

#include "PtyPort.h"
#include "RealTime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;
const COMMTIMEOUTS kInitialCto = g_cto;
const DCB kInitialDcb = g_dcb;
const int kPort = 100 + getpid() % 100000;
const std::string kLink = FWUPGRADE_TEST_PORT_DIR "/COM" + std::to_string(kPort);

// A time the layer took: at least what its rule says, and within the window a slow machine may use
// up, whose margin is printed in the bench's one form.
void expectTook(const std::string& what, double seconds, double rule, double windowTo) {
    EXPECT_GE(seconds, rule) << what;
    expectWithin("pty " + what, seconds, seconds, kOpen, windowTo);
}

// A fresh pty published as kPort and opened the way the tool opens it. These rows time the layer's
// deadlines against a far end in this process, so the process keeps its time at real-time priority
// where it may (as root): a loaded machine would lengthen what they measure. Should the layer spin
// there, the kernel ends the run after a second without a pause (SIGXCPU).
class PosixPort : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const sched_param high{10};
        const rlimit oneSecond{1000000, 1000000};
        if (setrlimit(RLIMIT_RTTIME, &oneSecond) != 0 || sched_setscheduler(0, SCHED_FIFO, &high) != 0) {
            std::printf("the pty rows run at the ordinary scheduling class\n");
        }
    }
    void SetUp() override {
        g_cto = kInitialCto;
        g_dcb = kInitialDcb;
        ASSERT_TRUE(link.create() && link.publish(kLink) && ComPortAPI_OpenCOM(kPort));
    }
    void TearDown() override { ComPortAPI_CloseCOM(); }
    static double since(Clock::time_point start) { return Seconds(Clock::now() - start).count(); }
    // The descriptors open in this process.
    static auto openFds() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }
    termios line() const {
        termios seen{};
        EXPECT_EQ(tcgetattr(link.fd(), &seen), 0);
        return seen;
    }
    // One read of at most `count` bytes: the bytes, its result and how long it took.
    static std::tuple<std::string, BOOL, double> read(int count) {
        std::string buffer(static_cast<std::size_t>(count), '\0');
        int got = -1;
        const auto start = Clock::now();
        const BOOL ok = ComPortAPI_ReadCOM(buffer.data(), count, &got);
        return {buffer.substr(0, static_cast<std::size_t>(got)), ok, since(start)};
    }
    velmora_sim::PtyPort link; // published at kLink; the test keeps its far end
};

TEST_F(PosixPort, OpenIsExclusiveAndLeavesNothingBehind) {
    EXPECT_EQ(Platform_SerialOpen("", kPort), INVALID_HANDLE_VALUE) << "already open here";
    link.writeToTool("stale", 5); // still waiting in the driver at the next open
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ComPortAPI_CloseCOM();
    const int other = open(link.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    int exclusive = -1;
    EXPECT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the exclusive flag is cleared at close";
    // Another program holding the port by a lock, or by the tty's exclusive flag (which root
    // passes in the kernel), keeps the tool out, as a refusal; one that only has it open does not.
    const auto held = openFds();
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_TRUE(!ComPortAPI_OpenCOM(kPort) && Platform_SerialLastOpenRefused());
    flock(other, LOCK_UN);
    ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
    EXPECT_TRUE(!ComPortAPI_OpenCOM(kPort) && Platform_SerialLastOpenRefused());
    ioctl(other, TIOCNXCL);
    EXPECT_EQ(openFds(), held) << "a refused open leaves no descriptor behind";
    EXPECT_TRUE(ComPortAPI_OpenCOM(kPort));
    EXPECT_EQ(std::get<0>(read(64)), "") << "what waited in the driver at the open is gone";
    ComPortAPI_CloseCOM();
    close(other);
    // Absent, or not a terminal: no refusal.
    link.destroy();
    const auto gone = openFds();
    EXPECT_TRUE(!ComPortAPI_OpenCOM(kPort) && !Platform_SerialLastOpenRefused());
    std::fclose(std::fopen(kLink.c_str(), "w"));
    EXPECT_TRUE(!ComPortAPI_OpenCOM(kPort) && !Platform_SerialLastOpenRefused());
    std::remove(kLink.c_str());
    EXPECT_EQ(openFds(), gone);
}

TEST_F(PosixPort, FarEndSeesRaw8N1TheFlowControlAndEveryRateTheLayerClaims) {
    termios seen = line();
    EXPECT_EQ(seen.c_cflag & (CSIZE | PARENB | CSTOPB | CLOCAL | CREAD | CRTSCTS),
              CS8 | CLOCAL | CREAD | CRTSCTS);
    EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(seen.c_oflag & OPOST, 0u);
    EXPECT_EQ(seen.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_TRUE(ComPortAPI_SetHardwareFlowControl(0));
    EXPECT_EQ(line().c_cflag & CRTSCTS, 0u);

    // 9600 first: the rate the open set, which setting again leaves alone.
    const std::pair<int, speed_t> codes[] = {
        {9600, B9600},       {50, B50},           {75, B75},           {110, B110},
        {134, B134},         {150, B150},         {200, B200},         {300, B300},
        {600, B600},         {1200, B1200},       {1800, B1800},       {2400, B2400},
        {4800, B4800},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000}};
    for (const auto& [rate, code] : codes) {
        EXPECT_TRUE(ComPortAPI_SetBaudRate(rate)) << rate;
        seen = line();
        EXPECT_EQ(std::pair(cfgetospeed(&seen), cfgetispeed(&seen)), std::pair(code, code)) << rate;
    }
    EXPECT_FALSE(ComPortAPI_SetBaudRate(12345)) << "no such rate";
    seen = line();
    EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B4000000)) << "the last rate stays";
}

TEST_F(PosixPort, ReadEndsWhenItsCountHasArrivedOrTheTimeOutAfterItBegan) {
    // What the far end writes: (ms after the read began or its previous write, bytes).
    using FarEnd = std::vector<std::pair<int, std::string>>;
    // What, the time-out (ms), the count, the far end, the bytes read; the read's rule and window (s).
    const std::tuple<const char*, int, int, FarEnd, std::string, double, double> rows[] = {
        {"a silent line: the time-out, never less", 300, 64, {}, "", 0.3, 0.45},
        {"the count arrives", 2000, 7, {{100, "abc"}, {100, "defg"}}, "abcdefg", 0.19, 0.45},
        {"gaps under the time-out", 300, 64, {{0, "a"}, {100, "b"}, {100, "c"}}, "abc", 0.3, 0.45},
        {"the count already waiting", 300, 4, {{0, std::string(300, 'Z')}}, "ZZZZ", 0, 0.1},
    };
    for (const auto& [what, timeout, count, farEnd, expected, rule, windowTo] : rows) {
        ComPortAPI_SetReadingTimeoutInMs(timeout);
        std::thread writer([&, &farEnd = farEnd] {
            for (const auto& [after, bytes] : farEnd) {
                std::this_thread::sleep_for(std::chrono::milliseconds(after));
                link.writeToTool(bytes.data(), bytes.size());
            }
        });
        const auto [got, ok, seconds] = read(count);
        writer.join();
        EXPECT_EQ(std::pair(got, ok), std::pair(expected, 1));
        expectTook(std::string("read: ") + what, seconds, rule, windowTo);
        Platform_SerialPurge(g_hCOM);
    }
}

// The far end takes nothing (as a port without a partner, or CTS held low): at the tool's own
// settings, which ask for no write time-out, the write fails once its line time (100 bytes at
// 9600: 105 ms) and the margin of the flow control have passed: 1 s with CTS flow control off,
// 15 s with it on. Each row is a test of its own, so the two run side by side.
// Each row: CTS flow control on, and the time the write takes at least (s).
class HeldWrite : public PosixPort, public ::testing::WithParamInterface<std::pair<bool, double>> {};

TEST_P(HeldWrite, FailsAfterItsLineTimeAndTheMarginOfTheFlowControl) {
    const auto [cts, rule] = GetParam();
    ComPortAPI_SetHardwareFlowControl(cts);
    ASSERT_TRUE(link.holdToolOutput(true));
    const std::string bytes(100, 'x');
    int written = -1;
    const auto start = Clock::now();
    EXPECT_FALSE(ComPortAPI_WriteCOM(bytes.data(), 100, &written));
    EXPECT_EQ(written, 0);
    expectTook(cts ? "held write, CTS on" : "held write, CTS off", since(start), rule, rule + 0.5);
    ASSERT_TRUE(link.holdToolOutput(false));
    EXPECT_TRUE(ComPortAPI_WriteCOM(bytes.data(), 100, &written));
    EXPECT_TRUE(ComPortAPI_FlushCOM()) << "a pty holds nothing back once it took the bytes";
}
INSTANTIATE_TEST_SUITE_P(Cts, HeldWrite, ::testing::Values(std::pair(false, 1.105), std::pair(true, 15.105)));

TEST_F(PosixPort, VanishedFarEndFailsReadsWithoutSpinningAndWritesAtOnce) {
    link.destroy();
    const std::clock_t cpu = std::clock();
    const auto [got, ok, seconds] = read(64);
    EXPECT_EQ(std::pair(got, ok), std::pair(std::string(), 0));
    expectTook("read of a vanished far end: the whole time-out", seconds, MAX_WAIT_READ / 1e3, 0.65);
    EXPECT_LT(static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC, 0.05) << "no busy loop";
    int written = -1;
    const auto start = Clock::now();
    EXPECT_FALSE(ComPortAPI_WriteCOM("%%%fw -v\n\r", 10, &written));
    EXPECT_FALSE(ComPortAPI_FlushCOM());
    expectTook("write and drain on a vanished far end", since(start), 0, 0.1);
}

TEST(ComDeviceNames, UsbAdaptersThenAcmDevicesThenUartsOrTheBuildsFormat) {
    // A number outside 1..99999999, a format that does not take exactly one number, or a path that
    // does not fit (24 bytes here) gives none: refused, not cut.
    const int ports[] = {1, 16, 17, 32, 33, 99999999, 0, -1, 100000000};
    const char* names[] = {"USB0", "USB15", "ACM0", "ACM15", "S0", "S99999966", "", "", ""}; // under /dev/tty
    const char* formats[] = {
        "/x/COM%d", "/x/%u%%", "/x/%s", "/x/%d%d", "/x/%*d", "/x", "/a/rather/long/folder/COM%d"};
    const char* formatted[] = {"/x/COM7", "/x/7%", "", "", "", "", ""};
    char path[24];
    for (std::size_t i = 0; i < std::size(ports); ++i) {
        EXPECT_EQ(PosixDeviceNames_ComPath(ports[i], nullptr, path, sizeof path), names[i][0] != '\0')
            << ports[i];
        EXPECT_EQ(path, names[i][0] != '\0' ? "/dev/tty" + std::string(names[i]) : "") << ports[i];
    }
    for (std::size_t i = 0; i < std::size(formats); ++i) {
        EXPECT_EQ(PosixDeviceNames_ComPath(7, formats[i], path, sizeof path), formatted[i][0] != '\0')
            << formats[i];
        EXPECT_STREQ(path, formatted[i]) << formats[i];
    }
}

} // namespace
