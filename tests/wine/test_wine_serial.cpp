// Wine's serial emulation, measured on the points the update tool relies on.
//
// The serial probe (serial_probe.cpp) runs under Wine on COM7, a pseudo-terminal whose master side
// this test drives: before each experiment the probe writes a marker line, and the far end below
// answers it with the bytes (or the silence) the experiment needs. The probe runs once for the
// whole suite; each test checks one group of its results and prints what was measured.
//
// What the tool needs from the port, and what a pty under Wine gives:
//  - read time-outs: a read returns when its count has arrived, or T ms after it began with
//    whatever came (the interval rule never makes it longer) -- as on Windows;
//  - purge on open and PurgeComm drop what is queued -- as on Windows;
//  - the rate and CTS flow control reach the tty's settings -- but a pty has no modem lines, so
//    CTS never holds a write back and raising DTR reports ERROR_NOT_SUPPORTED (the tool ignores
//    that result);
//  - a write time-out ends a write the far end does not take, with a partial count.
#include "WineSupport.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kProbePort = 7;

struct MarkerSeen {
    bool present = false;
    speed_t speed = 0;
    tcflag_t cflag = 0;
    std::size_t bytesAfter = 0; // data bytes received after this marker, before the next one
    std::size_t bytesSent = 0;  // bytes the far end sent in answer
};

// The far end of the probe's line.
class ProbeFarEnd {
public:
    explicit ProbeFarEnd(wine_test::WinePort& port) : port_(port) {}

    void run(std::chrono::seconds limit) {
        const auto deadline = Clock::now() + limit;
        std::string pending;
        MarkerSeen* current = nullptr;
        while (!done_ && Clock::now() < deadline) {
            const auto now = Clock::now();
            for (auto it = schedule_.begin(); it != schedule_.end();) {
                if (it->first <= now) {
                    sendNow(it->second);
                    it = schedule_.erase(it);
                } else {
                    ++it;
                }
            }
            if (now < stalledUntil_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            pollfd pfd{port_.master(), POLLIN, 0};
            if (poll(&pfd, 1, 5) <= 0 || (pfd.revents & POLLIN) == 0) {
                continue;
            }
            char buffer[65536];
            const ssize_t got = read(port_.master(), buffer, sizeof buffer);
            if (got <= 0) {
                continue;
            }
            pending.append(buffer, static_cast<std::size_t>(got));
            // The probe's data bytes never contain '@': everything before one is data.
            for (;;) {
                const std::size_t at = pending.find('@');
                const std::size_t dataBytes = at == std::string::npos ? pending.size() : at;
                if (current != nullptr) {
                    current->bytesAfter += dataBytes;
                }
                pending.erase(0, dataBytes);
                const std::size_t end = pending.find('\n');
                if (pending.empty() || end == std::string::npos) {
                    break;
                }
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                const std::string prefix = "@@probe ";
                if (line.compare(0, prefix.size(), prefix) == 0) {
                    current = &onMarker(line.substr(prefix.size()), Clock::now());
                }
            }
        }
    }

    const MarkerSeen& seen(const std::string& name) { return seen_[name]; }

private:
    MarkerSeen& onMarker(const std::string& name, Clock::time_point t) {
        MarkerSeen& seen = seen_[name];
        seen.present = true;
        termios tio{};
        if (port_.settings(&tio)) {
            seen.speed = cfgetospeed(&tio);
            seen.cflag = tio.c_cflag;
        }
        using std::chrono::milliseconds;
        auto later = [&](int ms, std::size_t count, char c) {
            schedule_.emplace_back(t + milliseconds(ms), std::string(count, c));
            seen.bytesSent += count;
        };
        if (name == "full") {
            later(100, 64, 'a');
        } else if (name == "partial") {
            later(100, 10, 'p');
        } else if (name == "gap") {
            later(100, 5, 'g');
            later(350, 5, 'g');
        } else if (name == "trickle") {
            for (int i = 1; i <= 8; ++i) {
                later(150 * i, 1, 't');
            }
        } else if (name == "purge_rx") {
            later(0, 32, 'u');
        } else if (name == "reopen") {
            later(50, 16, 'r');
        } else if (name == "stall") {
            stalledUntil_ = t + milliseconds(4000);
        } else if (name == "done") {
            done_ = true;
        }
        return seen;
    }

    void sendNow(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(port_.master(), bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            }
        }
    }

    wine_test::WinePort& port_;
    std::map<std::string, MarkerSeen> seen_;
    std::vector<std::pair<Clock::time_point, std::string>> schedule_;
    Clock::time_point stalledUntil_{};
    bool done_ = false;
};

