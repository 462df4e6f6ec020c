#!/bin/sh
# Runs the libFuzzer targets one after another, each for SECONDS (or its own TARGET=SECONDS):
#   fuzz.sh [--corpus DIR] [--summary FILE] [--cpu N] BUILD_DIR SECONDS [TARGET[=SECONDS]...]
# Without targets, every target runs. Without --corpus each run starts from the seeds in a
# fresh BUILD_DIR/fuzz/run; with it, DIR/TARGET/corpus persists across runs (the long
# campaign), crashes are kept in DIR/TARGET/artifacts and every run's log in DIR/TARGET/.
# --summary appends one table row per target (executions, rate, edges, features, corpus,
# findings) to FILE; --cpu pins the fuzzers to one core. Seeds: the committed
# fuzz/corpus/TARGET, the peer corpus and the seed generator's messages for the codec targets.
# Exits non-zero when any target finds a crash, a leak, a timeout or an oracle failure.
set -eu

usage() {
    echo "usage: fuzz.sh [--corpus DIR] [--summary FILE] [--cpu N] BUILD_DIR SECONDS [TARGET[=SECONDS]...]" >&2
    exit 2
}

corpus_root="" summary="" cpu=""
while [ $# -gt 0 ]; do
    case "$1" in
        --corpus) corpus_root=${2:?}; shift 2 ;;
        --summary) summary=${2:?}; shift 2 ;;
        --cpu) cpu=${2:?}; shift 2 ;;
        -*) usage ;;
        *) break ;;
    esac
done
[ $# -ge 2 ] || usage
build=$1 seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
peers="$src/../shared/testdata/of13-peers/packets"
all_targets="ofmsg_rx_fuzz ofmsg_roundtrip_fuzz ofmsg_build_fuzz ofconn_framing_fuzz"
[ $# -gt 0 ] || set -- $all_targets

# Per target: the largest input and the dictionary (none for the structure-driven builder).
max_len() {
    case "$1" in
        ofmsg_roundtrip_fuzz) echo 8192 ;;
        ofconn_framing_fuzz) echo 4200 ;;
        *) echo 4096 ;;
    esac
}
dict_of() {
    case "$1" in
        ofmsg_rx_fuzz | ofmsg_roundtrip_fuzz) echo "$src/fuzz/ofmsg.dict" ;;
        ofconn_framing_fuzz) echo "$src/fuzz/ofconn_framing_fuzz.dict" ;;
    esac
}

# Value of the last "NAME: value" field of the fuzzer's status lines, and of a final stat.
status_field() { grep -E '^#[0-9]+' "$1" | tail -n 1 | sed -n "s/.* $2: \([0-9]*\).*/\1/p"; }
final_stat() { sed -n "s/^stat::$2: *//p" "$1" | tail -n 1; }

[ -z "$corpus_root" ] || mkdir -p "$corpus_root"
if [ -n "$summary" ] && [ ! -s "$summary" ]; then
    mkdir -p "$(dirname "$summary")"
    {
        echo "| date | commit | target | seconds | executions | exec/s | edges | features | corpus | findings |"
        echo "|---|---|---|---|---|---|---|---|---|---|"
    } >"$summary"
fi
commit=$(git -C "$src" rev-parse --short HEAD 2>/dev/null || echo unknown)
pin=""
[ -z "$cpu" ] || pin="taskset -c $cpu"

failed=0
for spec in "$@"; do
    target=${spec%%=*}
    secs=$seconds
    [ "$target" = "$spec" ] || secs=${spec#*=}
    fuzzer="$build/fuzz/$target"
    [ -x "$fuzzer" ] || { echo "fuzz.sh: $fuzzer not built" >&2; exit 1; }

    if [ -n "$corpus_root" ]; then
        work="$corpus_root/$target"
        mkdir -p "$work/corpus" "$work/artifacts"
        rm -rf "$work/seeds"
        log="$work/fuzz-$(date +%Y%m%d-%H%M%S).log"
    else
        work="$build/fuzz/run/$target"
        rm -rf "$work"
        mkdir -p "$work/corpus" "$work/artifacts"
        log="$work/fuzz.log"
    fi
    mkdir -p "$work/seeds"
    seeds="$work/seeds"
    [ ! -d "$src/fuzz/corpus/$target" ] || cp "$src/fuzz/corpus/$target"/* "$seeds/"
    case "$target" in
        ofmsg_rx_fuzz | ofmsg_roundtrip_fuzz)
            [ ! -d "$peers" ] || cp "$peers"/* "$seeds/"
            "$build/fuzz/ofmsg_seed_gen" "$seeds" >/dev/null 2>&1 || true
            ;;
    esac
    before=$(ls "$work/artifacts" | wc -l)
    dict=$(dict_of "$target")

    status=0
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        $pin "$fuzzer" -max_total_time="$secs" -max_len="$(max_len "$target")" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        ${dict:+-dict="$dict"} "$work/corpus" "$seeds" >"$log" 2>&1 || status=$?

    execs=$(final_stat "$log" number_of_executed_units)
    rate=$(final_stat "$log" average_exec_per_sec)
    edges=$(status_field "$log" cov)
    features=$(status_field "$log" ft)
    units=$(ls "$work/corpus" | wc -l)
    found=$(($(ls "$work/artifacts" | wc -l) - before))
    echo "fuzz.sh: $target: ${execs:-0} executions in ${secs}s (${rate:-0}/s), edges ${edges:-?}, features ${features:-?}, corpus $units"
    if [ -n "$summary" ]; then
        echo "| $(date +%F) | $commit | $target | $secs | ${execs:-0} | ${rate:-0} | ${edges:-?} | ${features:-?} | $units | $found |" >>"$summary"
    fi
    if [ "$status" -ne 0 ]; then
        echo "fuzz.sh: $target failed (exit $status); last lines of $log:" >&2
        tail -n 40 "$log" >&2
        failed=1
    fi
done
[ "$failed" -eq 0 ] || exit 1
echo "fuzz.sh: no crash, leak, timeout or oracle failure"
