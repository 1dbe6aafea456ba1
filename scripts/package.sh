#!/usr/bin/env bash
# Builds the Linux release programs, their .deb and .tar.gz as scripts/release.sh does (the last
# commit's time, umask 022), and checks the package as Debian does: lintian must report no error
# and no warning, and both manual pages, as installed, must render with man without a warning. CI
# runs it as the CTest entry package.deb (label package); package.reproducible then compares both
# packages with those of a release built elsewhere.
# Usage: scripts/package.sh [build dir]   (default build/release, the release preset's folder)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/release}
cd "$src"
source scripts/release-env.sh
cmake --preset release -B "$build" >/dev/null
cmake --build "$build" -j2
rm -rf "$build/packages"
(cd "$build" && cpack >/dev/null)
deb=$(ls "$build"/packages/*.deb)
# Lintian warns when run as root, which CI does; its verdict is the exit status.
lintian --fail-on error,warning "$deb" 2> >(grep -v 'running with root privileges' >&2)
echo "lintian: no error, no warning on $(basename "$deb")"

root="$build/packages/root"
dpkg-deb -x "$deb" "$root"
for program in VelmoraFwUpgrade VelmoraFwWebFile; do
    page="$root/usr/share/man/man1/$program.1.gz"
    text=$(MANWIDTH=80 man --warnings -l "$page" 2>"$build/packages/man.err")
    if [ -s "$build/packages/man.err" ] || ! grep -q "^NAME" <<<"$text" || ! grep -q "^EXIT STATUS" <<<"$text"; then
        echo "man -l $page does not render cleanly:" >&2
        cat "$build/packages/man.err" >&2
        exit 1
    fi
    echo "man -l: $program(1) renders, $(wc -l <<<"$text") lines"
done
