#!/usr/bin/env bash
# Set-up steps of the Wine tests, run by CTest as fixtures.
#
#   wine-tests.sh build-windows <source dir> <build dir>
#       cross-builds the Windows executables (mingw preset) into <build dir>
#   wine-tests.sh make-prefix <prefix dir>
#       creates a Wine prefix with no COM ports in it
#
# Wine's mount manager maps every serial device of the machine (/dev/ttyS*, /dev/ttyUSB*, ...) to
# the first free COM numbers each time Wine starts. The tests must see only the ports they publish
# themselves, so it is switched off (WINEDLLOVERRIDES=mountmgr.sys=d, also set by the tests); a
# dosdevices/comN link then stands for COMN exactly as on Windows, and an absent link is an absent
# port.
set -euo pipefail

wine_env() {
    export WINEPREFIX="$1"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mountmgr.sys=d;winemenubuilder.exe=d"
    export DISPLAY=
}

case "${1:-}" in
build-windows)
    src="$2"
    out="$3"
    cd "$src"
    if [ ! -f "$out/CMakeCache.txt" ]; then
        cmake --preset mingw -B "$out"
    fi
    cmake --build "$out" -j2
    for exe in VelmoraFwUpgrade.exe VelmoraFwWebFile.exe; do
        test -f "$out/src/$exe" || { echo "missing $out/src/$exe" >&2; exit 1; }
    done
    test -f "$out/tests/wine/serial_probe.exe" || { echo "missing serial_probe.exe" >&2; exit 1; }
    ;;
make-prefix)
    prefix="$2"
    wine_env "$prefix"
    if [ ! -f "$prefix/system.reg" ]; then
        mkdir -p "$prefix"
        wineboot -i
        wineserver -w
    fi
    rm -f "$prefix"/dosdevices/com*
    ls "$prefix/dosdevices"
    ;;
*)
    echo "usage: $0 build-windows <source dir> <build dir> | make-prefix <prefix dir>" >&2
    exit 2
    ;;
esac
