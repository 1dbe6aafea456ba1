#!/usr/bin/env bash
# The demo: builds the update tool for simulated ports, starts a simulated unit on COM3 and runs
# a real update against it in this terminal -- detection, both uploads with their counters, the
# reboot wait (about 2.5 minutes, fixed by the unit) and the verdict.
#
# Usage: scripts/demo.sh [--rx] [--baud N] [--pacing]
#   --rx       simulate the receiver unit instead of the transmitter
#   --baud N   the unit's own command rate (115200, 9600, 57600, 4800, 2400 or 1200; default 9600)
#   --pacing   deliver the bytes at the true line rate, as a real serial link would (the uploads
#              then take about 100 s more)
set -euo pipefail
cd "$(dirname "$0")/.."

type=TX
baud=9600
pacing=()
while [ $# -gt 0 ]; do
    case "$1" in
        --rx) type=RX ;;
        --baud) baud="$2"; shift ;;
        --pacing) pacing=(--pacing) ;;
        *) echo "usage: $0 [--rx] [--baud N] [--pacing]" >&2; exit 2 ;;
    esac
    shift
done

bash scripts/install-deps.sh --core
cmake --preset dev >/dev/null
cmake --build build/dev --target VelmoraFwUpgrade VelmoraUnitSim

ports=build/dev/ports
demo=build/dev/demo
mkdir -p "$ports" "$demo"
rm -f "$ports"/COM* "$demo/ready"

sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -f "$ports/COM3" "$demo/ready"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

build/dev/sim/VelmoraUnitSim --type "$type" --baud "$baud" "${pacing[@]}" \
    --link "$ports/COM3" --trace "$demo/unit.trace" --images "$demo/images" \
    --ready-file "$demo/ready" --max-run 900000 &
sim_pid=$!
for _ in $(seq 1 500); do
    [ -e "$demo/ready" ] && break
    kill -0 "$sim_pid" 2>/dev/null || { echo "the simulated unit did not start" >&2; exit 1; }
    sleep 0.01
done

echo "Simulated $type unit at $baud baud on COM3 (trace: $demo/unit.trace, images: $demo/images)"
status=0
build/dev/src/VelmoraFwUpgrade || status=$?
echo
echo "VelmoraFwUpgrade exit status: $status"
exit "$status"
