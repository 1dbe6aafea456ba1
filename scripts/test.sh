#!/usr/bin/env bash
# Every test, as CI runs it: the dev build with the unit, pty, e2e, valgrind, wine, realdriver and
# package labels (ctest runs the platforms' end-to-end lanes side by side, eight tests at a time:
# the long ones mostly wait out the unit's reboot); beside it the sanitizer workflow (unit and pty
# labels under AddressSanitizer and UndefinedBehaviorSanitizer); then the fuzz smoke. Logs of the
# side lanes land in build/; any failure fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
start=$SECONDS
lane() { echo "== $1: $(( SECONDS - start )) s"; }

cmake --preset dev >/dev/null
cmake --build --preset dev
lane "dev build done"

mkdir -p build
rm -f build/side.log
(
    # The builds niced, so the lanes' own builds and the guests keep the CPU; the tests are not, as
    # the pty tests time the serial layer in real time.
    nice -n 10 cmake --preset asan >build/asan.log 2>&1
    nice -n 10 cmake --build --preset asan >>build/asan.log 2>&1
    ctest --preset asan >>build/asan.log 2>&1
    echo "== asan workflow done: $(( SECONDS - start )) s" >>build/side.log
    nice -n 10 bash scripts/fuzz.sh 12 >build/fuzz.log 2>&1
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
[ "$status" -eq 0 ] && [ "$side_status" -eq 0 ]
