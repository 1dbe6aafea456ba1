#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Usage: scripts/install-deps.sh [--core] [extra package ...]
#   --core   only what building the programs, the simulator and the Linux tests needs (the demo)
set -euo pipefail

core=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev binutils coreutils)
if [ "${1:-}" = "--core" ]; then
    shift
    packages=("${core[@]}" "$@")
else
    # wine, wine64 and the MinGW-w64 cross compiler: the Windows executables and unit tests are
    # cross-built and tested under Wine (ctest label "wine"); googletest: GoogleTest's sources, built
    # for Windows there. clang and its runtime libraries: the fuzzers (libFuzzer). valgrind: the
    # memcheck run of the executable (ctest label "valgrind"). srecord: srec_cat, one of the
    # references of scripts/bench.sh. lintian and man-db: the check of the Debian package and its
    # manual pages (ctest label "package"). qemu-system-x86: the guests of the realdriver lane
    # (tests/realdriver/prepare.sh also installs it when run by hand).
    packages=("${core[@]}" wine wine64 g++-mingw-w64-x86-64 googletest clang libclang-rt-14-dev valgrind srecord
        lintian man-db qemu-system-x86 "$@")
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]} (install them, or run this script as root)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
