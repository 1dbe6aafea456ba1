// A program run as a child process: arguments, a working folder, standard input from a text,
// standard output gathered into a text that can be watched while the program runs, and a
// deadline after which the program and its process group are killed.
#ifndef TESTS_CHILD_PROCESS_H
#define TESTS_CHILD_PROCESS_H

#include <chrono>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

class ChildProcess {
public:
    struct Result {
        bool finished = false; // false: ended by a signal, or killed at the deadline
        int status = -1;       // exit status when it finished
        std::string output;
        double seconds = 0;
    };

    explicit ChildProcess(std::vector<std::string> argv, std::string folder = {})
        : argv_(std::move(argv)), folder_(std::move(folder)) {}
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts the program in a process group of its own, with `input` on its standard input.
    bool start(const std::string& input = {}) {
        int in[2], out[2];
        posix_spawn_file_actions_t io;
        posix_spawnattr_t group;
        if (pipe(in) != 0 || pipe(out) != 0 || posix_spawn_file_actions_init(&io) != 0 || posix_spawnattr_init(&group) != 0) {
            return false;
        }
        posix_spawn_file_actions_adddup2(&io, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&io, out[1], STDOUT_FILENO);
        // Standard error (Wine's own messages among them) goes to a file beside the run.
        const std::string errors = folder_.empty() ? "/dev/null" : folder_ + "/stderr.log";
        posix_spawn_file_actions_addopen(&io, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (const int fd : {in[0], in[1], out[0], out[1]}) {
            posix_spawn_file_actions_addclose(&io, fd);
        }
        if (!folder_.empty()) {
            posix_spawn_file_actions_addchdir_np(&io, folder_.c_str());
        }
        posix_spawnattr_setflags(&group, POSIX_SPAWN_SETPGROUP);
        std::vector<char*> args;
        for (std::string& a : argv_) {
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        std::signal(SIGPIPE, SIG_IGN); // a program may end before it has read its input
        started_ = std::chrono::steady_clock::now();
        if (posix_spawn(&pid_, args[0], &io, &group, args.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&io);
        posix_spawnattr_destroy(&group);
        close(in[0]);
        close(out[1]);
        const bool fed = input.empty() || write(in[1], input.data(), input.size()) == static_cast<ssize_t>(input.size());
        close(in[1]);
        reader_ = std::thread([this, fd = out[0]] {
            char buffer[65536];
            for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
                const std::lock_guard<std::mutex> lock(mutex_);
                output_.append(buffer, static_cast<std::size_t>(got));
            }
            close(fd);
        });
        return pid_ > 0 && fed;
    }

    std::string output() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return output_;
    }
    double seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count(); }

    // Whether the program still runs; once it has ended it is reaped and its result kept.
    bool running() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            result_ = {WIFEXITED(status), WIFEXITED(status) ? WEXITSTATUS(status) : -1, {}, seconds()};
        }
        return pid_ > 0;
    }

    // Waits until the output holds `text`; false when the program ends or the time runs out first.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
        for (const auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
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
        if (reader_.joinable()) {
            reader_.join();
        }
    }

private:
    std::vector<std::string> argv_;
    std::string folder_;
    pid_t pid_ = -1;
    Result result_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::string output_;
    std::chrono::steady_clock::time_point started_;
};

#endif
