#!/usr/bin/env bash
# Configures, builds and runs every test: unit and virtual-platform tests, the POSIX platform
# tests over pseudo-terminals, the end-to-end runs against the simulated unit (the fault
# catalogue and the memcheck run among them), then the sanitizer build and the fuzz smoke.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --workflow --preset dev

# Sanitizers: the unit and virtual-platform suites built and run under AddressSanitizer and
# UndefinedBehaviorSanitizer (preset asan, build/asan). Any report fails the run.
cmake --workflow --preset asan

# Fuzz smoke: each fuzzer for 12 s over its seed corpus (about a minute in all), built with
# clang, libFuzzer and both sanitizers (preset fuzz, build/fuzz).
bash scripts/fuzz.sh 12