class WineSerialPort : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        wine_test::useTestPrefix();
        wine_test::removeAllComLinks();
        wine_test::WinePort port(kProbePort);
        ASSERT_TRUE(port.ok()) << "cannot publish " << wine_test::dosDeviceLink(kProbePort);
        farEnd_ = new ProbeFarEnd(port);
        std::thread far([] { farEnd_->run(std::chrono::seconds(90)); });
        const auto result = wine_test::runUnderWine(wine_test::windowsProgram("tests/wine/serial_probe.exe"),
                                                    {std::to_string(kProbePort)}, wine_test::freshDir("probe"), "",
                                                    std::chrono::seconds(90));
        far.join();
        output_ = result.output;
        finished_ = result.finished && result.exitStatus == 0;
        results_ = wine_test::parseProbeOutput(result.output);
        std::printf("[ probe ] serial_probe.exe under Wine:\n%s", output_.c_str());
    }
    static void TearDownTestSuite() {
        delete farEnd_;
        farEnd_ = nullptr;
    }

    void SetUp() override { ASSERT_TRUE(finished_) << "the probe did not run to its end:\n" << output_; }

    static const wine_test::ProbeResult& probe(const std::string& name) {
        const auto& r = results_[name];
        EXPECT_TRUE(r.present) << "no result for " << name;
        return r;
    }
    static const MarkerSeen& far(const std::string& name) {
        const MarkerSeen& seen = farEnd_->seen(name);
        EXPECT_TRUE(seen.present) << "the far end never saw the marker " << name;
        return seen;
    }

    static inline ProbeFarEnd* farEnd_ = nullptr;
    static inline std::map<std::string, wine_test::ProbeResult> results_;
    static inline std::string output_;
    static inline bool finished_ = false;
};

TEST_F(WineSerialPort, OpensAndTakesTheToolsLineSettings) {
    for (const char* step : {"open", "setup_queues", "set_timeouts", "set_state", "purge"}) {
        EXPECT_EQ(probe(step).number("ok"), 1) << step << " err=" << probe(step).number("err");
    }
    const auto& readback = probe("readback_9600");
    EXPECT_EQ(readback.number("baud"), 9600);
    EXPECT_EQ(readback.number("bytesize"), 8);
    EXPECT_EQ(readback.number("parity"), 0);
    EXPECT_EQ(readback.number("stopbits"), 0);
    EXPECT_EQ(readback.number("dtr"), 1);
    EXPECT_EQ(readback.number("rts"), 1);
    // On the tty: 9600 baud, 8 data bits, no parity, one stop bit.
    const MarkerSeen& line = far("silent");
    EXPECT_EQ(line.speed, static_cast<speed_t>(B9600));
    EXPECT_EQ(line.cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.cflag & (PARENB | CSTOPB), 0u);
    // A pty has no modem lines: Wine answers ERROR_NOT_SUPPORTED for DTR. The tool does not
    // check that result, so it carries on as it must.
    std::printf("[ measured ] EscapeCommFunction(SETDTR) ok=%ld err=%ld; GetCommModemStatus ok=%ld err=%ld\n",
                probe("raise_dtr").number("ok"), probe("raise_dtr").number("err"),
                probe("modem_status").number("ok"), probe("modem_status").number("err"));
}

TEST_F(WineSerialPort, ReadReturnsWhenTheCountArrivesOrTMillisecondsAfterItBegan) {
    // A silent line: nothing, after T.
    EXPECT_EQ(probe("silent").number("bytes"), 0);
    EXPECT_GE(probe("silent").number("ms"), 490);
    EXPECT_LT(probe("silent").number("ms"), 900);
    // The full count arrives at +100 ms: the read ends then, not at T.
    EXPECT_EQ(probe("full").number("bytes"), 64);
    EXPECT_LT(probe("full").number("ms"), 400);
    // Fewer bytes than asked: the read lasts T from its start, whatever came.
    for (const char* name : {"partial", "gap"}) {
        EXPECT_EQ(probe(name).number("bytes"), 10) << name;
        EXPECT_GE(probe(name).number("ms"), 490) << name;
        EXPECT_LT(probe(name).number("ms"), 900) << name;
    }
    // Bytes keep coming every 150 ms, well within the interval time-out: the total time-out
    // still ends the read at T with the first three. Were the interval rule in charge, the read
    // would run until the trickle stopped (about 1.7 s, all eight bytes).
    EXPECT_LT(probe("trickle").number("bytes"), 8);
    EXPECT_GE(probe("trickle").number("bytes"), 2);
    EXPECT_LT(probe("trickle").number("ms"), 900);
    // A time-out changed on the open port applies to the next read.
    EXPECT_EQ(probe("silent_long").number("bytes"), 0);
    EXPECT_GE(probe("silent_long").number("ms"), 990);
    EXPECT_LT(probe("silent_long").number("ms"), 1500);
    std::printf("[ measured ] read(T=500): silent %ld ms, full count %ld ms, partial %ld ms, trickle %ld bytes in %ld ms;"
                " read(T=1000) silent %ld ms\n",
                probe("silent").number("ms"), probe("full").number("ms"), probe("partial").number("ms"),
                probe("trickle").number("bytes"), probe("trickle").number("ms"), probe("silent_long").number("ms"));
}

