// For the rows that wait on real time: the margin of a window in the bench's one form, and the
// simulator's trace read back onto the tests' clock.
#ifndef TESTS_REAL_TIME_H
#define TESTS_REAL_TIME_H

#include "PtyTrace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

// A window that only ends.
constexpr double kOpen = -INFINITY;

// What a row used of a real-time window (a time, or from-to, in seconds), checked against it and
// printed in one greppable form; what is to spare is the distance to the nearer end.
inline void expectWithin(const std::string& what, double from, double to, double windowFrom,
                         double windowTo) {
    EXPECT_TRUE(from >= windowFrom && to <= windowTo) << what << ": " << from << "-" << to << " s";
    char used[48], window[48];
    std::snprintf(used, sizeof used, from == to ? "%.3f s" : "%.3f-%.3f s", from, to);
    std::snprintf(window, sizeof window, windowFrom == kOpen ? "up to %.3f s" : "%.3f-%.3f s",
                  windowFrom == kOpen ? windowTo : windowFrom, windowTo);
    std::printf("[ margin ] %s: %s, window %s, %.3f s to spare\n", what.c_str(), used, window,
                std::min(from - windowFrom, windowTo - to));
}

// A line of the simulator's trace with when it happened and, for a text the unit sent, when its
// last byte had gone out (NaN: cut off by the unit's end), in seconds on the monotonic clock of the
// machine the unit ran on.
struct TraceLine {
    velmora_sim::TraceEntry entry;
    double at, out;
};

// The trace file in file order, read through its clock note; false when it cannot be read, a line
// is damaged, or a text sent is not closed by a note that it went out or was cut off.
inline bool readTrace(const std::string& path, std::vector<TraceLine>* lines) {
    std::ifstream in(path, std::ios::binary);
    lines->clear();
    double started = 0;
    std::vector<long long> closed; // the texts closed by a note, by the time they were sent
    for (std::string line; std::getline(in, line);) {
        // <ms> <R|S|E> <baud> <text>: the text is everything after the third space.
        velmora_sim::TraceEntry e{};
        long long ms = 0;
        int text = 0;
        if (std::sscanf(line.c_str(), "%lld %c %u%n", &ms, &e.direction, &e.baud, &text) != 3 ||
            line.size() <= static_cast<std::size_t>(text) || line[static_cast<std::size_t>(text)] != ' ' ||
            !velmora_sim::unescapeText(line.substr(static_cast<std::size_t>(text) + 1), &e.text)) {
            return false;
        }
        e.timeMs = ms;
        const double at = started + static_cast<double>(ms) / 1000;
        for (const char* note :
             {velmora_sim::kClockNote, velmora_sim::kGoneOutNote, velmora_sim::kCutOffNote}) {
            const std::size_t size = std::strlen(note);
            if (e.direction != 'E' || e.text.compare(0, size, note) != 0) {
                continue;
            }
            if (note == velmora_sim::kClockNote) {
                started = std::atof(e.text.c_str() + size);
                continue;
            }
            closed.push_back(std::atoll(e.text.c_str() + size));
            for (TraceLine& sent : *lines) {
                sent.out = sent.entry.direction == 'S' && sent.entry.timeMs == closed.back() &&
                                   note == velmora_sim::kGoneOutNote
                               ? at
                               : sent.out;
            }
        }
        lines->push_back({std::move(e), at, NAN});
    }
    for (const TraceLine& l : *lines) {
        if (l.entry.direction == 'S' &&
            std::find(closed.begin(), closed.end(), l.entry.timeMs) == closed.end()) {
            return false;
        }
    }
    return in.eof();
}

#endif
