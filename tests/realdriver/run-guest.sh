#!/usr/bin/env bash
# Boots the guest prepared by prepare.sh under QEMU (TCG) and runs the release tool in it once.
# With --adapter, QEMU plugs in its emulated FTDI adapter (usb-serial on the UHCI controller of
# -usb), whose host side is the given pty: the guest's real ftdi_sio driver presents it as
# /dev/ttyUSB0 (COM1), and every rate the guest sets reaches the pty's termios. QEMU opens the pty
# at start, so the link must exist before this script runs. With --cdc, the simulated unit (with
# these options) runs in the guest as a USB CDC device, /dev/ttyACM0 (COM17), and its trace and
# images land in the --unit-dir. With --wine, the guest runs the given Windows program under the
# host's Wine instead (guest-wine.sh), the host's root shared read-only over virtio-9p and
# WINEPREFIX's prefix seen through an overlay. With --unplug-when (and --adapter), the adapter is
# pulled out (device_del) once the text shows on the guest's console, and the console says when:
# "@@velmora-unplugged" follows there the moment device_del is sent (the log says when it never was).
# Standard output: exactly the bytes the tool printed; exit status: the tool's. Everything else
# (the guest's console, QEMU's messages) goes to the --log file; the guest's console also shows
# live in the --console file. 124: the run exceeded its bound; 125: the guest gave no result;
# 126: the guest could not set itself up (the reason is printed).
# Usage: run-guest.sh [--adapter <pty link> [--unplug-when <text>]] [--input <text with \n escapes>]
#                     [--log <file>] [--console <file>] [--wine <program.exe>]
#                     [--cdc <unit options> --unit-dir <dir>] <work-dir>
set -uo pipefail
adapter='' input='' unplug='' wine='' cdc='' unitdir='' log=/dev/null console='' bound=${VELMORA_GUEST_TIMEOUT:-600}
usage() { echo "usage: $0 [--adapter L [--unplug-when T]] [--input T] [--log F] [--console F] [--wine E] [--cdc O --unit-dir D] <work-dir>" >&2; exit 2; }
while [ $# -gt 1 ]; do
    case "$1" in
        --adapter) adapter=$2 ;; --input) input=$2 ;; --unplug-when) unplug=$2 ;; --log) log=$2 ;; --wine) wine=$2 ;;
        --cdc) cdc=$2 ;; --unit-dir) unitdir=$2 ;; --console) console=$2 ;;
        *) break ;;
    esac
    shift 2
