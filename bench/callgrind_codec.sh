#!/bin/bash
# Instructions per message of each codec bench, counted by callgrind (stable on a busy machine,
# unlike time): two runs of exactly N and 2N iterations, so that set-up costs cancel out.
#   bench/callgrind_codec.sh BUILD_DIR [FILTER]   prints "callgrind name=... ir_per_msg=..."
set -euo pipefail
B=$1
FILTER=${2:-'^(decode|encode)/'}
BIN=$B/bench/codec_bench
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
total_ir() {  # name iterations
    LD_BIND_NOW=1 valgrind --tool=callgrind --callgrind-out-file="$tmp/cg.out" "$BIN" --iterations "$2" \
        --benchmark_filter="^$1(/iterations:[0-9]+)?\$" >/dev/null 2>&1
    sed -n 's/^summary: //p; s/^totals: //p' "$tmp/cg.out" | head -1
}
for name in $("$BIN" --benchmark_list_tests=true 2>/dev/null | grep -E "$FILTER"); do
    n=200
    case $name in *port_desc*|*flow_stats*) n=20 ;; esac
    a=$(total_ir "$name" $n)
    b=$(total_ir "$name" $((2 * n)))
    echo "callgrind name=$name ir_per_msg=$(( (b - a) / n ))"
done
