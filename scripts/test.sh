#!/usr/bin/env bash
# Every test, as CI runs it: the dev build with the unit, pty, e2e, valgrind, wine, realdriver and
# package labels, the sanitizer workflow (unit and pty labels under AddressSanitizer and
# UndefinedBehaviorSanitizer) and the fuzz smoke. Logs of the side lanes land in build/; any
# failure fails the script.
#
# The stand-ins for hardware keep their own time as a real unit would, whatever the machine does:
# every build runs at the idle scheduling class (chrt --idle 0: it only gets a core nobody else
# wants), the simulated units run at real-time priority (VelmoraUnitSim --realtime), and the
# programs under test run as they would on a technician's PC. The builds that the lanes wait for
# (the programs, the Windows build, the guest) come first, alone; the others (the Debian package,
# the Windows unit tests, the sanitizer and fuzz builds) fill the time the lanes spend waiting on
# the unit. At the end every real-time row's margin is listed, the smallest first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
start=$SECONDS
lane() { echo "== $1: $(( SECONDS - start )) s"; }
idle() { chrt --idle 0 "$@"; }

cmake --preset dev >/dev/null
idle cmake --build --preset dev
lane "dev build done"
ctest --preset dev -L setup
lane "the lanes' set-up done"

mkdir -p build
rm -f build/side.log
(
    idle cmake --preset asan >build/asan.log 2>&1
    idle cmake --build --preset asan >>build/asan.log 2>&1
    ctest --preset asan >>build/asan.log 2>&1
    echo "== asan workflow done: $(( SECONDS - start )) s" >>build/side.log
    idle bash scripts/fuzz.sh 12 >build/fuzz.log 2>&1
    echo "== fuzz smoke done: $(( SECONDS - start )) s" >>build/side.log
) &
side=$!

status=0
ctest --preset dev || status=$?
lane "dev tests done (status $status)"

side_status=0
wait "$side" || side_status=$?
cat build/side.log
lane "sanitizers and fuzz smoke done (status $side_status)"
if [ "$side_status" -ne 0 ]; then
    tail -n 60 build/asan.log build/fuzz.log 2>/dev/null || true
fi
echo "== the real-time rows' margins, the smallest first"
grep -h '\[ margin \]' build/dev/Testing/Temporary/LastTest.log build/asan/Testing/Temporary/LastTest.log 2>/dev/null |
    sed 's/^[0-9]*: //' | awk -F', ' '{ print $NF "\t" $0 }' | sort -n | cut -f2- || true
[ "$status" -eq 0 ] && [ "$side_status" -eq 0 ]
