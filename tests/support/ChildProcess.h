// A program run as a child process, in a process group of its own: arguments, a working folder
// that also holds its standard input, output and error as files (the output can be watched while
// the program runs), and a deadline after which the program and its group are killed. What it
// printed is also kept piece by piece with the time each piece showed: a thread of its own looks
// every 2 ms, at real-time priority where it may (as root), so that the times are those of the
// output and not of a loaded machine.
#ifndef TESTS_CHILD_PROCESS_H
#define TESTS_CHILD_PROCESS_H

#include "Files.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>

class ChildProcess {
  public:
    // Not finished: ended by a signal, or killed at the deadline; the status is the exit status.
    struct Result {
        bool finished = false;
        int status = -1;
        std::string output;
        double seconds = 0;
        std::vector<std::pair<double, std::string>> shown; // (seconds from the start, what showed)
    };

    // Without a folder, the program runs here and its input and output are /dev/null.
    explicit ChildProcess(std::vector<std::string> argv, std::string folder = {})
        : argv_(std::move(argv)), folder_(std::move(folder)) {
        static int runs = 0;
        files_ = folder_.empty() ? "" : folder_ + "/child" + std::to_string(++runs);
    }
    ~ChildProcess() { stop(); }
    // Keeps what shows in `file` (which the program writes, such as a guest's console) instead.
    void watch(std::string file) { watched_ = std::move(file); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool start(const std::string& input = {}) {
        std::ofstream(files_.empty() ? "/dev/null" : files_ + ".in", std::ios::binary) << input;
        posix_spawn_file_actions_t io;
        posix_spawnattr_t group;
        posix_spawn_file_actions_init(&io);
        posix_spawnattr_init(&group);
        const std::string names[] = {".in", ".out", ".err"};
        for (int fd = 0; fd < 3; ++fd) {
            const std::string path = files_.empty() ? "/dev/null" : files_ + names[fd];
            posix_spawn_file_actions_addopen(&io, fd, path.c_str(),
                                             fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        if (!folder_.empty()) {
            posix_spawn_file_actions_addchdir_np(&io, folder_.c_str());
        }
        posix_spawnattr_setflags(&group, POSIX_SPAWN_SETPGROUP);
        std::vector<char*> args(argv_.size() + 1, nullptr);
        std::transform(argv_.begin(), argv_.end(), args.begin(), [](std::string& a) { return a.data(); });
        started_ = std::chrono::steady_clock::now();
        const bool spawned = posix_spawn(&pid_, args[0], &io, &group, args.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&io);
        posix_spawnattr_destroy(&group);
        pid_ = spawned ? pid_ : -1;
        watching_ = spawned && !files_.empty();
        if (watching_) {
            watcher_ = std::thread([this, file = watched_.empty() ? files_ + ".out" : watched_] {
                const sched_param high{10};
                pthread_setschedparam(pthread_self(), SCHED_FIFO, &high);
                for (bool last = false; !last; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
                    last = !watching_;
                    std::ifstream in(file, std::ios::binary);
                    in.seekg(static_cast<std::streamoff>(seen_));
                    const std::string fresh{std::istreambuf_iterator<char>(in),
                                            std::istreambuf_iterator<char>()};
                    if (!fresh.empty()) {
                        result_.shown.emplace_back(seconds(), fresh);
                        seen_ += fresh.size();
                    }
                }
            });
        }
        return spawned;
    }

    std::string output() const { return files_.empty() ? "" : readFile(outputPath()); }
    std::string outputPath() const { return files_ + ".out"; }
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }
    std::chrono::steady_clock::time_point startedAt() const { return started_; }

    // Whether the program still runs; once it has ended it is reaped and its result kept.
    bool running() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            result_.finished = WIFEXITED(status),
            result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            result_.seconds = seconds();
        }
        return pid_ > 0;
    }

    // Waits until the output holds `text`; false when the program ends or the time runs out first.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
        for (const auto end = std::chrono::steady_clock::now() + limit;
             std::chrono::steady_clock::now() < end;) {
            const bool runs = running();
            if (output().find(text) != std::string::npos || !runs) {
                return output().find(text) != std::string::npos;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // Waits for the program to end, ending it at `limit` after its start.
    Result wait(std::chrono::seconds limit) {
        while (running() && std::chrono::steady_clock::now() < started_ + limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        stop();
        result_.output = output();
        return result_;
    }

    // Ends the program if it still runs: SIGTERM, and SIGKILL to its group after two seconds.
    void stop() {
        if (running()) {
            kill(pid_, SIGTERM);
        }
        for (int i = 0; running() && i < 200; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (running()) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        watching_ = false;
        if (watcher_.joinable()) {
            watcher_.join();
        }
    }

  private:
    std::vector<std::string> argv_;
    std::string folder_, files_;
    pid_t pid_ = -1;
    Result result_; // its pieces shown are the watcher's until it has ended
    std::string watched_;
    std::atomic<bool> watching_{false};
    std::size_t seen_ = 0;
    std::thread watcher_;
    std::chrono::steady_clock::time_point started_;
};

#endif
