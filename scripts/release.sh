#!/usr/bin/env bash
# Builds the release as it is shipped, from the commit checked out: the Windows zip for the
# technicians (mingw preset, cpack --preset windows) and the Linux .deb and .tar.gz (release
# preset, cpack --preset linux), each build from scratch in its preset's folder. The packages,
# the zip's .sha256, SHA256SUMS (sha256sum's format, over the zip, the .deb and the .tar.gz) and
# TOOLCHAIN (the Debian packages that built them, with their versions) are written to the output
# folder.
#
# The same commit gives the same bytes on every rebuild (scripts/reproduce.sh checks it):
# SOURCE_DATE_EPOCH is the last commit's time unless it is set, and is what the PE time stamp
# and every time inside the packages become.
#
# Usage: scripts/release.sh [--out DIR] [--allow-dirty]
#   --out DIR       where the packages go (default build/dist)
#   --allow-dirty   build although the work tree has uncommitted changes (not a release)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$src/build/dist
dirty=no
while [ $# -gt 0 ]; do
    case "$1" in
        --out) out=$(mkdir -p "$2" && cd "$2" && pwd); shift ;;
        --allow-dirty) dirty=yes ;;
        *) echo "usage: $0 [--out DIR] [--allow-dirty]" >&2; exit 2 ;;
    esac
    shift
done
cd "$src"
bash scripts/install-deps.sh --release

source scripts/release-env.sh
if [ "$dirty" = no ]; then
    changes=$(git status --porcelain) || { echo "release.sh: git cannot tell whether the work tree has uncommitted changes" >&2; exit 1; }
    if [ -n "$changes" ]; then
        echo "release.sh: the work tree has uncommitted changes; a release is built from a commit" >&2
        exit 1
    fi
fi
echo "release.sh: commit $(git rev-parse --short HEAD), SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" '+%F %T UTC'))"

# The Debian packages, with their versions, whose files made the release's bytes: the compilers
# and the runtimes they link, the binutils that link and strip, CMake and CPack, the packers and
# the libraries dpkg-shlibdeps reads the .deb's Depends from. One "package version" line each,
# sorted; scripts/reproduce.sh names those that differ when a rebuild gives other bytes.
toolchain() {
    local files=() paths=() packages=() build cxx lib var f owners
    for build in build/mingw build/release; do
        cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
        files+=("$cxx" "$("$cxx" -print-prog-name=cc1plus)" "$("$cxx" -print-libgcc-file-name)")
        for lib in libstdc++.a libstdc++.so.6 libgcc_s.so.1 libc.so libc.so.6 libmsvcrt.a; do
            files+=("$("$cxx" -print-file-name=$lib)")
        done
        for var in LINKER STRIP RC_COMPILER; do
            files+=("$(sed -n "s/^CMAKE_$var:[A-Z]*=//p" "$build/CMakeCache.txt")")
        done
    done
    for f in cmake cpack zip dpkg-deb dpkg-shlibdeps gzip tar; do files+=("$(command -v "$f")"); done
    for f in "${files[@]}"; do
        [[ $f == /* ]] || continue # a bare name: a library this compiler does not link
        f=$(realpath "$f")
        paths+=("$f" "${f#/usr}") # dpkg knows some files by their path before /usr was merged (/bin/tar)
    done
    owners=$(dpkg -S "${paths[@]}" 2>/dev/null || true) # one call: each reads dpkg's whole database
    mapfile -t packages < <(sed -n 's/: \/.*//p' <<<"$owners" | sed 's/, /\n/g' | sort -u)
    {
        for ((f = 0; f < ${#paths[@]}; f += 2)); do
            grep -qF -e ": ${paths[f]}" -e ": ${paths[f + 1]}" <<<"$owners" || echo "${paths[f]} not-from-a-package"
        done
        [ ${#packages[@]} -eq 0 ] || dpkg-query -W -f='${binary:Package} ${Version}\n' "${packages[@]}"
    } | LC_ALL=C sort
}

# Each step's output goes to a log, shown when the step fails.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
step() {
    "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "release.sh: failed: $*" >&2; exit 1; }
}
# From scratch: a program linked earlier, without this time stamp, would not be linked again.
rm -rf build/mingw build/release
step cmake --preset mingw
step cmake --build --preset mingw -j2
step cpack --preset windows
step cmake --preset release
step cmake --build --preset release -j2
step cpack --preset linux

mkdir -p "$out"
rm -f "$out"/*.zip "$out"/*.zip.sha256 "$out"/*.deb "$out"/*.tar.gz "$out"/SHA256SUMS "$out"/TOOLCHAIN
zip=$(ls build/mingw/packages/*.zip)
cp "$zip" "$zip.sha256" build/release/packages/*.deb build/release/packages/*.tar.gz "$out"/
# The zip's content was checked as it was packed (cmake/ReproducibleArchives.cmake); the .sha256
# published with it is checked against the zip's own bytes.
bash scripts/check-sha256.sh "$out/$(basename "$zip")"
(cd "$out" && sha256sum -- *.zip *.deb *.tar.gz >SHA256SUMS)
toolchain >"$out/TOOLCHAIN"
echo "release.sh: packages in $out"
cat "$out/SHA256SUMS"
echo "release.sh: built with (TOOLCHAIN):"
cat "$out/TOOLCHAIN"
