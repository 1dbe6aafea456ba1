#!/usr/bin/env bash
# Checks that the release is reproducible: builds it twice with scripts/release.sh, each time in a
# fresh clone of the commit checked out here, and compares the SHA-256 of the zip, both Windows
# programs (as linked and as unpacked from the zip), the .deb and the .tar.gz. The second build
# differs from the first in what a rebuilder's machine may differ in: another folder (a path of
# another length, with a space in it) on another file system (tmpfs, when /dev/shm is one with
# room: other folder sizes, another order of listing), a later time, another time zone, locale
# and umask, and, when run as root, another user (nobody). On any difference diffoscope tells
# what differs, and the check fails; before that, it names the Debian packages (compilers,
# binutils, packers) whose versions differ between the two builds, from release.sh's TOOLCHAIN.
# Both clones are removed when the check passes.
#
# With --against, the first build is one already made (a published release, with its TOOLCHAIN;
# or CI's: the Wine lane's zip and the package lane's .deb and .tar.gz, built from this work tree
# as release.sh builds): only the second is built, and the packages in the folders given stand for
# the first. A work tree with uncommitted changes is then not what the clone builds: the check is
# skipped (status 77).
#
# Usage: scripts/reproduce.sh [--work DIR] [--second DIR] [--second-env NAME=VALUE]... [--against DIR...]
#   --work DIR                  the first clone, the logs and diffoscope's accounts (default: a new
#                               folder under /tmp)
#   --second DIR                where the second clone goes (default: a new folder on /dev/shm, or
#                               under the work folder)
#   --second-env NAME=VALUE     an environment setting for the second build only (to see the check
#                               fail, e.g. --second-env SOURCE_DATE_EPOCH=1700000000)
#   --against DIR...            folders holding the first build's zip, .deb and .tar.gz, and
#                               TOOLCHAIN if known (the rest of the command line)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=
second_root=
second_env=()
against=()
while [ $# -gt 0 ]; do
    case "$1" in
        --work) work=$2; shift ;;
        --second) second_root=$2; shift ;;
        --second-env) second_env+=("$2"); shift ;;
        --against) shift; against=("$@"); break ;;
        *) echo "usage: $0 [--work DIR] [--second DIR] [--second-env NAME=VALUE]... [--against DIR...]" >&2; exit 2 ;;
    esac
    shift
