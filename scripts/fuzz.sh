#!/bin/sh
# Runs the receive-path fuzzer: fuzz.sh BUILD_DIR SECONDS
# Seeds: the peer corpus (when present) and the messages the seed generator writes. Exits
# non-zero when the fuzzer finds a crash, a leak or an oracle failure.
set -eu

build=${1:?usage: fuzz.sh BUILD_DIR SECONDS}
seconds=${2:?usage: fuzz.sh BUILD_DIR SECONDS}
here=$(cd "$(dirname "$0")" && pwd)
peers="$here/../../shared/testdata/of13-peers/packets"
fuzzer="$build/fuzz/ofmsg_rx_fuzz"
seedgen="$build/fuzz/ofmsg_seed_gen"

[ -x "$fuzzer" ] || { echo "fuzz.sh: $fuzzer not built" >&2; exit 1; }

work="$build/fuzz/run"
rm -rf "$work"
mkdir -p "$work/seeds" "$work/corpus" "$work/artifacts"

if [ -d "$peers" ]; then
    cp "$peers"/* "$work/seeds/"
    echo "fuzz.sh: $(ls "$peers" | wc -l) peer seeds from $peers"
else
    echo "fuzz.sh: peer corpus $peers absent, skipping those seeds"
fi
if [ -x "$seedgen" ]; then
    "$seedgen" "$work/seeds" >"$work/seedgen.log" 2>&1 || true
    tail -n 1 "$work/seedgen.log" | sed 's/^/fuzz.sh: /'
fi

log="$work/fuzz.log"
status=0
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "$work/seeds" >"$log" 2>&1 || status=$?

execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
echo "fuzz.sh: ${execs:-0} executions in ${seconds}s"
if [ "$status" -ne 0 ]; then
    echo "fuzz.sh: the fuzzer failed (exit $status); last lines of $log:" >&2
    tail -n 40 "$log" >&2
    exit "$status"
fi
echo "fuzz.sh: no crash, leak or oracle failure"
