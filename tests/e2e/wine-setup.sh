#!/usr/bin/env bash
# Set-up of the Wine runs, run by CTest as fixtures.
#   wine-setup.sh windows <source dir> <build dir>   cross-builds the Windows programs and the
#                                                    version reader pe_version_info (mingw preset,
#                                                    configured with tests on: the unit tests are
#                                                    built later, beside the first Wine runs)
#   wine-setup.sh prefix <prefix dir>                creates a Wine prefix with no COM port in it
set -euo pipefail
case "${1:-}" in
windows)
    cd "$2"
    cmake --preset mingw -B "$3" -DFWUPGRADE_BUILD_TESTS=ON >/dev/null
    cmake --build "$3" -j2 --target VelmoraFwUpgrade VelmoraFwWebFile pe_version_info
    ;;
prefix)
    mkdir -p "$2"
    export WINEPREFIX="$(cd "$2" && pwd)" WINEDEBUG=-all WINEDLLOVERRIDES="mountmgr.sys=d;winemenubuilder.exe=d" DISPLAY=
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i
        wineserver -w
    fi
    rm -f "$WINEPREFIX"/dosdevices/com*
    ;;
*)
    echo "usage: $0 windows <source dir> <build dir> | prefix <prefix dir>" >&2
    exit 2
    ;;
esac
