#!/usr/bin/env bash
# Set-up of the Wine runs, run by CTest as fixtures.
#   wine-setup.sh windows <source dir> <build dir>   cross-builds the Windows programs and the
#                                                    version reader pe_version_info (mingw preset,
#                                                    configured with tests on: the unit tests,
#                                                    outside "all" in a cross build, are built
#                                                    later, beside the first Wine runs) and
#                                                    packs the technicians' zip as a release does
#   wine-setup.sh prefix                             creates the Wine prefix WINEPREFIX with no COM port in it
#   wine-setup.sh unpack <zip> <folder>              checks the zip against its .sha256 and unpacks
#                                                    it where a technician would, a folder of the
#                                                    prefix (spaces, letters beyond ASCII)
set -euo pipefail
case "${1:-}" in
windows)
    cd "$2"
    source scripts/release-env.sh # as scripts/release.sh builds
    cmake --preset mingw -B "$3" -DFWUPGRADE_BUILD_TESTS=ON >/dev/null
    cmake --build "$3" -j2 # the programs and pe_version_info; the unit tests are not in "all" here
    rm -rf "$3/packages"
    (cd "$3" && cpack -G ZIP >/dev/null)
    ;;
prefix) # in Wine's environment for the tests (tests/e2e/CMakeLists.txt)
    mkdir -p "$WINEPREFIX"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i
        wineserver -w
    fi
    rm -f "$WINEPREFIX"/dosdevices/com*
    ;;
unpack)
    # The zip holds what it should: cpack checked it as it packed it (cmake/ReproducibleArchives.cmake).
    bash "$(dirname "$0")/../../scripts/check-sha256.sh" "$2"
    rm -rf "$3" && mkdir -p "$3"
    cmake -E chdir "$3" cmake -E tar xf "$2"
    echo "unpacked: $(cd "$3" && find . -mindepth 1 | LC_ALL=C sort | tr '\n' ' ')"
    ;;
*)
    echo "usage: $0 windows <source dir> <build dir> | prefix | unpack <zip> <folder>" >&2
    exit 2
    ;;
esac
