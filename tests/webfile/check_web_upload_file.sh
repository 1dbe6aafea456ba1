#!/bin/sh
# Runs VelmoraFwWebFile the way a technician does and checks FwToUpload.bin with the system's own
# tools: objcopy flattens the firmware text, base64 decodes the body.
#
# usage: check_web_upload_file.sh <VelmoraFwWebFile> <microcontroller hex text>
set -eu
tool=$1
hex=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Without a file it can write the program must say so in its exit status.
mkdir -p blocked/FwToUpload.bin
status=0
(cd blocked && "$tool" </dev/null >console.txt) || status=$?
[ "$status" -eq 1 ] || fail "exit status $status when FwToUpload.bin is a folder, expected 1"

status=0
"$tool" </dev/null >console.txt || status=$?
[ "$status" -eq 0 ] || fail "exit status $status"
grep -q 'Press any key to exit' console.txt || fail "no key prompt on the console"
file=FwToUpload.bin
[ -f "$file" ] || fail "no $file"

# The flat image as the unit's flash holds it: 0xFF from offset 0 (address 0x80000000) up to the
# lowest record, then the records with 0xFF in the gaps, up to the highest data byte.
lowest=$(objdump -h -b ihex "$hex" | awk '$2 ~ /^\./ { print $4 }' | sort | head -n 1)
[ -n "$lowest" ] || fail "objdump found no data in $hex"
lead=$(( 0x$lowest & 0xFFFFFF ))
objcopy -I ihex -O binary --gap-fill 0xFF "$hex" records.bin
head -c "$lead" /dev/zero | tr '\000' '\377' >image.bin
cat records.bin >>image.bin
length=$(wc -c <image.bin | tr -d ' ')
checksum=$(od -An -v -tu1 image.bin | awk '{ for (i = 1; i <= NF; i++) s += $i } END { printf "%.0f", (4294967296 - s % 4294967296) % 4294967296 }')

printf 'KovLar\r\n627184\r\n1.0.3\r\n%s\r\n%s\r\n' "$checksum" "$length" >expected_header
header_size=$(wc -c <expected_header | tr -d ' ')
head -c "$header_size" "$file" | cmp -s - expected_header || fail "header differs from: $(tr "\r\n" "  " <expected_header)"

# Body lines: 928 characters and CR LF, the last one 1 to 928 characters and no line end.
tail -c +"$((header_size + 1))" "$file" >body.txt
[ "$(tail -c 1 body.txt | od -An -tx1 | tr -d ' ')" != "0a" ] || fail "body ends with a line break"
awk -v RS='\n' '
    { lines++; last = $0; if (NR > 1 && prev != 929) bad = 1; prev = length($0)
      if (length($0) == 929 && substr($0, 929, 1) != "\r") bad = 1 }
    END { if (bad || length(last) < 1 || length(last) > 928 || index(last, "\r")) exit 1 }' body.txt ||
    fail "body lines are not 928 characters with CR LF"

# The padding was replaced by "A": the body decodes to the image and one zero byte per "=".
pad=$(( (3 - length % 3) % 3 ))
head -c "$pad" /dev/zero >>image.bin
tr -d '\r\n' <body.txt | base64 -d >decoded.bin || fail "body is not Base64"
cmp -s decoded.bin image.bin || fail "body does not decode to the image ($(wc -c <decoded.bin) bytes, expected $(wc -c <image.bin))"
echo "FwToUpload.bin: $length bytes, checksum $checksum, $(awk 'END { print NR }' body.txt) body lines"
