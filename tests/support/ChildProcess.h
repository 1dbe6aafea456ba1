// A program run as a child process: arguments, a working folder, standard input from a text,
// standard output and error gathered into one text that can be watched while the program runs,
// and a deadline after which the program and its process group are killed.
#ifndef TESTS_CHILD_PROCESS_H
#define TESTS_CHILD_PROCESS_H

#include <chrono>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

class ChildProcess {
public:
    struct Result {
        bool finished = false; // false: killed at the deadline
        int status = -1;       // exit status when it finished
        std::string output;
        double seconds = 0;
    };

    explicit ChildProcess(std::vector<std::string> argv, std::string folder = {})
        : argv_(std::move(argv)), folder_(std::move(folder)) {}
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts the program with `input` on its standard input, then closed.
    bool start(const std::string& input = {}) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) {
            return false;
        }
        started_ = std::chrono::steady_clock::now();
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            for (int fd : {in[0], in[1], out[0], out[1]}) {
                close(fd);
            }
            std::vector<char*> args;
            for (std::string& a : argv_) {
                args.push_back(a.data());
            }
            args.push_back(nullptr);
            if (folder_.empty() || chdir(folder_.c_str()) == 0) {
                execv(args[0], args.data());
            }
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
            return false;
        }
        close(in[1]);
        reader_ = std::thread([this, fd = out[0]] {
            char buffer[65536];
            for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
                const std::lock_guard<std::mutex> lock(mutex_);
                output_.append(buffer, static_cast<std::size_t>(got));
            }
            close(fd);
        });
        return pid_ > 0;
    }

    std::string output() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return output_;
    }
    double seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count(); }
    pid_t pid() const { return pid_; }

    // Whether the program still runs (it is reaped once it has ended).
    bool running() {
        if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) {
            pid_ = -1;
            ended_ = true;
            endedAfter_ = seconds();
        }
        return pid_ > 0;
    }

    // Waits until the output holds `text`; false when the program ends or the time runs out first.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
        for (const auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
            if (output().find(text) != std::string::npos) {
                return true;
            }
            if (!running()) {
                return output().find(text) != std::string::npos;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // Waits for the program to end, killing it (and its process group) at `limit` after its start.
    Result wait(std::chrono::seconds limit) {
        while (running() && std::chrono::steady_clock::now() < started_ + limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (running()) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        Result result;
        result.seconds = ended_ ? endedAfter_ : seconds();
        if (reader_.joinable()) {
            reader_.join();
        }
        result.finished = ended_ && WIFEXITED(status_);
        result.status = result.finished ? WEXITSTATUS(status_) : -1;
        result.output = output();
        return result;
    }

    // Asks the program to end (SIGTERM, SIGKILL after two seconds) and reaps it.
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            for (int i = 0; i < 200 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
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
    int status_ = 0;
    bool ended_ = false;
    double endedAfter_ = 0;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::string output_;
    std::chrono::steady_clock::time_point started_;
};

#endif
