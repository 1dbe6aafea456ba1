#!/bin/sh
# The guest's Windows run (velmora_tool=/guest-wine.sh): the host's own Wine runs the Windows
# build against COM1, which is /dev/ttyUSB0 through ftdi_sio. The host's root comes in read-only
# over virtio-9p; a tmpfs becomes the new root with /usr and /etc bound from it and the merged-/usr
# links beside them (an overlay over the whole 9p root would lose /proc/self, and Wine its ntdll.so),
# and the host's Wine prefix is seen through an overlay with a tmpfs upper layer: nothing of the
# host changes. Standard output is the program's console (a pipe: on a terminal Wine would add
# escapes), the exit status the program's.
# init.sh has loaded the wine modules (virtio-9p, overlay).
# shellcheck disable=SC2154
r=/wine && mkdir -p $r && mount -t tmpfs tmpfs $r && cd $r && mkdir -p host usr etc proc sys dev tmp prefix upper work
mount -t 9p -o trans=virtio,version=9p2000.L,ro hostroot host && mount --bind host/usr usr && mount --bind host/etc etc
for d in bin lib lib64 sbin; do ln -s usr/$d $d; done
mount -t proc proc proc && mount -t sysfs sys sys && mount -t devtmpfs dev dev
mount -t overlay overlay -o "lowerdir=$r/host$velmora_prefix,upperdir=$r/upper,workdir=$r/work" prefix
rm -f prefix/dosdevices/com* && ln -s /dev/ttyUSB0 prefix/dosdevices/com1
# Wine maps a program straight from 9p as zero pages, so the program runs from the tmpfs.
exe=$(printf %s "$velmora_exe" | base64 -d) # its path may have spaces and letters beyond ASCII
cp "host$exe" tmp/
# What Wine said about the port, once it ends: its comm channel and the queue counts the drain
# polled (ClearCommError traces them on the file channel).
trap '{ echo "@@wine-comm"; grep -E ":comm:|ClearCommError" tmp/wine.log; } >&2' EXIT
# The mount manager stays off as on the host (no COM ports but the prefix's), and so do the USB bus
# drivers: enumerating the guest's USB devices kept Wine's driver host blocked for a minute under TCG.
HOME=/tmp WINEPREFIX=/prefix WINEDEBUG=warn+comm,trace+file \
    WINEDLLOVERRIDES="mountmgr.sys=d;winemenubuilder.exe=d;winebus.sys=d;wineusb.sys=d" \
    chroot $r /usr/lib/wine/wine64 "/tmp/${exe##*/}" 2>tmp/wine.log
