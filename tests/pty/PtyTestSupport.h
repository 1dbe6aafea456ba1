// Pseudo-terminal pairs published as COM ports, for the tests of the POSIX platform layer.
//
// The tool finds COMn through the build-time device format, which in test builds points at
// links in FWUPGRADE_TEST_PORT_DIR. A PtyPair creates a pty, keeps the master side (the "far
// end" of the serial line) and publishes the slave as COMn while it lives.
#ifndef PTY_TEST_SUPPORT_H
#define PTY_TEST_SUPPORT_H

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace pty_test {

inline std::string portDir() { return FWUPGRADE_TEST_PORT_DIR; }

// Without a device format the tool maps COMn to real devices, where tests cannot publish.
#define PTY_TEST_REQUIRE_PORT_DIR()                                                          \
    do {                                                                                     \
        if (pty_test::portDir().empty()) {                                                   \
            GTEST_SKIP() << "built without FWUPGRADE_COM_DEVICE_FORMAT: no test port folder"; \
        }                                                                                    \
    } while (0)

inline std::string comLink(int n) { return portDir() + "/COM" + std::to_string(n); }

inline void makePortDir() {
    // mkdir -p for the one or two missing levels under the build directory.
    std::string path;
    for (std::size_t i = 1; i <= portDir().size(); ++i) {
        if (i == portDir().size() || portDir()[i] == '/') {
            path = portDir().substr(0, i);
            mkdir(path.c_str(), 0755);
        }
    }
}

class PtyPair {
public:
    explicit PtyPair(int comNumber) : link_(comLink(comNumber)) {
        if (portDir().empty()) {
            link_.clear();
            return;
        }
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            return;
        }
        const char* name = ptsname(master_);
        if (name == nullptr) {
            return;
        }
        slavePath_ = name;
        makePortDir();
        unlink(link_.c_str());
        if (symlink(slavePath_.c_str(), link_.c_str()) != 0) {
            slavePath_.clear();
        }
    }
    ~PtyPair() {
        if (!link_.empty()) {
            unlink(link_.c_str());
        }
        closeMaster();
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0 && !slavePath_.empty(); }
    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    void closeMaster() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }

    // Writes everything to the tool's side.
    bool send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            } else {
                pollfd pfd{master_, POLLOUT, 0};
                poll(&pfd, 1, 100);
            }
        }
        return true;
    }

    // Collects what the tool wrote until `count` bytes are in or `ms` pass.
    std::string receive(std::size_t count, int ms) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{master_, POLLIN, 0};
            if (poll(&pfd, 1, 10) > 0 && (pfd.revents & POLLIN) != 0) {
                char buffer[4096];
                const ssize_t n = read(master_, buffer, sizeof buffer);
                if (n > 0) {
                    got.append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
        return got;
    }

    // The line settings the tool applied, as the far end sees them.
    bool settings(termios* out) const { return tcgetattr(master_, out) == 0; }

private:
    std::string link_;
    std::string slavePath_;
    int master_ = -1;
};

// The pty simulator program, started with the given options and stopped (SIGTERM) at the end.
class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess() { stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the simulator and waits until its ready file appears.
    bool start(std::vector<std::string> args) {
        readyFile_ = portDir() + "/sim-" + std::to_string(getpid()) + ".ready";
        unlink(readyFile_.c_str());
        args.insert(args.begin(), VELMORA_UNIT_SIM);
        args.push_back("--ready-file");
        args.push_back(readyFile_);
        args.push_back("--max-run"); // never outlive a test run that went wrong
        args.push_back("600000");
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(&arg[0]);
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 500 && pid_ > 0; ++i) {
            if (access(readyFile_.c_str(), F_OK) == 0) {
                return true;
            }
            if (exitedWithin(0)) {
                return false;
            }
            usleep(10000);
        }
        return false;
    }

    // True when the process has ended within `ms`; its exit status is then in status().
    bool exitedWithin(int ms) {
        if (pid_ <= 0) {
            return true;
        }
        for (int waited = 0;; waited += 10) {
            if (waitpid(pid_, &status_, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            if (waited >= ms) {
                return false;
            }
            usleep(10000);
        }
    }

    // Asks the simulator to end and waits for it. True when it ended cleanly within 5 s.
    bool stop() {
        if (pid_ <= 0) {
            return false;
        }
        kill(pid_, SIGTERM);
        if (!exitedWithin(5000)) {
            kill(pid_, SIGKILL);
            exitedWithin(5000);
            return false;
        }
        unlink(readyFile_.c_str());
        return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
    }

    pid_t pid() const { return pid_; }
    int status() const { return status_; }
    const std::string& readyFile() const { return readyFile_; }

private:
    pid_t pid_ = -1;
    int status_ = 0;
    std::string readyFile_;
};

inline std::string readFile(const std::string& path) {
    std::string content;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            content.append(buffer, n);
        }
        std::fclose(file);
    }
    return content;
}

} // namespace pty_test

#endif
