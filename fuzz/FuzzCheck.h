// A failed check in a fuzzer: print what went wrong and abort, so libFuzzer keeps the input.
#ifndef FUZZ_CHECK_H
#define FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                                \
    ((condition) ? (void)0                                                                                   \
                 : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition),       \
                    std::abort()))

#endif
