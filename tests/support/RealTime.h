// For the rows that wait on real time: the margin of a window in the bench's one form.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

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
