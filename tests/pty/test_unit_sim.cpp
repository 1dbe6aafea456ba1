// The pty simulator program seen from the tool's side, through the real POSIX serial layer:
// replies at the right rate and garbage at the wrong one, a whole update with saved images and
// the exit after the reboot, pacing, the CTS stall, a vanishing unit, the trace, and clean ends.
#include "PtyTestSupport.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using pty_test::SimProcess;

constexpr int kPort = 92;

// The tool's side of the line, on the platform calls the tool itself makes.
class ToolSide {
public:
    ~ToolSide() { close(); }
    bool open() {
        handle_ = Platform_SerialOpen("\\\\.\\COM92", kPort);
        return handle_ != INVALID_HANDLE_VALUE && setLine(9600, false) && setTimeouts(100, 0) &&
               Platform_SerialPurge(handle_) == 1;
    }
    void close() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            Platform_SerialClose(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }
    bool setLine(DWORD baud, bool cts) {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        dcb.BaudRate = baud;
        dcb.fBinary = 1;
        dcb.fOutxCtsFlow = cts ? 1 : 0;
        dcb.fDtrControl = 1;
        dcb.fRtsControl = 1;
        dcb.ByteSize = 8;
        return Platform_SerialSetState(handle_, &dcb) == 1;
    }
    bool setTimeouts(DWORD readMs, DWORD writeMs) {
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = readMs;
        t.ReadTotalTimeoutConstant = readMs;
        t.WriteTotalTimeoutConstant = writeMs;
        return Platform_SerialSetTimeouts(handle_, &t) == 1;
    }
    bool send(const std::string& bytes) {
        DWORD written = 0;
        return Platform_SerialWrite(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written) == 1 &&
               written == bytes.size();
    }
    // Gathers a reply the way the tool does: reads until one brings nothing.
    std::string collect() {
        std::string reply;
        char buffer[4096];
        for (;;) {
            DWORD got = 0;
            Platform_SerialRead(handle_, buffer, sizeof buffer, &got);
            if (got == 0) {
                return reply;
            }
            reply.append(buffer, got);
        }
    }
    std::string command(const std::string& text) { return send("%%" + text + "\n\r") ? collect() : "<write failed>"; }
    HANDLE handle() const { return handle_; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

const std::string kHelpReply = "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";

std::string testImage(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131u + seed) & 0xFFu);
    }
    return bytes;
}

uint32_t checksumOf(const std::string& bytes) {
    uint32_t sum = 0;
    for (const char c : bytes) {
        sum += static_cast<unsigned char>(c);
    }
    return 0u - sum;
}

std::string announce(char kind, const std::string& image) {
    return std::string("%fw -") + kind + " " + std::to_string(checksumOf(image)) + " " + std::to_string(image.size());
}

class UnitSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        PTY_TEST_REQUIRE_PORT_DIR();
        pty_test::makePortDir();
        work = pty_test::portDir() + "/sim-test-" + std::to_string(getpid());
        mkdir(work.c_str(), 0755);
    }
    std::vector<std::string> withLink(std::vector<std::string> args) {
        args.insert(args.end(), {"--link", link, "--trace", work + "/trace.txt"});
        return args;
    }
    std::string trace() { return pty_test::readFile(work + "/trace.txt"); }

    const std::string link = pty_test::comLink(kPort);
    std::string work;
    SimProcess sim;
    ToolSide tool;
};

