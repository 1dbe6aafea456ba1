#!/usr/bin/env bash
# Measures the work the tool does itself and prints, from one run:
#  - flattening plus checksum of each stand-in text (Google Benchmark), the RX text above all;
#  - the per-piece overhead of sendData on the virtual platform;
#  - Base64 of the largest image the web upload file can carry;
#  - as whole processes on the RX text: flatten_to_file (the tool's flattening writing image
#    bytes 0 to length - 1) against objcopy -I ihex -O binary and srec_cat, each run N times in
#    turn by process_timer, with the outputs compared byte for byte over the image length.
#
# Usage: scripts/bench.sh [runs]          (default 30 runs of each program)
# Environment: BUILD_DIR (default build/dev), configured with the dev preset when missing.
# Needs objcopy (binutils) and srec_cat (srecord): scripts/install-deps.sh installs both.
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${1:-30}"
build="${BUILD_DIR:-build/dev}"
for program in objcopy srec_cat; do
    command -v "$program" >/dev/null || { echo "bench.sh: $program is missing (scripts/install-deps.sh)" >&2; exit 2; }
done
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset dev -B "$build" >/dev/null
fi
cmake --build "$build" -j2 --target fwupgrade_bench flatten_to_file process_timer >/dev/null

firmware_dir=$(sed -n 's/^FWUPGRADE_FIRMWARE_DIR:PATH=//p' "$build/CMakeCache.txt")
[ -n "$firmware_dir" ] || firmware_dir="$build/standin_firmware"
rx="$firmware_dir/M627184_RX_XC7A15_V1_03.mcs"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

echo "== Google Benchmark (in-process)"
# One CSV per benchmark family: the CSV reporter wants the same counters in every row.
for family in flattenAndChecksum sendDataPerPiece encodeLargestWebImage; do
    "$build/bench/fwupgrade_bench" --benchmark_filter="^$family" --benchmark_format=csv \
        >"$out/$family.csv" 2>"$out/bench.err" || { cat "$out/bench.err" >&2; exit 1; }
done
# CSV columns: name, iterations, real_time, cpu_time, time_unit, bytes_per_second,
# items_per_second, label, error_occurred, error_message, then the counters (per_piece, in s).
cat "$out"/flattenAndChecksum.csv "$out"/sendDataPerPiece.csv "$out"/encodeLargestWebImage.csv | awk -F, '
    $1 ~ /^"/ {
        gsub(/"/, "");
        name = $1; t = $3; unit = $5;
        if (name ~ /^flattenAndChecksum\/2/) printf "RX flatten + checksum:          %8.2f %s  (%s)\n", t, unit, $8;
        else if (name ~ /^flattenAndChecksum/) printf "flatten + checksum:             %8.2f %s  (%s)\n", t, unit, $8;
        else if (name ~ /^sendDataPerPiece/) printf "sendData per 10,240-byte piece: %8.0f ns (virtual platform)\n", $11 * 1e9;
        else if (name ~ /^encodeLargestWebImage/) printf "Base64 of a 460,797-byte image: %8.0f %s\n", t, unit;
    }'

echo "== Whole processes on $(basename "$rx") ($(stat -c %s "$rx") bytes), $runs runs each, in turn"
# process_timer starts each program with posix_spawn and prints, per program, the median wall
# time and the mean CPU time (user + system) in microseconds. One untimed round first: files
# cached, outputs made.
ours=("$build/bench/flatten_to_file" "$rx" "$out/ours.bin")
objcopy_cmd=(objcopy -I ihex -O binary "$rx" "$out/objcopy.bin")
srec_cmd=(srec_cat "$rx" -Intel -o "$out/srec.bin" -Binary)
# The fourth program does nothing: its time is what starting and ending any process costs here.
all=(-- "${ours[@]}" -- "${objcopy_cmd[@]}" -- "${srec_cmd[@]}" -- true)
"$build/bench/process_timer" 1 "${all[@]}" >/dev/null
"$build/bench/process_timer" "$runs" "${all[@]}" >"$out/times"
{ read -r t_ours c_ours; read -r t_objcopy c_objcopy; read -r t_srec c_srec; read -r t_true c_true; } <"$out/times"

length=$(stat -c %s "$out/ours.bin")
status=0
if cmp -s "$out/ours.bin" "$out/objcopy.bin"; then same_objcopy="identical"; else same_objcopy="DIFFERENT"; status=1; fi
if [ "$(stat -c %s "$out/srec.bin")" -ge "$length" ] && cmp -s -n "$length" "$out/ours.bin" "$out/srec.bin"; then
    same_srec="identical"
else
    same_srec="DIFFERENT"; status=1
fi
awk -v o="$t_ours" -v b="$t_objcopy" -v s="$t_srec" -v co="$c_ours" -v cb="$c_objcopy" -v cs="$c_srec" \
    -v n="$length" -v so="$same_objcopy" -v ss="$same_srec" -v tt="$t_true" -v ct="$c_true" 'BEGIN {
    printf "                 wall (median)  CPU (mean)   wall ratio  CPU ratio   bytes\n";
    printf "flatten_to_file: %8.2f ms   %8.2f ms\n", o / 1000, co / 1000;
    printf "objcopy:         %8.2f ms   %8.2f ms   %6.1f x    %6.1f x    %s over %d\n", b / 1000, cb / 1000, b / o, cb / co, so, n;
    printf "srec_cat:        %8.2f ms   %8.2f ms   %6.1f x    %6.1f x    %s over %d\n", s / 1000, cs / 1000, s / o, cs / co, ss, n;
    printf "(true, for scale: %8.2f ms   %8.2f ms  the cost of any process on this machine)\n", tt / 1000, ct / 1000;
    printf "target: flatten_to_file at least 4 times faster than objcopy: %s\n",
        (b / o >= 4 && cb / co >= 4) ? "met" : (b / o >= 4 || cb / co >= 4) ? "met on one measure only" : "NOT MET";
}'
exit $status
