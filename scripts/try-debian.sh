#!/usr/bin/env bash
# Tries the README's two commands as a newcomer on a fresh Debian machine would run them: makes a
# fresh system of the given Debian release with mmdebstrap, clones the committed work tree (HEAD of
# this checkout) into it and runs there, as root and without standard input, `bash scripts/demo.sh`
# and then `bash scripts/test.sh`, or the commands given (each argument one shell command, run in
# the clone). At the end it lists each command's status and wall time; its own status is 0 only
# when every command's was. Run as root: before a release, and after a change to the set-up
# scripts or the test lanes. Not part of CI: on the 2-core machine a run took 17 minutes on Debian 12
# and 27 to 38 on Debian 13 (beside other work; its first test run also installs more packages).
#
# The bare system (mmdebstrap's output, a tarball under build/try-debian) is kept for a day, so a
# rerun starts sooner, but every run unpacks it into a new folder. /proc, /sys, /dev and /dev/pts
# are bound into it; on every exit, Ctrl-C included, what still runs in it is ended, the mounts
# are taken off and the folder removed.
# Usage: scripts/try-debian.sh <12|13> [command ...]
set -euo pipefail
case "${1:-}" in
12) suite=bookworm ;;
13) suite=trixie ;;
*) echo "usage: $0 <12|13> [command ...]" >&2 && exit 2 ;;
esac
shift
commands=("$@")
[ $# -gt 0 ] || commands=("bash scripts/demo.sh" "bash scripts/test.sh")
[ "$(id -u)" -eq 0 ] || { echo "$0: run as root (mmdebstrap, mounts, chroot)" >&2 && exit 1; }
cd "$(dirname "$0")/.."
commit=$(git rev-parse HEAD)
command -v mmdebstrap >/dev/null || bash scripts/install-deps.sh --core mmdebstrap
mkdir -p build/try-debian
cache=$PWD/build/try-debian/$suite.tar
if [ -z "$(find "$cache" -mmin -1440 2>/dev/null)" ]; then
    mmdebstrap --variant=apt --include=git,ca-certificates "$suite" "${cache%.tar}.new.tar"
    mv "${cache%.tar}.new.tar" "$cache"
fi

root=$(realpath "$(mktemp -d "$PWD/build/try-debian/$suite.XXXXXX")")
mounts=(proc sys dev dev/pts)
cleanup() {
    local signal pid pids
    for signal in TERM KILL; do # whatever still runs in the system, by its process id
        pids=()
        for pid in /proc/[0-9]*; do [ "$(readlink "$pid/root")" != "$root" ] || pids+=("${pid#/proc/}"); done
        [ ${#pids[@]} -eq 0 ] || { kill -s "$signal" "${pids[@]}" 2>/dev/null || true; sleep 2; }
    done
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        ! mountpoint -q "$root/${mounts[i]}" || umount -l "$root/${mounts[i]}"
    done
    # Only once nothing is mounted in it; --one-file-system all the same.
    findmnt -rno TARGET | grep -q "^$root/" || rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

tar --numeric-owner -xpf "$cache" -C "$root"
for m in "${mounts[@]}"; do mount --bind "/$m" "$root/$m"; done
cp /etc/resolv.conf "$root/etc/"
git clone -q --no-hardlinks "$PWD" "$root/root/velmora"
git -C "$root/root/velmora" checkout -q "$commit"

echo "== Debian $suite ($(cat "$root/etc/debian_version")), commit $commit"
results=() status=0
set -m # each command in a process group of its own, which Ctrl-C here does not reach directly
for c in "${commands[@]}"; do
    name=${c%%$'\n'*} && [ "$name" = "$c" ] || name+=" ..." # a command's first line names it
    echo "== $name"
    start=$SECONDS
    chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd /root/velmora && $c" </dev/null &
    s=0 && wait $! || s=$?
    results+=("$(printf 'status %3d  %5d s  %s' "$s" $((SECONDS - start)) "$name")")
    [ "$s" -eq 0 ] || status=1
done
echo "== Debian $suite, commit ${commit:0:12}:"
printf '   %s\n' "${results[@]}"
# What the lanes ran on: the guest's kernel as the run prepared it, and the system's Wine and
# clang-format (the format row's judge), or what is missing.
inside() { chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root "$@" 2>/dev/null | head -n 1; }
kernel=$(ls "$root/root/velmora/build/dev/realdriver/kernel/lib/modules" 2>/dev/null | tr '\n' ' ')
echo "   guest kernel: ${kernel:-not prepared}; $(inside wine --version || true); $(inside clang-format --version || true)"
exit "$status"
