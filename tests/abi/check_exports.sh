#!/bin/sh
# Compares the dynamic symbols libofagent.so defines with the expected interface list.
set -eu
lib=$1
expected=$2
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
nm -D --defined-only "$lib" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | LC_ALL=C sort -u > "$actual"
if ! diff -u "$expected" "$actual"; then
    echo "exported symbols differ from $expected (- expected, + exported)"
    exit 1
fi
echo "exports match: $(wc -l < "$actual") symbols"
