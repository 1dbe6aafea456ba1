// The POSIX serial layer against real pseudo-terminals: read deadlines, exclusive access, the
// line settings the far end sees, byte transparency, purge, and a far end that vanishes.
#include "PtyTestSupport.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include <sys/file.h>
#include <sys/ioctl.h>

namespace {

using Clock = std::chrono::steady_clock;
using pty_test::PtyPair;

// Port numbers of these tests lie outside the range detection probes (COM1..COM32).
constexpr int kPort = 91;

DCB lineSettings(DWORD baud, bool ctsFlow) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baud;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = ctsFlow ? 1 : 0;
    dcb.fDtrControl = 1;
    dcb.fRtsControl = 1;
    dcb.XonLim = 256;
    dcb.XoffLim = 256;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 0;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

COMMTIMEOUTS readTimeouts(DWORD ms) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = ms;
    t.ReadTotalTimeoutConstant = ms;
    return t;
}

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// An open, configured port on a fresh pty, the way ComPortAPI leaves it after opening.
class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        PTY_TEST_REQUIRE_PORT_DIR();
        ASSERT_TRUE(pty.ok());
        handle = Platform_SerialOpen("\\\\.\\COM91", kPort);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        const COMMTIMEOUTS t = readTimeouts(500);
        const DCB dcb = lineSettings(9600, false);
        ASSERT_EQ(Platform_SerialSetTimeouts(handle, &t), 1);
        ASSERT_EQ(Platform_SerialSetState(handle, &dcb), 1);
        ASSERT_EQ(Platform_SerialPurge(handle), 1);
    }
    void TearDown() override {
        if (handle != INVALID_HANDLE_VALUE) {
            Platform_SerialClose(handle);
        }
    }
    void setReadTimeout(DWORD ms) {
        const COMMTIMEOUTS t = readTimeouts(ms);
        ASSERT_EQ(Platform_SerialSetTimeouts(handle, &t), 1);
    }

    PtyPair pty{kPort};
    HANDLE handle = INVALID_HANDLE_VALUE;
};

TEST_F(SerialPortTest, ReadOnASilentLineLastsTheTimeOutAndNeverLess) {
    char buffer[64];
    for (const DWORD t : {50u, 200u, 500u}) {
        setReadTimeout(t);
        DWORD got = 99;
        const auto start = Clock::now();
        EXPECT_EQ(Platform_SerialRead(handle, buffer, sizeof buffer, &got), 1);
        const long long elapsed = msSince(start);
        EXPECT_EQ(got, 0u);
        EXPECT_GE(elapsed, static_cast<long long>(t)) << "time-out " << t;
        EXPECT_LE(elapsed, static_cast<long long>(t) + 10) << "time-out " << t;
    }
}

TEST_F(SerialPortTest, ReadReturnsAsSoonAsTheCountHasArrived) {
    setReadTimeout(2000);
    char buffer[16] = {};
    DWORD got = 0;

    // Already waiting in the driver.
    ASSERT_TRUE(pty.send("0123456789"));
    auto start = Clock::now();
    EXPECT_EQ(Platform_SerialRead(handle, buffer, 10, &got), 1);
    EXPECT_LT(msSince(start), 50);
    EXPECT_EQ(std::string(buffer, got), "0123456789");

    // Arriving in two pieces during the read.
    std::thread farEnd([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.send("abc");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.send("defg");
    });
    start = Clock::now();
    EXPECT_EQ(Platform_SerialRead(handle, buffer, 7, &got), 1);
    const long long elapsed = msSince(start);
    farEnd.join();
    EXPECT_EQ(std::string(buffer, got), "abcdefg");
    EXPECT_GE(elapsed, 190);
    EXPECT_LT(elapsed, 500);
}