TEST_F(WineSerialPort, PurgeDropsWhatIsQueued) {
    // 32 bytes queued, then PurgeComm: the next read finds nothing.
    EXPECT_EQ(far("purge_rx").bytesSent, 32u);
    EXPECT_EQ(probe("purge_rx").number("ok"), 1);
    EXPECT_EQ(probe("purge_rx").number("bytes"), 0);
    // 16 bytes that arrive while the port is closed are gone after the purge of the next open,
    // as detection needs after a probe at a wrong rate.
    EXPECT_EQ(far("reopen").bytesSent, 16u);
    EXPECT_EQ(probe("reopen").number("ok"), 1);
    EXPECT_EQ(probe("reopen").number("bytes"), 0);
}

TEST_F(WineSerialPort, RateChangesReachTheTty) {
    const std::pair<const char*, speed_t> rates[] = {
        {"baud_115200", B115200}, {"baud_1200", B1200}, {"baud_57600", B57600}, {"baud_9600", B9600}};
    for (const auto& [name, speed] : rates) {
        EXPECT_EQ(probe(name).number("ok"), 1) << name;
        EXPECT_EQ(far(name).speed, speed) << name << ": the simulator judges garbling by this setting";
    }
}

TEST_F(WineSerialPort, CtsFlowControlIsSetButAPtyNeverHoldsAWrite) {
    EXPECT_EQ(probe("cts_on").number("ok"), 1);
    EXPECT_EQ(probe("readback_cts").number("cts"), 1);
    EXPECT_NE(far("cts_on").cflag & CRTSCTS, 0u) << "Wine maps fOutxCtsFlow to CRTSCTS";
    // The pty has no CTS line: the write goes out whole at once. Holding writes while CTS is
    // low is therefore proven on the virtual platform, not here.
    EXPECT_EQ(probe("cts_write").number("ok"), 1);
    EXPECT_EQ(probe("cts_write").number("bytes"), 20000);
    EXPECT_EQ(far("cts_on").bytesAfter, 20000u);
    std::printf("[ measured ] 20000 bytes with CTS flow control on a pty: %ld ms\n", probe("cts_write").number("ms"));
}

TEST_F(WineSerialPort, WriteTimeOutEndsAWriteTheFarEndDoesNotTake) {
    // The far end reads nothing for 4 s; the write deadline is 1 s. Like Windows, Wine ends the
    // write at the deadline and reports success with a partial count, which is why the Win32
    // platform layer counts a short write as a failure.
    const auto& stall = probe("stall_write");
    EXPECT_GE(stall.number("ms"), 900);
    EXPECT_LT(stall.number("ms"), 3500);
    EXPECT_LT(stall.number("bytes"), 1 << 20);
    EXPECT_EQ(far("stall").bytesAfter, static_cast<std::size_t>(stall.number("bytes")))
        << "every byte counted as written reached the far end";
    std::printf("[ measured ] stalled write: ok=%ld after %ld ms with %ld of %d bytes\n", stall.number("ok"),
                stall.number("ms"), stall.number("bytes"), 1 << 20);
}

TEST_F(WineSerialPort, AbsentPortFailsToOpen) {
    // COM8 has no link: the open fails with ERROR_FILE_NOT_FOUND, so detection skips it silently.
    EXPECT_EQ(probe("open_absent").number("ok"), 0);
    EXPECT_EQ(probe("open_absent").number("err"), 2);
    // Windows refuses a second open of a COM port (ERROR_ACCESS_DENIED); Wine allows it. The
    // tool never holds a port twice (detection closes its probe handle before the real open),
    // so it does not depend on either answer.
    std::printf("[ measured ] second open of an open COM port: ok=%ld (Windows refuses it)\n",
                probe("open_twice").number("ok"));
    EXPECT_EQ(probe("close").number("ok"), 1);
}

} // namespace
