# Sourced by init.sh when velmora_mode=cdc, once the cdc modules are in: the unit as a USB CDC
# device. dummy_hcd is a software USB device controller wired to a host controller in the same
# kernel; g_serial makes it a CDC device whose device side is /dev/ttyGS0, and the kernel's real
# cdc_acm driver presents it as /dev/ttyACM0 (COM17). The simulated unit runs on /dev/ttyGS0 as a
# native-USB unit with the options in velmora_unit (base64). Then init runs the tool, and
# cdc_handback hands the unit's trace and images to the host on the console.
# shellcheck shell=sh disable=SC2154
# g_serial's insmod succeeds even when it makes no port: only the device node tells.
await /dev/ttyGS0 2
mkdir -p /tmp/unit
# shellcheck disable=SC2046 # the options are words
/unit --port /dev/ttyGS0 --usb-cdc --realtime --trace /tmp/unit/unit.trace --images /tmp/unit/images \
    --ready-file /tmp/unit/ready $(printf %s "$velmora_unit" | base64 -d) 2>/tmp/unit/stderr &
unit=$!
await /tmp/unit/ready 15
await /dev/ttyACM0 15

cdc_handback() {
    kill "$unit" 2>/dev/null
    wait "$unit"
    cat /tmp/unit/stderr
    echo "@@velmora-unit-begin"
    tar -c -C /tmp/unit . | gzip -1 | base64
    echo "@@velmora-unit-end"
}
