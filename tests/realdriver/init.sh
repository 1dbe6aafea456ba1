#!/bin/sh
# The guest's first process (busybox sh): loads the kernel modules the run needs (the groups of
# /modules), runs the update tool once with the scenario's input and hands its exact output and
# exit status to the host.
# The kernel passes unknown name=value words of its command line to init as environment:
#   velmora_input    base64 of the tool's standard input (the technician's keys)
#   velmora_adapter  1 when QEMU plugs its emulated FTDI adapter in (it becomes /dev/ttyUSB0)
#   velmora_tool     what runs instead of the release tool (/guest-wine.sh: the Windows build)
#   velmora_mode     cdc: the unit runs in this guest as a USB CDC device (guest-cdc.sh)
# The console also carries the guest's clock ("@@velmora-clock <seconds since boot>") before and
# after the tool, so the host can put what happened in the guest on its own clock.
# shellcheck disable=SC2154
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
# The initramfs carries no device nodes, so the kernel could not open a console for init.
exec </dev/console >/dev/console 2>&1

# Ends the run with status 126 and the reason, as the host's run-guest.sh reports it.
give_up() {
    echo "velmora-init: $*"
    echo "@@velmora-output-begin"
    echo "@@velmora-output-end 126"
    poweroff -f
}
# Loads the modules of group $1 that are not in yet; a module the kernel refuses ends the run.
load() {
    for module in $(sed -n "s/^$1 //p" /modules); do
        [ -e "/sys/module/$module" ] || insmod "/lib/modules/$module.ko" || give_up "insmod $module failed"
    done
}
clock() { echo "@@velmora-clock $(cut -d' ' -f1 /proc/uptime)"; }
# Waits up to $2 s for the file $1 (a device node), and gives up without it.
await() {
    i=0
    while [ ! -e "$1" ] && [ $i -lt $(($2 * 5)) ]; do sleep 0.2; i=$((i + 1)); done
    [ -e "$1" ] || give_up "no $1 after $2 s"
}

load serial
[ "$velmora_mode" != cdc ] || load cdc
[ "$velmora_tool" != /guest-wine.sh ] || load wine
printf %s "$velmora_input" | base64 -d >/tmp/input
# Enumeration after the host controller's module loads takes about a second under TCG.
[ "$velmora_adapter" != 1 ] || await /dev/ttyUSB0 15
# shellcheck disable=SC1091 # in the initramfs
[ "$velmora_mode" != cdc ] || . /guest-cdc.sh
# The output goes live to the console (a watcher on the host reacts to it) and to a file; the
# console's line discipline rewrites "\n", so the exact bytes travel afterwards in base64.
clock
{ ${velmora_tool:-/velmora} </tmp/input; echo $? >/tmp/status; } | tee /tmp/output
echo
clock
echo "@@velmora-output-begin"
base64 /tmp/output
echo "@@velmora-output-end $(cat /tmp/status)"
[ "$velmora_mode" != cdc ] || cdc_handback
# What the kernel said about the adapter (plugged, unplugged) ends up in the host's log.
dmesg | grep -iE 'usb|ftdi'
poweroff -f