done
bash "$src/scripts/install-deps.sh" --release diffoscope-minimal
if [ -n "$(git -C "$src" status --porcelain)" ]; then
    echo "reproduce.sh: uncommitted changes here; the check builds the last commit ($(git -C "$src" rev-parse --short HEAD))"
    [ ${#against[@]} -eq 0 ] || { echo "reproduce.sh: skipped: the packages given were built from those changes"; exit 77; }
fi
commit=$(git -C "$src" rev-parse HEAD)
# What the check made is removed when it passes: the folders it created, or inside those given.
made=()
if [ -z "$work" ]; then
    work=$(mktemp -d /tmp/velmora-reproduce.XXXXXX)
    chmod 755 "$work"   # the second build (as nobody) may lie inside
    made+=("$work")
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)
if [ -z "$second_root" ]; then
    # A build takes about 210 MB.
    if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && [ "$(df --output=avail -k /dev/shm | tail -1)" -gt 1048576 ]; then
        second_root=$(mktemp -d /dev/shm/velmora-reproduce.XXXXXX)
    else
        second_root=$(mktemp -d "$work/second.XXXXXX")
    fi
    chmod 755 "$second_root"
    made+=("$second_root")
fi
mkdir -p "$second_root"
second_root=$(cd "$second_root" && pwd)
first=$work/first
second="$second_root/another place/of another length"
rm -rf "$first" "$second" "$work/unpacked"

clone() {
    git clone --quiet --no-checkout "$src" "$1"
    git -C "$1" checkout --quiet --detach "$commit"
}

# Runs release.sh in a clone (after the command and settings given) and prints its wall and CPU
# time, the compilers' included.
build() {
    local name=$1 folder=$2
    shift 2
    local TIMEFORMAT="reproduce.sh: $name build: %0R s wall, %0U s user + %0S s system CPU"
    if ! { time "$@" bash "$folder/scripts/release.sh" --out "$folder/dist" >"$work/$name.log" 2>&1; } 2>&1; then
        cat "$work/$name.log" >&2
        echo "reproduce.sh: the $name build failed" >&2
        exit 1
    fi
}

echo "reproduce.sh: commit ${commit:0:12}, work folder $work"
if [ ${#against[@]} -eq 0 ]; then
    clone "$first"
    build first "$first"
else
    mkdir -p "$first/dist"
    for dir in "${against[@]}"; do
        cp "$dir"/*.zip "$dir"/*.deb "$dir"/*.tar.gz "$dir"/TOOLCHAIN "$first/dist/" 2>/dev/null || true
    done
    [ "$(find "$first/dist" -type f ! -name TOOLCHAIN | wc -l)" -eq 3 ] || { echo "reproduce.sh: no zip, .deb and .tar.gz in ${against[*]}" >&2; exit 1; }
    echo "reproduce.sh: the first build: $(cd "$first/dist" && echo *), from ${against[*]}"
fi

clone "$second"
variation=(env TZ=NPT-5:45 LC_ALL=C "${second_env[@]}")
who="the same user"
if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1; then
    chown -R nobody: "$second"
    variation=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups "${variation[@]}" HOME="$second")
    who="user nobody"
fi
echo "reproduce.sh: second build in $second ($(stat -f -c %T "$second")) as $who, umask 0077," \
    "TZ=NPT-5:45 (UTC+5:45), LC_ALL=C ${second_env[*]}"
(umask 0077 && build second "$second" "${variation[@]}")

# The pairs: the packages, the programs as linked, and the programs unpacked from each zip.
pairs=()
for f in "$first"/dist/*.zip "$first"/dist/*.deb "$first"/dist/*.tar.gz; do
    pairs+=("dist/$(basename "$f")")
done
for f in "$first"/build/mingw/src/*.exe; do # the programs as linked, when both builds were made here
    [ ! -f "$f" ] || pairs+=("build/mingw/src/$(basename "$f")")
done
for side in first second; do
    root=$first
    [ "$side" = second ] && root=$second
    mkdir -p "$work/unpacked/$side"
    (cd "$work/unpacked/$side" && cmake -E tar xf "$root"/dist/*.zip)
done
for f in "$work"/unpacked/first/*/*.exe; do
    pairs+=("zip:${f#"$work/unpacked/first/"}")
done

# The Debian packages that built each side (release.sh's TOOLCHAIN) whose versions differ.
compare_toolchains() {
    local a=$first/dist/TOOLCHAIN b=$second/dist/TOOLCHAIN
    if [ ! -f "$a" ]; then
        echo "---- no TOOLCHAIN beside the first build's packages: what built them is not known"
    elif cmp -s "$a" "$b"; then
        echo "---- both builds were made with the same Debian packages (TOOLCHAIN)"
    else
        echo "---- Debian packages of other versions (TOOLCHAIN): package, first build, second build"
        LC_ALL=C join -a 1 -a 2 -e none -o 0,1.2,2.2 "$a" "$b" | awk '$2 != $3 { printf "  %-28s %-30s %s\n", $1, $2, $3 }'
    fi
}

differ=0
for pair in "${pairs[@]}"; do
    if [[ $pair == zip:* ]]; then
        a=$work/unpacked/first/${pair#zip:}
        b=$work/unpacked/second/${pair#zip:}
    else
        a=$first/$pair
        b=$second/$pair
    fi
    ha=$(sha256sum <"$a" | cut -d' ' -f1)
    hb=$( [ -f "$b" ] && sha256sum <"$b" | cut -d' ' -f1 || echo missing)
    if [ "$ha" = "$hb" ]; then
        echo "same       $ha  $pair"
    else
        echo "DIFFERENT  $ha  $pair"
        echo "           $hb  (second build)"
        differ=$((differ + 1))
        [ "$differ" -gt 1 ] || compare_toolchains
        if [ -f "$b" ]; then
            report="$work/diffoscope-$(tr '/:' '__' <<<"$pair").txt"
            # Its own limit lets a single block through whole: 180 MB for a shifted program.
            { timeout 600 diffoscope --no-progress --text - "$a" "$b" 2>/dev/null || true; } | head -c 5000000 >"$report"
            echo "---- diffoscope: $(basename "$pair") (the account in $report begins)"
            head -n 60 "$report"
            # A build folder named inside a program is the commonest cause: show where (the
            # account's first two lines name the two files).
            named=$(tail -n +3 "$report" | grep -F -m 10 -e "$first" -e "$second" || true)
            if [ -n "$named" ]; then
                echo "---- lines of the account that name a build's folder:"
                echo "$named"
            fi
            echo "----"
        fi
    fi
done

if [ "$differ" -ne 0 ]; then
    echo "reproduce.sh: $differ of ${#pairs[@]} files differ between the two builds (kept in $work and $second_root)" >&2
    exit 1
fi
echo "reproduce.sh: all ${#pairs[@]} files are the same in both builds"
rm -rf "$first" "$second" "$work/unpacked" "$work"/first.log "$work"/second.log "${made[@]}"