TEST_F(UnitSimTest, AnswersAtItsOwnRateOnlyAndEndsCleanlyRemovingItsLinks) {
    const std::string wineLink = work + "/com92";
    ASSERT_TRUE(sim.start(withLink({"--type", "RX", "--baud", "57600", "--link", wineLink})));
    EXPECT_EQ(pty_test::readFile(sim.readyFile()).find("/dev/pts/"), 0u);
    ASSERT_TRUE(tool.open()); // the simulator's own handle on the slave does not keep the tool out

    EXPECT_EQ(tool.command("%help -c version"), ""); // heard as noise at 9600
    ASSERT_TRUE(tool.setLine(57600, false));
    EXPECT_EQ(tool.command("%help -c version"), kHelpReply);
    EXPECT_EQ(tool.command("%fw -p"), "Kovlar QV7 SIGNAL LINK RX WITH ETHERNET\r\n>>");
    // The unit answers at 57600; a tool listening at 115200 gets bytes, but not the text.
    ASSERT_TRUE(tool.send("%%%fw -p\n\r"));
    usleep(5000); // heard at 57600; the reply follows 20 ms later
    ASSERT_TRUE(tool.setLine(115200, false));
    const std::string garbled = tool.collect();
    EXPECT_FALSE(garbled.empty());
    EXPECT_NE(garbled, "Kovlar QV7 SIGNAL LINK RX WITH ETHERNET\r\n>>");
    tool.close();

    EXPECT_TRUE(sim.stop());
    EXPECT_NE(access(link.c_str(), F_OK), 0);
    EXPECT_NE(access(wineLink.c_str(), F_OK), 0);
}

TEST_F(UnitSimTest, WholeUpdateSavesBothImagesAndTheUnitQuitsAfterItsBootText) {
    ASSERT_TRUE(sim.start(withLink({"--images", work, "--boot-delay", "300", "--exit-after-reboot", "200"})));
    ASSERT_TRUE(tool.open());
    const std::string logic = testImage(30000, 7);
    const std::string mcu = testImage(12345, 99);

    EXPECT_EQ(tool.command(announce('l', logic)), "Ready");
    ASSERT_TRUE(tool.setLine(115200, true));
    ASSERT_TRUE(tool.send(logic));
    EXPECT_EQ(tool.collect(), "SUCCESS");
    EXPECT_EQ(tool.command(announce('h', mcu)), "Ready");
    ASSERT_TRUE(tool.send(mcu));
    EXPECT_EQ(tool.collect(), "SUCCESS");
    ASSERT_TRUE(tool.setLine(9600, true));
    ASSERT_TRUE(tool.setTimeouts(1500, 0));
    const std::string boot = tool.collect();
    ASSERT_GE(boot.size(), 3u);
    EXPECT_EQ(boot.front(), '[');
    EXPECT_EQ(boot.substr(boot.size() - 2), ">>");

    EXPECT_TRUE(sim.exitedWithin(3000)) << "the unit should quit on its own after the reboot";
    EXPECT_TRUE(WIFEXITED(sim.status()) && WEXITSTATUS(sim.status()) == 0);
    EXPECT_EQ(pty_test::readFile(work + "/l.bin"), logic);
    EXPECT_EQ(pty_test::readFile(work + "/h.bin"), mcu);
    const std::string info = pty_test::readFile(work + "/h.txt");
    EXPECT_NE(info.find("announcedChecksum " + std::to_string(checksumOf(mcu)) + "\n"), std::string::npos);
    EXPECT_NE(info.find("announcedLength 12345\n"), std::string::npos);
    EXPECT_NE(info.find("checksumOk 1\n"), std::string::npos);
}

TEST_F(UnitSimTest, TraceShowsEveryLineByteForByteWithTimesAndRates) {
    ASSERT_TRUE(sim.start(withLink({})));
    ASSERT_TRUE(tool.open());
    tool.command("%fw -v");
    tool.send(std::string("%%%odd\x01\\\x7F\n\r", 11));
    tool.collect();
    EXPECT_TRUE(sim.stop());

    const std::string text = trace();
    EXPECT_NE(text.find(" R 9600 %%%fw -v\\n\\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" S 9600 1.0.2\\r\\nQV7TX 1.3 9\\r\\n>>\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" R 9600 %%%odd\\x01\\\\\\x7F\\n\\r\n"), std::string::npos) << text;
    // In time order: every line starts with a time no earlier than the one before.
    long long previous = -1;
    std::size_t lines = 0;
    for (std::size_t pos = 0; pos < text.size(); pos = text.find('\n', pos) + 1, ++lines) {
        const long long time = std::stoll(text.substr(pos));
        EXPECT_GE(time, previous) << text.substr(pos, text.find('\n', pos) - pos);
        previous = time;
    }
    EXPECT_GE(lines, 5u);
}

