// Running the cross-built Windows executables under Wine, against pseudo-terminals published as
// COM ports of the test's own Wine prefix.
//
// Wine resolves \\.\COMn through the prefix's dosdevices/comn link (lower case), which must lead
// to a tty. Its mount manager would also map the machine's own serial devices to the first free
// COM numbers at every start; it is switched off so that the tests see only their own ports.
#ifndef WINE_SUPPORT_H
#define WINE_SUPPORT_H

#include "ChildProcess.h"
#include "EndToEnd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace wine_test {

inline const std::string kPrefix = WINE_PREFIX_DIR;
inline const std::string kWorkDir = WINE_WORK_DIR;
inline const std::string kWindowsBuild = WINDOWS_BUILD_DIR;

inline std::string windowsProgram(const std::string& relative) { return kWindowsBuild + "/" + relative; }

inline std::string dosDeviceLink(int port) { return kPrefix + "/dosdevices/com" + std::to_string(port); }

// The environment every Wine process of the tests runs in.
inline void useTestPrefix() {
    setenv("WINEPREFIX", kPrefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mountmgr.sys=d;winemenubuilder.exe=d", 1);
    setenv("DISPLAY", "", 1);
}

// Removes every COM link of the prefix, so that only the ports a test publishes exist.
inline void removeAllComLinks() {
    for (int port = 1; port <= 64; ++port) {
        unlink(dosDeviceLink(port).c_str());
    }
}

// A fresh, empty directory under the work folder.
inline std::string freshDir(const std::string& name) { return e2e::freshDirectory(kWorkDir, name); }

// Waits until the prefix's wineserver has gone. The wineserver holds the COM ports' ttys; it
// must be gone before a test closes its pseudo-terminal, or it would see the line hang up.
inline void waitForWineserver() {
    ChildProcess server({WINESERVER_PROGRAM, "-w"});
    if (server.start()) {
        server.wait(std::chrono::seconds(60));
    }
}

// Runs a Windows program under Wine in `workingDirectory` with `input` on its standard input.
inline ChildProcess::Result runUnderWine(const std::string& program, const std::vector<std::string>& args,
                                         const std::string& workingDirectory, const std::string& input,
                                         std::chrono::seconds deadline) {
    useTestPrefix();
    std::vector<std::string> argv = {WINE_PROGRAM, program};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv, workingDirectory);
    EXPECT_TRUE(child.start(input));
    ChildProcess::Result result = child.wait(deadline);
    waitForWineserver();
    return result;
}

// Standard output of a Windows console program is in text mode: the C library writes every
// line feed as CR LF. Gives back the text the program printed, or sets *consistent to false
// when some line feed came without its carriage return (the output was not text mode).
inline std::string fromTextMode(const std::string& raw, bool* consistent) {
    *consistent = true;
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') {
            text += '\n'; // the line feed, without the CR the library put before it
            ++i;
            continue;
        }
        if (raw[i] == '\n') {
            *consistent = false;
        }
        text += raw[i];
    }
    return text;
}

// A pseudo-terminal published as COMn of the prefix. The test keeps the master side (the far
// end of the line) and a handle on the slave of its own, so the line does not hang up while the
// Windows program opens and closes the port.
class WinePort {
public:
    explicit WinePort(int port) : link_(dosDeviceLink(port)) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname(master_) == nullptr) {
            return;
        }
        slavePath_ = ptsname(master_);
        slave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios raw{};
        if (slave_ < 0 || tcgetattr(slave_, &raw) != 0) {
            return;
        }
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        unlink(link_.c_str());
        published_ = symlink(slavePath_.c_str(), link_.c_str()) == 0;
    }
    ~WinePort() {
        unlink(link_.c_str());
        if (slave_ >= 0) {
            close(slave_);
        }
        if (master_ >= 0) {
            close(master_);
        }
    }
    WinePort(const WinePort&) = delete;
    WinePort& operator=(const WinePort&) = delete;

    bool ok() const { return published_; }
    int master() const { return master_; }
    // The line settings as the Windows program left them on the tty.
    bool settings(termios* out) const { return tcgetattr(slave_, out) == 0; }

private:
    std::string link_;
    std::string slavePath_;
    int master_ = -1;
    int slave_ = -1;
    bool published_ = false;
};

// One result line of the serial probe: "result <name> key=value ...".
struct ProbeResult {
    std::map<std::string, std::string> fields;
    bool present = false;
    long number(const std::string& key) const {
        const auto it = fields.find(key);
        return it == fields.end() ? -1 : std::strtol(it->second.c_str(), nullptr, 10);
    }
};

inline std::map<std::string, ProbeResult> parseProbeOutput(const std::string& output) {
    std::map<std::string, ProbeResult> results;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::istringstream words(line);
        std::string tag, name, field;
        if (!(words >> tag >> name) || tag != "result") {
            continue;
        }
        ProbeResult& result = results[name];
        result.present = true;
        while (words >> field) {
            const std::size_t eq = field.find('=');
            if (eq != std::string::npos) {
                result.fields[field.substr(0, eq)] = field.substr(eq + 1);
            }
        }
    }
    return results;
}

} // namespace wine_test

#endif
