// A program run as a child process, in a process group of its own, in a folder that also holds its
// standard input, output and error as files, ended at a deadline with its group. What it printed is
// also kept piece by piece with the time each piece showed: a thread looks every 2 ms, at real-time
// priority where it may (as root), so that the times are those of the output, not of a loaded machine.
#pragma once

#include "Files.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

class ChildProcess {
    using Clock = std::chrono::steady_clock;

  public:
    struct Result {
        bool finished = false; // false: ended by a signal, or killed at the deadline
        int status = -1;
        std::string output;
        double seconds = 0, cpuSeconds = 0; // wall time, and the CPU time it used (user and system)
        std::vector<std::pair<double, std::string>> shown; // (seconds from the start, what showed)
    };

    // Without a folder, the program runs here and its input and output are /dev/null.
    explicit ChildProcess(std::vector<std::string> argv, const std::string& folder = {})
        : argv_(std::move(argv)), folder_(folder), files_(folder + "/child" + std::to_string(++runs_)) {}
    ~ChildProcess() { stop(); } // not copyable, as neither its thread nor its atomic flag is
    // Keeps what shows in `file` (which the program writes, such as a guest's console) instead.
    void watch(std::string file) { watched_ = std::move(file); }

    bool start(const std::string& input = {}) {
        std::ofstream(file(".in"), std::ios::binary) << input;
        posix_spawn_file_actions_t io;
        posix_spawnattr_t group;
        posix_spawn_file_actions_init(&io);
        posix_spawnattr_init(&group);
        posix_spawn_file_actions_addopen(&io, 0, file(".in").c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&io, 1, file(".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&io, 2, file(".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addchdir_np(&io, folder_.empty() ? "." : folder_.c_str());
        posix_spawnattr_setflags(&group, POSIX_SPAWN_SETPGROUP);
        std::vector<char*> args(argv_.size() + 1, nullptr);
        std::transform(argv_.begin(), argv_.end(), args.begin(), [](std::string& a) { return a.data(); });
        started_ = Clock::now();
        pid_ = posix_spawn(&pid_, args[0], &io, &group, args.data(), environ) == 0 ? pid_ : -1;
        posix_spawn_file_actions_destroy(&io);
        posix_spawnattr_destroy(&group);
        watching_ = pid_ > 0 && !folder_.empty();
        if (watching_) {
            watcher_ = std::thread([this, path = watched_.empty() ? file(".out") : watched_] {
                const sched_param high{10};
                pthread_setschedparam(pthread_self(), SCHED_FIFO, &high);
                for (bool last = false; !last; pause(2)) {
                    last = !watching_;
                    std::ifstream in(path, std::ios::binary);
                    in.seekg(static_cast<std::streamoff>(seen_));
                    if (const std::string fresh{std::istreambuf_iterator<char>(in), {}}; !fresh.empty()) {
                        seen_ += fresh.size();
                        result_.shown.emplace_back(seconds(), fresh);
                    }
                }
            });
        }
        return pid_ > 0;
    }

    std::string output() const { return readFile(file(".out")); }
    double seconds() const { return std::chrono::duration<double>(Clock::now() - started_).count(); }
    Clock::time_point startedAt() const { return started_; }

    // Whether the program still runs; once it has ended it is reaped and its result kept.
    bool running() {
        int status = 0;
        rusage used{};
        if (pid_ > 0 && wait4(pid_, &status, WNOHANG, &used) == pid_) {
            pid_ = -1;
            result_.finished = WIFEXITED(status);
            result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            result_.seconds = seconds();
            result_.cpuSeconds = static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                                 static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
        }
        return pid_ > 0;
    }

    // Waits until the output holds `text`; false when the program ends or the time runs out first.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        for (bool runs = true; runs && Clock::now() < end; pause(5)) {
            runs = running();
            if (output().find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // Waits for the program to end, ending it at `limit` after its start (SIGTERM, then SIGKILL to its
    // group two seconds later).
    Result wait(std::chrono::seconds limit) {
        while (running() && Clock::now() < started_ + limit) {
            pause(10);
        }
        for (int i = 0; running() && i < 200; ++i) {
            kill(pid_, i == 0 ? SIGTERM : 0);
            pause(10);
        }
        for (; running(); pause(10)) {
            kill(-pid_, SIGKILL);
        }
        watching_ = false;
        if (watcher_.joinable()) {
            watcher_.join();
        }
        result_.output = output(); // empty without a folder: it is /dev/null
        return result_;
    }
    void stop() { wait(std::chrono::seconds(0)); }

  private:
    std::string file(const char* suffix) const { return folder_.empty() ? "/dev/null" : files_ + suffix; }
    static void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    static inline int runs_ = 0;
    std::vector<std::string> argv_;
    std::string folder_, files_, watched_;
    pid_t pid_ = -1;
    Result result_; // its pieces shown are the watcher's until it has ended
    std::atomic<bool> watching_{false};
    std::size_t seen_ = 0;
    std::thread watcher_;
    Clock::time_point started_;
};
