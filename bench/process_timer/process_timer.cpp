// process_timer: times whole programs for scripts/bench.sh. Each round starts every command once,
// in the order given, with posix_spawn (no copy of a large parent's page tables, unlike a fork
// from the shell, whose cost would be added to every program alike and blur their ratio) and
// waits for it; the wall time runs from just before the spawn to the end of the wait, the CPU
// time (user + system) is the child's own, from wait4.
//
// Usage: process_timer ROUNDS -- program args... [-- program args...]...
// Prints one line per command: "<median wall us> <mean cpu us>". The commands' output goes to
// /dev/null. Exit status: 0 when every run ended with status 0, 1 otherwise, 2 on usage errors.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

namespace {

struct Command {
    std::vector<char*> argv; // null-terminated
    std::vector<double> wallUs;
    double cpuUs = 0;
};

double microseconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec);
}

bool runOnce(Command& command, const posix_spawn_file_actions_t& toNull) {
    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    if (posix_spawnp(&pid, command.argv[0], &toNull, nullptr, command.argv.data(), environ) != 0) {
        std::fprintf(stderr, "process_timer: cannot start %s\n", command.argv[0]);
        return false;
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        return false;
    }
    const auto end = std::chrono::steady_clock::now();
    command.wallUs.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    command.cpuUs += microseconds(usage.ru_utime) + microseconds(usage.ru_stime);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "process_timer: %s failed\n", command.argv[0]);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 0;
    if (rounds <= 0 || argc < 4 || std::strcmp(argv[2], "--") != 0) {
        std::fprintf(stderr, "usage: process_timer ROUNDS -- program args... [-- program args...]...\n");
        return 2;
    }
    std::vector<Command> commands;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            commands.emplace_back();
        } else {
            commands.back().argv.push_back(argv[i]);
        }
    }
    for (Command& command : commands) {
        if (command.argv.empty()) {
            std::fprintf(stderr, "process_timer: empty command\n");
            return 2;
        }
        command.argv.push_back(nullptr);
    }

    posix_spawn_file_actions_t toNull;
    posix_spawn_file_actions_init(&toNull);
    posix_spawn_file_actions_addopen(&toNull, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&toNull, 2, "/dev/null", O_WRONLY, 0);
    bool allPassed = true;
    for (int round = 0; round < rounds && allPassed; ++round) {
        for (Command& command : commands) {
            allPassed = runOnce(command, toNull) && allPassed;
        }
    }
    posix_spawn_file_actions_destroy(&toNull);
    if (!allPassed) {
        return 1;
    }
    for (Command& command : commands) {
        std::vector<double>& w = command.wallUs;
        std::sort(w.begin(), w.end());
        const std::size_t n = w.size();
        const double median = n % 2 != 0 ? w[n / 2] : (w[n / 2 - 1] + w[n / 2]) / 2;
        std::printf("%.0f %.0f\n", median, command.cpuUs / static_cast<double>(n));
    }
    return 0;
}
