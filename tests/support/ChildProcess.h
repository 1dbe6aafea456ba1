// Runs a program as a child process for end-to-end tests: arguments, standard input from a text,
// standard output and error collected into one text, a deadline after which it is killed.
#ifndef TESTS_CHILD_PROCESS_H
#define TESTS_CHILD_PROCESS_H

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

class ChildProcess {
  public:
    struct Result {
        bool finished = false; // false: killed at the deadline
        int exitStatus = -1;   // exit status when it finished normally, else -1
        std::string output;    // standard output and error, interleaved as written
        double seconds = 0;
    };

    ChildProcess(std::vector<std::string> argv, std::string workingDirectory = {})
        : argv_(std::move(argv)), cwd_(std::move(workingDirectory)) {}
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts the program. `input` is fed to its standard input, which is then closed; with
    // `keepInputOpen` the pipe stays open until stop() so the program sees no end of input.
    bool start(const std::string& input = {}, bool keepInputOpen = false) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) {
            return false;
        }
        started_ = std::chrono::steady_clock::now();
        pid_ = fork();
        if (pid_ < 0) {
            return false;
        }
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            setpgid(0, 0);
            if (!cwd_.empty() && chdir(cwd_.c_str()) != 0) {
                _exit(126);
            }
            std::vector<char*> args;
            for (std::string& a : argv_) {
                args.push_back(&a[0]);
            }
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        inputFd_ = in[1];
        outputFd_ = out[0];
        if (!input.empty()) {
            const ssize_t written = write(inputFd_, input.data(), input.size());
            (void)written;
        }
        if (!keepInputOpen) {
            close(inputFd_);
            inputFd_ = -1;
        }
        reader_ = std::thread([this] {
            char buffer[65536];
            for (;;) {
                const ssize_t got = read(outputFd_, buffer, sizeof buffer);
                if (got <= 0) {
                    break;
                }
                output_.append(buffer, static_cast<std::size_t>(got));
            }
        });
        return true;
    }

    // Waits for the program to end, killing it (and its process group) at the deadline.
    Result wait(std::chrono::seconds deadline) {
        Result result;
        const auto limit = started_ + deadline;
        int status = 0;
        for (;;) {
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                result.finished = true;
                break;
            }
            if (std::chrono::steady_clock::now() >= limit) {
                kill(-pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
        finishIo();
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        if (result.finished && WIFEXITED(status)) {
            result.exitStatus = WEXITSTATUS(status);
        } else {
            result.finished = false;
        }
        result.output = output_;
        return result;
    }

    // Asks the program to end (SIGTERM, then SIGKILL after a grace time) and reaps it.
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        finishIo();
    }

    const std::string& outputSoFar() const { return output_; } // only safe once finished

  private:
    void finishIo() {
        if (inputFd_ >= 0) {
            close(inputFd_);
            inputFd_ = -1;
        }
        if (reader_.joinable()) {
            reader_.join();
        }
        if (outputFd_ >= 0) {
            close(outputFd_);
            outputFd_ = -1;
        }
    }

    std::vector<std::string> argv_;
    std::string cwd_;
    pid_t pid_ = -1;
    int inputFd_ = -1;
    int outputFd_ = -1;
    std::thread reader_;
    std::string output_;
    std::chrono::steady_clock::time_point started_;
};

#endif