done
[ $# -eq 1 ] && [ -d "$1" ] || usage
# What cannot work is refused before anything starts.
refuse() { echo "run-guest: $*" >&2; exit 2; }
[ -z "$unplug" ] || [ -n "$adapter" ] || refuse "--unplug-when pulls out the adapter: it needs --adapter"
[ -z "$adapter" ] || [ -e "$adapter" ] || refuse "no pty at $adapter (QEMU opens it at start)"
[ -z "$wine" ] || [ -d "${WINEPREFIX:-}" ] || refuse "--wine needs WINEPREFIX set to a Wine prefix"
[ -z "$wine" ] || [ -f "$wine" ] || refuse "no program at $wine"
[ "${cdc:+1}" = "${unitdir:+1}" ] || refuse "--cdc and --unit-dir go together"
[ -z "$unitdir" ] || [ -d "$unitdir" ] || refuse "no folder $unitdir"
work=$1 tmp=$(mktemp -d) qemu=''
console=${console:-$tmp/console}
cleanup() {
    [ -z "$qemu" ] || { kill "$qemu" 2>/dev/null; wait "$qemu" 2>/dev/null; }
    cat "$tmp/monitor.out" "$console" >>"$log" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The monitor reads commands from the fifo <path>.in and answers into <path>.out (a plain file).
mkfifo "$tmp/monitor.in" && : >"$tmp/monitor.out" && : >"$console" && : >"$log" || exit 1
exec 3<>"$tmp/monitor.in"
append="console=ttyS0 quiet loglevel=0 panic=-1 velmora_input=$(printf '%b' "$input" | base64 -w0)"
[ -z "$cdc" ] || append+=" velmora_mode=cdc velmora_unit=$(printf %s "$cdc" | base64 -w0)"
usb=() memory=256
[ -z "$adapter" ] || { usb=(-device "usb-serial,id=ftdi,chardev=c0" -chardev "serial,id=c0,path=$adapter"); append+=" velmora_adapter=1"; }
[ -z "$wine" ] || { memory=1024 usb+=(-virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap)
    append+=" velmora_tool=/guest-wine.sh velmora_exe=$(realpath "$wine" | base64 -w0) velmora_prefix=$WINEPREFIX"; }
# QEMU stands in for the hardware and the PC, and keeps its time on a loaded machine (as root): the
# whole guest runs ahead of the programs beside it, and QEMU's main loop, which carries out the
# emulated devices (the USB controller and the adapter, their transfers and rate changes), ahead of
# every guest's CPU thread (nice -20), as hardware works whatever the CPU does. It does not take
# real-time priority: a loop that can spin there would starve the simulated units that do.
ahead=(); [ "$(id -u)" -ne 0 ] || ahead=(nice -n -10)
timeout -k 5 "$bound" "${ahead[@]}" qemu-system-x86_64 -accel tcg -m $memory -nodefaults -display none -no-reboot \
    -name velmora,debug-threads=on -kernel "$work/vmlinuz" -initrd "$work/initramfs.cpio.gz" -append "$append" \
    -chardev "file,id=console,path=$console,append=on" -serial chardev:console -monitor "pipe:$tmp/monitor" -usb "${usb[@]}" </dev/null >>"$log" 2>&1 &
qemu=$!
if [ "$(id -u)" -eq 0 ]; then # once the CPU thread exists, so that it does not inherit the nice value
    for _ in $(seq 100); do
        main=$(pgrep -P "$qemu" -x qemu-system-x86) && grep -qs TCG /proc/"$main"/task/*/comm && break
        sleep 0.05
    done
    renice -n -20 -p "$main" >/dev/null 2>&1 || echo "run-guest: QEMU's main loop stays at nice -10" >>"$log"
fi

# Unplug as soon as the text shows on the live console: device_del pulls the adapter out of the
# guest, which then sees what a technician pulling the cable causes (EIO, hang-up).
if [ -n "$unplug" ]; then
    while kill -0 "$qemu" 2>/dev/null && ! grep -qF -- "$unplug" "$console"; do sleep 0.05; done
    # QEMU appends to the console too, so the line lands whole between what the guest writes.
    if kill -0 "$qemu" 2>/dev/null && echo "device_del ftdi" >&3 && printf '\n@@velmora-unplugged\n' >>"$console" &&
        sleep 0.5 && ! grep -q Error "$tmp/monitor.out"; then
        echo "run-guest: device_del sent" >>"$log"
    else
        echo "run-guest: no unplug: the guest ended before the text showed, or QEMU refused device_del" >>"$log"
    fi
fi
wait "$qemu"; status=$? qemu=''
[ "$status" -ne 124 ] || { echo "run-guest: the guest did not finish within $bound s" >&2; exit 124; }
tr -d '\r' <"$console" >"$tmp/lines"
result=$(sed -n 's/^@@velmora-output-end \([0-9]*\)$/\1/p' "$tmp/lines")
[ -n "$result" ] || { echo "run-guest: the guest gave no result (QEMU status $status)" >&2; exit 125; }
[ "$result" -ne 126 ] || { grep '^velmora-init: ' "$tmp/lines" >&2; exit 126; }
sed -n '/^@@velmora-output-begin$/,/^@@velmora-output-end /{/^@@/!p}' "$tmp/lines" | base64 -d ||
    { echo "run-guest: the guest's output block is damaged" >&2; exit 125; }
[ -z "$unitdir" ] || sed -n '/^@@velmora-unit-begin$/,/^@@velmora-unit-end$/{/^@@/!p}' "$tmp/lines" | base64 -d |
    tar -xz -C "$unitdir" || { echo "run-guest: the unit's files did not come back" >&2; exit 125; }
exit "$result"
