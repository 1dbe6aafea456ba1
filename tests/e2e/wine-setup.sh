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
#   wine-setup.sh check <folder> <build dir> <Linux VelmoraFwWebFile>
#                                                    checks the unpacked programs as a technician
#                                                    relies on them (see below)
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
check) # in Wine's environment: the Windows programs as unpacked, against what a technician relies on
    programs=$2 build=$3 linux_web_file=$4 failed=0
    expect() { grep -qF -- "$2" <<<"$1" || { echo "missing: $2" >&2; failed=1; }; }
    # Console programs that need only the system's DLLs and reserve the 2 MiB stack, which say what
    # they are as Explorer shows it (Properties -> Details, read back as Windows reads it) and carry
    # one manifest: run as invoked, on Windows 7 to 11.
    for entry in "VelmoraFwUpgrade/update over a serial port" "VelmoraFwWebFile/file for the web upload"; do
        program=${entry%%/*}
        headers=$(x86_64-w64-mingw32-objdump -p "$programs/$program.exe")
        expect "$headers" $'SizeOfStackReserve\t0000000000200000'
        expect "$headers" "(Windows CUI)"
        ! grep -q "DLL Name: lib" <<<"$headers" || { echo "$program needs a runtime DLL" >&2; failed=1; }
        info=$(wine "$build/pe_version_info.exe" "Z:$programs/$program.exe")
        for line in "FixedFileVersion: 1.0.3.0" "FixedProductVersion: 1.0.3.0" "CompanyName: Kovlar" \
            "FileDescription: Kovlar QV7 firmware ${entry#*/}" "FileVersion: 1.0.3.0" "InternalName: $program" \
            "LegalCopyright: Copyright 2026 Kovlar. All rights reserved." "OriginalFilename: $program.exe" \
            "ProductName: VelmoraFwUpgrade" "ProductVersion: 1.0.3" "Manifests: 1" \
            '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' \
            {35138b9a-5d96-4fbd-8e2d-a2440225f93a} {4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38} \
            {1f676c76-80e1-4239-95bb-83d0f6d0da78} {8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}; do
            expect "$info" "$line"
        done
    done
    # The web file, written in that folder, is byte for byte the one the Linux program writes.
    linux=$(mktemp -d)
    (cd "$linux" && "$linux_web_file" </dev/null >/dev/null) || { echo "the Linux web file program failed" >&2; failed=1; }
    (cd "$programs" && rm -f FwToUpload.bin && wine VelmoraFwWebFile.exe </dev/null >/dev/null) ||
        { echo "VelmoraFwWebFile.exe failed" >&2; failed=1; }
    cmp "$programs/FwToUpload.bin" "$linux/FwToUpload.bin" || failed=1
    [ "$(stat -c %s "$linux/FwToUpload.bin")" -gt 165000 ] || failed=1
    rm -rf "$linux"
    # Every line of the README beside them ends in CR LF, for Notepad.
    lines=$(tr -cd '\n' <"$programs/README.txt" | wc -c) crlf=$(grep -c $'\r$' "$programs/README.txt" || true)
    [ "$lines" -gt 50 ] && [ "$crlf" -eq "$lines" ] || { echo "README.txt: $crlf of $lines lines end in CR LF" >&2; failed=1; }
    exit "$failed"
    ;;
*)
    echo "usage: $0 windows <source dir> <build dir> | prefix | unpack <zip> <folder> | check <folder> <build dir> <file>" >&2
    exit 2
    ;;
esac
