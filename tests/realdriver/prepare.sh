#!/usr/bin/env bash
# Prepares the real-driver lane: QEMU, Debian's own kernel (never installed, only unpacked), a
# static busybox, the static release build of the tool and the static simulated unit, packed into an initramfs whose /init
# is tests/realdriver/init.sh. Run as root; a second run skips every step whose output is current.
# Usage: prepare.sh <source-dir> <work-dir>
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 <source-dir> <work-dir>" >&2; exit 2; }
src=$(cd "$1" && pwd); mkdir -p "$2"; work=$(cd "$2" && pwd); cd "$work"
export DEBIAN_FRONTEND=noninteractive

# apt: refresh the package lists only when they are missing or a request fails.
# Downloads run as root: without the sandbox user apt would warn that _apt cannot write here.
apt_get() {
    compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null || apt-get update -qq
    apt-get -o APT::Sandbox::User=root "$@" || { apt-get update -qq && apt-get -o APT::Sandbox::User=root "$@"; }
}
bash "$src/scripts/install-deps.sh" --core # the compiler and CMake
# depmod (kmod) writes the kernel's modules.dep, which its package leaves out; xz unpacks its modules.
command -v qemu-system-x86_64 >/dev/null && command -v depmod >/dev/null && command -v xz >/dev/null ||
    apt_get install -y -qq --no-install-recommends qemu-system-x86 kmod xz-utils
fetch() { compgen -G "$1_*.deb" >/dev/null || apt_get download -qq "$1"; }
unpack() { [ "$2" -nt "$1" ] || { rm -rf "$2" && dpkg-deb -x "$1" "$2" && touch "$2"; }; }

# The metapackage only names the current kernel package; follow its dependency to the kernel.
fetch linux-image-amd64
kernel_pkg=$(dpkg-deb -f linux-image-amd64_*.deb Depends | grep -o 'linux-image-[0-9][^ ,]*' | head -n 1)
fetch "$kernel_pkg"
fetch busybox-static
kernel_deb=$(ls "$kernel_pkg"_*.deb) busybox_deb=$(ls busybox-static_*.deb)
unpack "$kernel_deb" kernel
unpack "$busybox_deb" busybox
[ vmlinuz -nt kernel ] || cp kernel/boot/vmlinuz-* vmlinuz

# The release preset (real device names) linked statically: the guest has no C library.
[ -f release/CMakeCache.txt ] || (cd "$src" && cmake --preset release -B "$work/release" -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null)
cmake --build release --target VelmoraFwUpgrade >/dev/null
tool=release/src/VelmoraFwUpgrade
# The simulated unit, for the CDC rows that run it in the guest.
[ -f unitsim/CMakeCache.txt ] || (cd "$src" && cmake --preset dev -B "$work/unitsim" -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null)
cmake --build unitsim --target VelmoraUnitSim >/dev/null
unit=unitsim/sim/VelmoraUnitSim
! readelf -l "$tool" "$unit" | grep 'program interpreter' || { echo "$tool or $unit is not static" >&2; exit 1; }

# The initramfs: busybox and its applet links in /bin, the kernel modules, the tool, /init.
initramfs=initramfs.cpio.gz
for input in "$tool" "$unit" "$src"/tests/realdriver/{init.sh,prepare.sh,modules,guest-wine.sh,guest-cdc.sh} kernel busybox; do
    [ "$initramfs" -nt "$input" ] || rm -f "$initramfs"
done
[ -e "$initramfs" ] && exit 0
rm -rf root && mkdir -p root/bin root/lib/modules root/dev root/proc root/sys root/tmp
cp "$(find busybox/ -path '*bin/busybox' -type f)" root/bin/ # under usr/ on Debian 13
for applet in $(root/bin/busybox --list | grep -vx busybox); do ln -s busybox "root/bin/$applet"; done
# The drivers tests/realdriver/modules names, each after the modules it needs and each once, as
# kmod reads the kernel's own modules.dep (and its soft dependencies); a driver the kernel lacks
# stops the preparation with its name, one built in needs no module. Names as /sys/module has them.
[ -e kernel/lib ] || ln -s usr/lib kernel/lib # Debian 13's kernel package puts them under usr/
version=$(ls kernel/lib/modules)
[ -e "kernel/lib/modules/$version/modules.dep" ] || depmod -b kernel "$version"
while read -r group drivers; do
    files=$(for driver in $drivers; do modprobe -d kernel -S "$version" --show-depends "$driver"; done |
        awk '$1 == "insmod" && !seen[$2]++ { print $2 }')
    for file in $files; do
        name=${file##*/} && name=${name%%.ko*} && name=${name//-/_} && group+=" $name"
        case "$file" in *.xz) xz -dc "$file" ;; *) cat "$file" ;; esac >"root/lib/modules/$name.ko"
    done
    echo "$group" >>root/modules
done < <(grep '^[a-z]' "$src/tests/realdriver/modules")
cp "$tool" root/velmora
cp "$unit" root/unit
cp "$src/tests/realdriver/guest-cdc.sh" root/
install -m 755 "$src/tests/realdriver/init.sh" root/init
install -m 755 "$src/tests/realdriver/guest-wine.sh" root/
(cd root && find . | ./bin/busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$initramfs.tmp"
mv "$initramfs.tmp" "$initramfs"
