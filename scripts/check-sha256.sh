#!/usr/bin/env bash
# Checks a package against the .sha256 published beside it, as a technician checks the zip with
# `certutil -hashfile <zip> SHA256`: the SHA-256 is computed here from the file's bytes, and the
# .sha256 (CPack writes it) must hold one line, that hash and this file's name.
# Usage: scripts/check-sha256.sh FILE   (FILE.sha256 beside it)
set -euo pipefail
file=$1
expected="$(sha256sum <"$file" | cut -d' ' -f1)  $(basename "$file")"
stated=$(cat "$file.sha256")
if [ "$stated" != "$expected" ]; then
    printf '%s\n' "check-sha256.sh: $file.sha256 does not state the file's own SHA-256 and name:" \
        "  it holds:    $stated" "  the file is: $expected" >&2
    exit 1
fi
echo "check-sha256.sh: $(basename "$file") has the SHA-256 its .sha256 states"
