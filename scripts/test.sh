#!/usr/bin/env bash
# Every test, as CI runs it: the dev build, then one CTest run of the unit, pty, e2e, valgrind,
# wine, realdriver, package and sanitizers labels (the sanitizer workflow and the fuzz smoke write
# their logs under build/asan and build/fuzz). Any failure fails the script.
#
# The stand-ins for hardware keep their own time as a real unit would, whatever the machine does:
# every build runs at the idle scheduling class (chrt --idle 0: it only gets a core that nothing
# else wants), the simulated units run at real-time priority (VelmoraUnitSim --realtime) and the
# QEMU guests ahead of the other programs, while the programs under test run as on a technician's
# PC. CTest starts the builds the lanes wait for (the Windows build, the guest) first; the others
# (the Debian package, the Windows unit tests, the sanitizer and fuzz builds) fill the time the
# lanes spend waiting on the unit's reboot. At the end every real-time row's margin is listed, the
# smallest first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
start=$SECONDS
cmake --preset dev >/dev/null
chrt --idle 0 cmake --build --preset dev
echo "== dev build done: $(( SECONDS - start )) s"
status=0
ctest --preset dev || status=$?
echo "== tests done (status $status): $(( SECONDS - start )) s"
echo "== the real-time rows' margins, the smallest first"
{
    grep -h '\[ margin \]' build/dev/Testing/Temporary/LastTest.log
    grep -h '\[ margin \]' build/asan/Testing/Temporary/LastTest.log | sed 's/\] pty /] pty (asan) /'
} 2>/dev/null | sed 's/^[0-9]*: //' | awk -F', ' '{ print $NF "\t" $0 }' | sort -n | cut -f2- || true
exit "$status"
