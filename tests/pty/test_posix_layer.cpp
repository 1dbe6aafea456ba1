// The POSIX serial layer under the tool's own port module, over pseudo-terminals published as COM
// ports beyond those detection walks, numbered after the test process (tests run side by side):
// opening and exclusive access, the line the far end sees, the read time-out rule, the write
// deadline at the tool's own settings with CTS flow control off and on, a far end that vanishes;
// and the COM device names.
#include "ComPortAPI.h"
#include "platform/PosixDeviceNames.h"

#include "Files.h"
#include "PtyPort.h"
#include "RealTime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>

namespace {

using Clock = std::chrono::steady_clock;
const std::string kPorts = FWUPGRADE_TEST_PORT_DIR;
const COMMTIMEOUTS kInitialCto = g_cto;
const DCB kInitialDcb = g_dcb;
const int kPort = 100 + getpid() % 100000;
const std::string kLink = kPorts + "/COM" + std::to_string(kPort);

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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
        double seconds;
        BOOL ok;
    };
    static Read read(int count) {
        std::string buffer(static_cast<std::size_t>(count), '\0');
        int got = -1;
        const auto start = Clock::now();
        const BOOL ok = ComPortAPI_ReadCOM(buffer.data(), count, &got);
        return {buffer.substr(0, static_cast<std::size_t>(got)), secondsSince(start), ok};
    }
    struct ComLink : velmora_sim::PtyPort { // the pty published at kLink; the test keeps its far end
        ComLink() { ok = create() && publish(kLink); }
        bool ok = false;
    } link;
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

    const int rates[] = {50,     75,      110,     134,     150,     200,     300,     600,    1200,   1800,
                         2400,   4800,    19200,   38400,   57600,   115200,  230400,  460800, 500000, 576000,
                         921600, 1000000, 1152000, 1500000, 2000000, 3000000, 4000000, 9600};
    const speed_t codes[] = {B50,      B75,      B110,     B134,     B150,     B200,     B300,
                             B600,     B1200,    B1800,    B2400,    B4800,    B19200,   B38400,
                             B57600,   B115200,  B230400,  B460800,  B500000,  B576000,  B921600,
                             B1000000, B1152000, B1500000, B2000000, B3000000, B4000000, B9600};
    for (std::size_t i = 0; i < std::size(rates); ++i) {
        EXPECT_TRUE(ComPortAPI_SetBaudRate(rates[i])) << rates[i];
        seen = line();
        EXPECT_EQ(cfgetospeed(&seen), codes[i]) << rates[i];
        EXPECT_EQ(cfgetispeed(&seen), codes[i]) << rates[i];
    }
    EXPECT_FALSE(ComPortAPI_SetBaudRate(12345)) << "no such rate";
    seen = line();
    EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B9600));
}

TEST_F(PosixPort, ReadEndsWhenItsCountHasArrivedOrTheTimeOutAfterItBegan) {
    const std::string all(300, '\x5A');
    // farEnd: what the far end writes, (ms after the read began, bytes); the read's rule and window (s).
    struct Row {
        const char* what;
        int timeout, count;
        std::vector<std::pair<int, std::string>> farEnd;
        std::string got;
        double rule, windowTo;
    };
    const Row rows[] = {
        {"a silent line: the time-out, never less", 300, 64, {}, "", 0.3, 0.45},
        {"the count arrives", 2000, 7, {{100, "abc"}, {200, "defg"}}, "abcdefg", 0.19, 0.45},
        {"gaps under the time-out: still the time-out",
         300,
         64,
         {{0, "a"}, {100, "b"}, {200, "c"}},
         "abc",
         0.3,
         0.45},
        {"the count already waiting", 300, 4, {{0, all}}, all.substr(0, 4), 0, 0.1},
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
        expectTook(std::string("read: ") + row.what, got.seconds, row.rule, row.windowTo);
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
class HeldWrite : public PosixPort, public ::testing::WithParamInterface<std::pair<BOOL, double>> {};

TEST_P(HeldWrite, FailsAfterItsLineTimeAndTheMarginOfTheFlowControl) {
    const auto [cts, margin] = GetParam();
    ComPortAPI_SetHardwareFlowControl(cts);
    ASSERT_TRUE(link.holdToolOutput(true));
    const std::string bytes(100, 'x');
    int written = -1;
    const auto start = Clock::now();
    EXPECT_FALSE(ComPortAPI_WriteCOM(bytes.data(), 100, &written));
    EXPECT_EQ(written, 0);
    expectTook(cts ? "held write, CTS flow control on" : "held write, CTS flow control off",
               secondsSince(start), 0.105 + margin, 0.105 + margin + 0.5);
    ASSERT_TRUE(link.holdToolOutput(false));
    EXPECT_TRUE(ComPortAPI_WriteCOM(bytes.data(), 100, &written));
    EXPECT_TRUE(ComPortAPI_FlushCOM()) << "a pty holds nothing back once it took the bytes";
}
INSTANTIATE_TEST_SUITE_P(Cts, HeldWrite,
                         ::testing::Values(std::pair<BOOL, double>{0, 1}, std::pair<BOOL, double>{1, 15}));

TEST_F(PosixPort, VanishedFarEndFailsReadsWithoutSpinningAndWritesAtOnce) {
    link.destroy();
    ComPortAPI_SetReadingTimeoutInMs(300);
    const std::clock_t cpu = std::clock();
    const Read got = read(64);
    EXPECT_EQ(got.bytes, "");
    EXPECT_EQ(got.ok, 0);
    expectTook("read of a vanished far end, silent for the whole time-out", got.seconds, 0.3, 0.45);
    EXPECT_LT(static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC, 0.05) << "no busy loop";
    int written = -1;
    const auto start = Clock::now();
    EXPECT_FALSE(ComPortAPI_WriteCOM("%%%fw -v\n\r", 10, &written));
    EXPECT_FALSE(ComPortAPI_FlushCOM());
    expectTook("write and drain on a vanished far end", secondsSince(start), 0, 0.1);
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
