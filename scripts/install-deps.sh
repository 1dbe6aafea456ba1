#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Usage: scripts/install-deps.sh [--core | --release] [extra package ...]
#   --core      only what building the programs, the simulator and the Linux tests needs (the demo)
#   --release   the core and what building the release packages needs (scripts/release.sh)
set -euo pipefail

# srecord: srec_cat makes the images the tests expect the unit to receive.
core=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev binutils coreutils srecord)
# What the release packages need beside: the MinGW-w64 cross compiler (the Windows programs), zip
# (the release zip, cmake/ReproducibleArchives.cmake) and dpkg-dev (dpkg-shlibdeps, which gives the
# .deb its Depends line; without it the line is a fixed one, and the package another).
release=(g++-mingw-w64-x86-64 zip dpkg-dev)
if [ "${1:-}" = "--core" ]; then
    shift
    packages=("${core[@]}" "$@")
elif [ "${1:-}" = "--release" ]; then
    shift
    packages=("${core[@]}" "${release[@]}" "$@")
else
    # wine, wine64 and the MinGW-w64 cross compiler: the Windows executables and unit tests are
    # cross-built and tested under Wine (ctest label "wine"); googletest: GoogleTest's sources, built
    # for Windows there. clang and its runtime libraries: the fuzzers (libFuzzer); libclang-rt-dev
    # follows the release's clang (14 on Debian 12, 19 on Debian 13). valgrind: the
    # memcheck run of the executable (ctest label "valgrind"). clang-format: the check that every
    # C/C++ file is formatted (ctest row "format"). lintian and man-db: the check of the Debian package and its
    # manual pages (ctest label "package"). qemu-system-x86: the guests of the realdriver lane
    # (tests/realdriver/prepare.sh also installs it when run by hand). diffoscope-minimal: the
    # account of any difference between two builds of the release (scripts/reproduce.sh).
    packages=("${core[@]}" "${release[@]}" wine wine64 googletest clang libclang-rt-dev valgrind clang-format
        lintian man-db qemu-system-x86 diffoscope-minimal "$@")
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