TEST_F(SerialPortTest, ShortReadEndsAtTheTotalTimeOutCountedFromItsStart) {
    // Bytes keep coming closer together than the time-out: the read still ends T after it began,
    // with everything that came, not T after the last byte.
    setReadTimeout(300);
    std::thread farEnd([this] {
        for (int i = 0; i < 5; ++i) {
            pty.send(std::string(1, static_cast<char>('a' + i)));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    char buffer[64];
    DWORD got = 0;
    const auto start = Clock::now();
    EXPECT_EQ(Platform_SerialRead(handle, buffer, sizeof buffer, &got), 1);
    const long long elapsed = msSince(start);
    farEnd.join();
    EXPECT_GE(elapsed, 300);
    EXPECT_LE(elapsed, 310);
    EXPECT_GE(got, 3u);
    EXPECT_LE(got, 4u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(SerialPortTest, EveryByteValuePassesUnchangedBothWays) {
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    all += "\r\n\n\r%%%fw -v\n\r";
    DWORD written = 0;
    EXPECT_EQ(Platform_SerialWrite(handle, all.data(), static_cast<DWORD>(all.size()), &written), 1);
    EXPECT_EQ(written, all.size());
    EXPECT_EQ(pty.receive(all.size() + 1, 300), all); // asks for one more: nothing extra may come

    ASSERT_TRUE(pty.send(all));
    std::string back(all.size() + 8, '\0');
    DWORD got = 0;
    setReadTimeout(300);
    Platform_SerialRead(handle, &back[0], static_cast<DWORD>(back.size()), &got);
    EXPECT_EQ(back.substr(0, got), all);
}

TEST_F(SerialPortTest, FarEndSeesTheRateRawEightNOneAndTheFlowControl) {
    termios seen{};
    ASSERT_TRUE(pty.settings(&seen));
    EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&seen), static_cast<speed_t>(B9600));
    EXPECT_EQ(seen.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(seen.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_NE(seen.c_cflag & CLOCAL, 0u);
    EXPECT_NE(seen.c_cflag & CREAD, 0u);
    EXPECT_EQ(seen.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(seen.c_oflag & OPOST, 0u);
    EXPECT_EQ(seen.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);

    const struct {
        DWORD baud;
        speed_t code;
    } rates[] = {{115200, B115200}, {57600, B57600}, {4800, B4800}, {2400, B2400}, {1200, B1200}};
    for (const auto& rate : rates) {
        const DCB dcb = lineSettings(rate.baud, true);
        EXPECT_EQ(Platform_SerialSetState(handle, &dcb), 1) << rate.baud;
        ASSERT_TRUE(pty.settings(&seen));
        EXPECT_EQ(cfgetospeed(&seen), rate.code) << rate.baud;
        EXPECT_NE(seen.c_cflag & CRTSCTS, 0u) << rate.baud;
    }

    // A rate the port cannot take fails and leaves the line as it was.
    const DCB odd = lineSettings(12345, false);
    EXPECT_EQ(Platform_SerialSetState(handle, &odd), 0);
    ASSERT_TRUE(pty.settings(&seen));
    EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B1200));
    EXPECT_NE(seen.c_cflag & CRTSCTS, 0u);
}

TEST_F(SerialPortTest, PurgeDropsWhatWasWaitingToBeRead) {
    ASSERT_TRUE(pty.send("stale reply\r\n>>"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let the pty move the bytes over
    EXPECT_EQ(Platform_SerialPurge(handle), 1);
    setReadTimeout(50);
    char buffer[32];
    DWORD got = 99;
    Platform_SerialRead(handle, buffer, sizeof buffer, &got);
    EXPECT_EQ(got, 0u);
}

TEST_F(SerialPortTest, VanishedFarEndFailsReadsWithoutSpinningAndWritesAtOnce) {
    pty.closeMaster();
    setReadTimeout(300);
    char buffer[32];
    DWORD got = 99;
    const std::clock_t cpuStart = std::clock();
    const auto start = Clock::now();
    EXPECT_EQ(Platform_SerialRead(handle, buffer, sizeof buffer, &got), 0);
    const long long elapsed = msSince(start);
    const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    EXPECT_EQ(got, 0u);
    // Silent for the whole deadline, like a line with nothing on it, and without a busy loop.
    EXPECT_GE(elapsed, 300);
    EXPECT_LE(elapsed, 320);
    EXPECT_LT(cpuMs, 50.0);

    const std::string line = "%%%fw -v\n\r";
    DWORD written = 0;
    const auto writeStart = Clock::now();
    EXPECT_EQ(Platform_SerialWrite(handle, line.data(), static_cast<DWORD>(line.size()), &written), 0);
    EXPECT_LT(msSince(writeStart), 1000);
}

TEST_F(SerialPortTest, WriteThatCannotProgressFailsAtItsDeadline) {
    // The far end never reads: once the pty's buffer is full, nothing moves, as with CTS held low.
    COMMTIMEOUTS t = readTimeouts(500);
    t.WriteTotalTimeoutConstant = 300;
    ASSERT_EQ(Platform_SerialSetTimeouts(handle, &t), 1);
    const std::string image(1024 * 1024, '\x5A');
    DWORD written = 0;
    const auto start = Clock::now();
    EXPECT_EQ(Platform_SerialWrite(handle, image.data(), static_cast<DWORD>(image.size()), &written), 0);
    const long long elapsed = msSince(start);
    EXPECT_LT(written, image.size());
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 1000);
}

TEST_F(SerialPortTest, StaleHandleFailsEveryCall) {
    ASSERT_EQ(Platform_SerialClose(handle), 1);
    const HANDLE stale = handle;
    handle = INVALID_HANDLE_VALUE;
    char buffer[4] = {};
    DWORD count = 0;
    const COMMTIMEOUTS t = readTimeouts(10);
    const DCB dcb = lineSettings(9600, false);
    for (HANDLE h : {stale, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
        EXPECT_EQ(Platform_SerialSetTimeouts(h, &t), 0);
        EXPECT_EQ(Platform_SerialSetState(h, &dcb), 0);
        EXPECT_EQ(Platform_SerialSetQueues(h, 8192, 8192), 0);
        EXPECT_EQ(Platform_SerialPurge(h), 0);
        EXPECT_EQ(Platform_SerialRead(h, buffer, sizeof buffer, &count), 0);
        EXPECT_EQ(Platform_SerialWrite(h, buffer, sizeof buffer, &count), 0);
        EXPECT_EQ(Platform_SerialClose(h), 0);
    }
}

// ---- Opening ----

TEST(SerialOpen, SecondOpenOfTheSamePortFailsUntilTheFirstIsClosed) {
    PTY_TEST_REQUIRE_PORT_DIR();
    PtyPair pty(kPort);
    ASSERT_TRUE(pty.ok());
    const HANDLE first = Platform_SerialOpen("\\\\.\\COM91", kPort);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Platform_SerialOpen("\\\\.\\COM91", kPort), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Platform_SerialClose(first), 1);

    // Nothing is left behind: neither the tty's exclusive flag nor the lock.
    const int probe = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    int exclusive = -1;
    ASSERT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    EXPECT_EQ(flock(probe, LOCK_EX | LOCK_NB), 0);
    flock(probe, LOCK_UN);
    close(probe);

    const HANDLE again = Platform_SerialOpen("\\\\.\\COM91", kPort);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    Platform_SerialClose(again);
}

TEST(SerialOpen, PortHeldExclusivelyByAnotherProgramCannotBeOpenedEvenByRoot) {
    PTY_TEST_REQUIRE_PORT_DIR();
    PtyPair pty(kPort);
    ASSERT_TRUE(pty.ok());
    const int other = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);

    // A program that only locks the device.
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Platform_SerialOpen("\\\\.\\COM91", kPort), INVALID_HANDLE_VALUE);
    flock(other, LOCK_UN);

    // A program that only sets the tty's exclusive flag (root passes it in the kernel).
    ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
    EXPECT_EQ(Platform_SerialOpen("\\\\.\\COM91", kPort), INVALID_HANDLE_VALUE);
    ioctl(other, TIOCNXCL);

    // A program that holds the device open without claiming it, as the simulated unit does with
    // its own handle on the slave, does not keep the tool out.
    const HANDLE tool = Platform_SerialOpen("\\\\.\\COM91", kPort);
    EXPECT_NE(tool, INVALID_HANDLE_VALUE);
    Platform_SerialClose(tool);
    close(other);
}

TEST(SerialOpen, MissingDeviceOrOneThatIsNotATerminalFails) {
    PTY_TEST_REQUIRE_PORT_DIR();
    pty_test::makePortDir();
    const std::string link = pty_test::comLink(kPort);
    unlink(link.c_str());
    EXPECT_EQ(Platform_SerialOpen("\\\\.\\COM91", kPort), INVALID_HANDLE_VALUE);

    FILE* plain = std::fopen(link.c_str(), "w");
    ASSERT_NE(plain, nullptr);
    std::fclose(plain);
    EXPECT_EQ(Platform_SerialOpen("\\\\.\\COM91", kPort), INVALID_HANDLE_VALUE);
    unlink(link.c_str());

    EXPECT_EQ(Platform_SerialOpen("\\\\.\\COM0", 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Platform_SerialOpen("\\\\.\\COM-5", -5), INVALID_HANDLE_VALUE);
}

} // namespace