TEST_F(UnitSimTest, PacingTakesTheTrueLineTimeBothWays) {
    ASSERT_TRUE(sim.start(withLink({"--pacing", "--reply-delay", "0"})));
    ASSERT_TRUE(tool.open());
    ASSERT_TRUE(tool.setTimeouts(1000, 0));
    // The 74-byte help reply takes 77 ms at 9600 baud; the 20-byte query 21 ms.
    char reply[74];
    DWORD got = 0;
    auto start = Clock::now();
    ASSERT_TRUE(tool.send("%%%help -c version\n\r"));
    Platform_SerialRead(tool.handle(), reply, sizeof reply, &got);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(std::string(reply, got), kHelpReply);
    EXPECT_GE(elapsed, 95);
    EXPECT_LT(elapsed, 400);

    // 5760 image bytes take 500 ms at 115200: no "SUCCESS" before they have crossed the line.
    const std::string image = testImage(5760, 3);
    ASSERT_TRUE(tool.setTimeouts(200, 0));
    EXPECT_EQ(tool.command(announce('l', image)), "Ready");
    ASSERT_TRUE(tool.setLine(115200, false));
    start = Clock::now();
    ASSERT_TRUE(tool.send(image));
    ASSERT_TRUE(tool.setTimeouts(2000, 0));
    char success[7];
    Platform_SerialRead(tool.handle(), success, sizeof success, &got);
    elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(std::string(success, got), "SUCCESS");
    EXPECT_GE(elapsed, 490);
    EXPECT_LT(elapsed, 1500);
}

TEST_F(UnitSimTest, CtsLowStallsTheToolsWritesOnlyWhenItUsesFlowControl) {
    ASSERT_TRUE(sim.start(withLink({"--cts-stuck-low"})));
    ASSERT_TRUE(tool.open());
    EXPECT_EQ(tool.command("%help -c version"), kHelpReply); // flow control off: CTS is ignored

    ASSERT_TRUE(tool.setLine(9600, true));
    ASSERT_TRUE(tool.setTimeouts(100, 400));
    EXPECT_EQ(tool.command("%help -c version"), ""); // held back: the unit never hears it
    const std::string bulk(1024 * 1024, '\x55');
    const auto start = Clock::now();
    EXPECT_FALSE(tool.send(bulk));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(elapsed, 400);
    EXPECT_LT(elapsed, 1500);
}

TEST_F(UnitSimTest, VanishingUnitTakesThePortWithItAndTheToolNotices) {
    ASSERT_TRUE(sim.start(withLink({"--disconnect-after-bytes", "30"})));
    ASSERT_TRUE(tool.open());
    EXPECT_EQ(tool.command("%help -c version"), kHelpReply); // 20 bytes
    ASSERT_TRUE(tool.send("%%%fw -v\n\r%%%fw -p\n\r"));      // the unit is gone after 10 more
    EXPECT_TRUE(sim.exitedWithin(2000));
    char buffer[64];
    DWORD got = 0;
    EXPECT_EQ(Platform_SerialRead(tool.handle(), buffer, sizeof buffer, &got), 0);
    EXPECT_FALSE(tool.send("%%%fw -v\n\r"));
    EXPECT_NE(access(link.c_str(), F_OK), 0);
    EXPECT_NE(trace().find("unit vanished after 30 bytes"), std::string::npos);
}

TEST_F(UnitSimTest, IdleSimulatorDoesNotSpin) {
    ASSERT_TRUE(sim.start(withLink({})));
    auto cpuTicks = [this] {
        // utime and stime, fields 14 and 15 of /proc/<pid>/stat.
        std::ifstream stat("/proc/" + std::to_string(sim.pid()) + "/stat");
        std::string field;
        long long ticks = 0;
        for (int i = 1; i <= 15 && stat >> field; ++i) {
            if (i >= 14) {
                ticks += std::stoll(field);
            }
        }
        return ticks;
    };
    const long long before = cpuTicks();
    usleep(1000000);
    EXPECT_LT(cpuTicks() - before, 5) << "more than 50 ms of CPU in one idle second";
}

} // namespace
