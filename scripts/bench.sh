#!/bin/bash
# Runs every benchmark and writes docs/PERFORMANCE.md (with its plot).
#   scripts/bench.sh          full run: builds the benches and the Open vSwitch peer, measures
#                             codec, echo, streaming, scale and footprint, writes the report
#   scripts/bench.sh --smoke  builds the benches (the peer only if already built), runs each once
#                             briefly and checks its result; times nothing, writes nothing
# Environment: BENCH_BUILD (build tree, default build-bench), JOBS (default 2).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
B=${BENCH_BUILD:-$ROOT/build-bench}
JOBS=${JOBS:-2}
MODE=full
[ "${1:-}" = --smoke ] && MODE=smoke
OVS_SRC=$B/ovs/openvswitch
OUT=$B/results
mkdir -p "$OUT"
PIDS=()

log() { echo "bench: $*" >&2; }

cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    ovs_stop
}
trap cleanup EXIT

# ---- The Open vSwitch peer (built once, cached in the build tree, never committed) ---------
ovs_peer() {
    [ -f "$OVS_SRC/lib/.libs/libopenvswitch.a" ] && return 0
    [ "$MODE" = smoke ] && return 0
    [ -f /usr/src/openvswitch/openvswitch.tar.gz ] || { log "openvswitch-source missing"; return 1; }
    log "building the Open vSwitch peer codec in $OVS_SRC (a few minutes, once)"
    rm -rf "$B/ovs" && mkdir -p "$B/ovs"
    tar -xzf /usr/src/openvswitch/openvswitch.tar.gz -C "$B/ovs"
    (
        cd "$OVS_SRC"
        ./configure --disable-ssl --disable-libcapng PYTHON3=/usr/bin/python3 >"$B/ovs/configure.log" 2>&1
        make -f Makefile -f <(printf 'zz: $(BUILT_SOURCES)\n') zz >"$B/ovs/built.log" 2>&1
        make -j"$JOBS" lib/libopenvswitch.la >"$B/ovs/lib.log" 2>&1
    )
}

build() {
    local ovs=""
    [ -f "$OVS_SRC/lib/.libs/libopenvswitch.a" ] && ovs=$OVS_SRC
    cmake -S "$ROOT" -B "$B" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOFAGENT_BENCH=ON \
        -DOFAGENT_TESTS=OFF -DOFAGENT_EXAMPLES=ON -DOFAGENT_OVS_DIR="$ovs" >/dev/null
    cmake --build "$B" -j "$JOBS" --target codec_bench stream_bench scale_bench echo_server ofagentd \
        ofagent
}

# ---- Smoke: every bench once, briefly, with its own checks ----------------------------------
smoke() {
    # A bench that refuses its messages reports an error instead of a time: fail on it.
    local json
    json=$("$B/bench/codec_bench" --benchmark_min_time=0.01 --benchmark_format=json 2>/dev/null)
    if grep -q '"error_occurred": true' <<<"$json"; then
        log "smoke: a codec bench failed"
        return 1
    fi
    "$B/bench/stream_bench" --messages 2000 --rounds 1 --batch 1
    "$B/bench/scale_bench" --connections 200 --messages 50
    echo_smoke
    log "smoke: every bench ran and checked its results"
}

# The raw echo server, blocking and waiting in epoll, greets with HELLO and answers an echo
# request with the same bytes as a reply.
echo_smoke() {
    local port pid rc=0 mode
    for mode in "" --epoll; do
        port=$(free_port)
        # shellcheck disable=SC2086
        "$B/bench/echo_server" 127.0.0.1 "$port" $mode >/dev/null &
        pid=$!
        /usr/bin/python3 - "$port" <<'PY' || rc=1
import socket, sys, time
for _ in range(100):
    try:
        s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5)
        break
    except OSError:
        time.sleep(0.05)
else:
    sys.exit("echo_server does not listen")
def take(n):
    b = b""
    while len(b) < n:
        c = s.recv(n - len(b))
        if not c:
            sys.exit("echo_server closed the connection")
        b += c
    return b
assert take(8)[:2] == bytes([4, 0]), "no HELLO"
for i in range(3):
    req = bytes([4, 2, 0, 24, 1, 2, 3, i]) + bytes(range(16))
    s.sendall(req)
    assert take(24) == bytes([4, 3]) + req[2:], "wrong echo reply"
PY
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        [ $rc = 0 ] || { log "smoke: echo_server $mode failed"; return 1; }
    done
}

# ---- Figures ---------------------------------------------------------------------------------
codec() {
    log "codec: decode/encode, side by side with the peer"
    taskset -c 1 "$B/bench/codec_bench" --benchmark_min_time=0.5 --benchmark_repetitions=3 \
        --benchmark_report_aggregates_only=true --benchmark_out="$OUT/codec.json" \
        --benchmark_out_format=json >/dev/null
    # Instructions per message: the same on a busy machine, unlike times.
    log "codec: instructions per message (callgrind, a few minutes)"
    "$ROOT/bench/callgrind_codec.sh" "$B" '^(decode|encode)/ofagent/|^floor/' | tee "$OUT/callgrind.txt"
}

# Streaming runs where the path has Ethernet's MTU (1500): a network namespace of its own whose
# loopback has that MTU (root only). On the machine's loopback (MTU 65536) the 8 KiB socket
# buffers, set after the handshake, offer a window below the segment size agreed at the
# handshake, and TCP then waits for its 200 ms probe timer again and again, so throughput there
# swings by orders of magnitude: a few rounds there, with one message per write, show it.
stream() {
    log "streaming: library against raw sockets, alternating"
    : >"$OUT/stream.txt"
    if [ "$(id -u)" = 0 ] && unshare --net true 2>/dev/null; then
        echo "stream_path mtu=1500 where=namespace" >>"$OUT/stream.txt"
        unshare --net sh -c "ip link set lo mtu 1500 up && exec '$B/bench/stream_bench' --messages 100000 --rounds 9" |
            tee -a "$OUT/stream.txt"
    else
        log "streaming: no network namespace (needs root): the rounds run on the machine's loopback"
        echo "stream_path mtu=$(cat /sys/class/net/lo/mtu) where=host" >>"$OUT/stream.txt"
        "$B/bench/stream_bench" --messages 100000 --rounds 9 | tee -a "$OUT/stream.txt"
    fi
    log "streaming on the machine's loopback: the swing"
    "$B/bench/stream_bench" --messages 20000 --rounds 3 --batch 1 | sed 's/^stream /stream_lo /' |
        tee "$OUT/stream_lo.txt"
}

scale() {
    log "scale: 10,000 connections, then message cost against connection count"
    : >"$OUT/scale.txt"
    "$B/bench/scale_bench" --connections 10000 --messages 0 | tee -a "$OUT/scale.txt"
    local c m
    for c in 1 10 100 1000 10000; do
        case $c in 1) m=10000 ;; 10) m=2000 ;; 100) m=1000 ;; 1000) m=1000 ;; 10000) m=100 ;; esac
        "$B/bench/scale_bench" --connections $c --messages $m | tee -a "$OUT/scale.txt"
    done
}

# Open vSwitch as a switch with a dummy datapath and a passive OpenFlow port (root only).
OVS_RUN=""
ovs_start() {
    local port=$1
    OVS_RUN=$(mktemp -d /tmp/ofagent-bench-ovs.XXXXXX)
    local D=$OVS_RUN
    ovsdb-tool create "$D/conf.db" /usr/share/openvswitch/vswitch.ovsschema
    ovsdb-server "$D/conf.db" --remote="punix:$D/db.sock" --pidfile="$D/ovsdb.pid" \
        --unixctl="$D/ovsdb.ctl" --log-file="$D/ovsdb.log" --detach
    ovs-vsctl --db="unix:$D/db.sock" --no-wait init
    taskset -c 1 ovs-vswitchd "unix:$D/db.sock" --enable-dummy=override --disable-system \
        --disable-system-route --pidfile="$D/vswitchd.pid" --unixctl="$D/vswitchd.ctl" \
        --log-file="$D/vswitchd.log" --detach
    ovs-vsctl --db="unix:$D/db.sock" add-br br0 -- set bridge br0 datapath_type=dummy \
        protocols=OpenFlow13 other-config:datapath-id=0000000000000001 \
        -- set-controller br0 "ptcp:$port:127.0.0.1"
    local i
    for i in $(seq 50); do
        timeout 5 ovs-ofctl -O OpenFlow13 probe "tcp:127.0.0.1:$port" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

ovs_stop() {
    [ -n "$OVS_RUN" ] || return 0
    local f
    for f in vswitchd ovsdb; do
        [ -f "$OVS_RUN/$f.pid" ] && kill "$(cat "$OVS_RUN/$f.pid")" 2>/dev/null || true
    done
    sleep 0.3
    rm -rf "$OVS_RUN"
    OVS_RUN=""
}

free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# CPU time of a process in ns, all its threads: the scheduler's own account (schedstat) where the
# kernel keeps it, else clock ticks.
cpu_ns() {
    if [ -r "/proc/$1/schedstat" ]; then
        cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%.0f\n", s}'
    else
        awk -v hz="$(getconf CLK_TCK)" '{printf "%.0f\n", ($14 + $15) * 1e9 / hz}' "/proc/$1/stat"
    fi
}

ECHO_N=100000
echo_run() {  # label port daemon-pid
    local r t0 t1
    t0=$(cpu_ns "$3")
    r=$(taskset -c 0 timeout 120 ovs-ofctl -O OpenFlow13 benchmark "tcp:127.0.0.1:$2" 16 $ECHO_N |
        sed -n 's/.*(\([0-9.]*\) packets\/s).*/\1/p')
    t1=$(cpu_ns "$3")
    echo "echo target=$1 packets_per_s=${r:-0} daemon_cpu_ns_per_rt=$(( (t1 - t0) / ECHO_N ))" |
        tee -a "$OUT/echo.txt"
}

# System calls per round trip, counted by strace over a shorter run (strace slows everything:
# nothing else is taken from this run).
echo_syscalls() {  # label port daemon-pid
    local n=20000 f
    f=$(mktemp /tmp/ofagent-bench-strace.XXXXXX)
    strace -c -f -p "$3" -o "$f" 2>/dev/null &
    local st=$!
    sleep 0.5
    taskset -c 0 timeout 120 ovs-ofctl -O OpenFlow13 benchmark "tcp:127.0.0.1:$2" 16 $n >/dev/null
    kill -INT $st 2>/dev/null || true
    wait $st 2>/dev/null || true
    # strace -c rows: % time, seconds, usecs/call, calls, [errors,] syscall.
    awk -v t="$1" -v n=$n '
        $4 ~ /^[0-9]+$/ && (NF == 5 || NF == 6) {
            if ($NF == "total") { total = $4 / n; next }
            if ($4 / n >= 0.05) { list = list sep sprintf("%s:%.2f", $NF, $4 / n); sep = "," }
        }
        END { printf "echo_sys target=%s calls_per_rt=%.2f by_call=%s\n", t, total, list }' "$f" |
        tee -a "$OUT/echo.txt"
    rm -f "$f"
}

# ofagentd as an operator runs it: the quietest console it has (no per-message trace once it
# has --log-level; until then its console goes to /dev/null).
agent_flags() {
    if "$B/examples/ofagentd" --help 2>&1 | grep -q -- '--log-level'; then echo "--log-level err"; fi
}

echo_rounds() {
    log "echo round trips: ovs-ofctl benchmark against the raw echo server, ofagentd and ovs-vswitchd, alternating"
    : >"$OUT/echo.txt"
    local pr pe pa po flags
    pr=$(free_port)
    taskset -c 1 "$B/bench/echo_server" 127.0.0.1 "$pr" >/dev/null 2>&1 &
    PIDS+=($!)
    local raw=$!
    # The same server waiting in epoll as an event loop does: the floor of any such daemon.
    pe=$(free_port)
    taskset -c 1 "$B/bench/echo_server" 127.0.0.1 "$pe" --epoll >/dev/null 2>&1 &
    PIDS+=($!)
    local raw_epoll=$!
    pa=$(free_port)
    flags=$(agent_flags)
    echo "echo_agent flags=${flags// /_}" >>"$OUT/echo.txt"
    # shellcheck disable=SC2086
    taskset -c 1 "$B/examples/ofagentd" --listen "127.0.0.1:$pa" $flags >/dev/null 2>&1 &
    PIDS+=($!)
    local agent=$!
    local have_ovs=0 ovs_pid=""
    po=$(free_port)
    if [ "$(id -u)" = 0 ] && ovs_start "$po"; then
        have_ovs=1
        ovs_pid=$(cat "$OVS_RUN/vswitchd.pid")
    else
        log "ovs-vswitchd not started (needs root): its rounds are skipped"
    fi
    sleep 0.5
    local i
    for i in 1 2 3 4 5; do
        echo_run raw "$pr" $raw
        echo_run raw_epoll "$pe" $raw_epoll
        echo_run ofagentd "$pa" $agent
        [ $have_ovs = 1 ] && echo_run ovs-vswitchd "$po" "$ovs_pid"
    done
    if command -v strace >/dev/null; then
        echo_syscalls raw "$pr" $raw
        echo_syscalls raw_epoll "$pe" $raw_epoll
        echo_syscalls ofagentd "$pa" $agent
        [ $have_ovs = 1 ] && echo_syscalls ovs-vswitchd "$po" "$ovs_pid"
    fi
    kill $raw $raw_epoll $agent 2>/dev/null || true
    wait $raw $raw_epoll $agent 2>/dev/null || true
    ovs_stop
}

footprint() {
    log "footprint: stripped sizes (x86-64, big-endian MIPS -O2 and -Os, static ofagentd)"
    : >"$OUT/footprint.txt"
    local so tmp
    tmp=$(mktemp -d)
    so=$(readlink -f "$B/libofagent.so")
    strip -o "$tmp/x86.so" "$so"
    echo "size target=libofagent.so arch=x86-64 flags=-O2 bytes=$(stat -c %s "$tmp/x86.so")" >>"$OUT/footprint.txt"
    # A static x86-64 ofagentd without TLS (Debian has no static wolfSSL dependencies chain).
    cmake -S "$ROOT" -B "$B-notls" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOFAGENT_TLS=OFF \
        -DOFAGENT_TESTS=OFF -DOFAGENT_EXAMPLES=OFF >/dev/null
    cmake --build "$B-notls" -j "$JOBS" --target ofagent_static ofagent_host_static >/dev/null
    gcc -std=c99 -O2 -static -I"$ROOT/include" -I"$ROOT/platform/include" -o "$tmp/ofagentd" \
        "$ROOT"/examples/ofagentd.c "$ROOT"/examples/agent_*.c "$ROOT"/examples/hostutil.c \
        "$B-notls/libofagent.a" "$B-notls/libofagent_host.a" -lstdc++ -lm
    strip "$tmp/ofagentd"
    echo "size target=ofagentd-static arch=x86-64 flags=-O2 bytes=$(stat -c %s "$tmp/ofagentd")" >>"$OUT/footprint.txt"
    local bt flag
    for bt in RelWithDebInfo MinSizeRel; do
        flag=-O2; [ $bt = MinSizeRel ] && flag=-Os
        cmake -S "$ROOT" -B "$B-mips-$bt" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mips-linux-gnu.cmake" \
            -DCMAKE_BUILD_TYPE=$bt -DOFAGENT_TLS=OFF -DOFAGENT_TESTS=OFF -DOFAGENT_EXAMPLES=ON >/dev/null
        cmake --build "$B-mips-$bt" -j "$JOBS" --target ofagent ofagentd >/dev/null
        mips-linux-gnu-strip -o "$tmp/mips.so" "$(readlink -f "$B-mips-$bt/libofagent.so")"
        mips-linux-gnu-strip -o "$tmp/mips-agent" "$B-mips-$bt/examples/ofagentd"
        echo "size target=libofagent.so arch=mips-be flags=$flag bytes=$(stat -c %s "$tmp/mips.so")" >>"$OUT/footprint.txt"
        echo "size target=ofagentd-static arch=mips-be flags=$flag bytes=$(stat -c %s "$tmp/mips-agent")" >>"$OUT/footprint.txt"
    done
    rm -rf "$tmp"
    cat "$OUT/footprint.txt"
}

report() {
    {
        echo "machine nproc=$(nproc) cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1 | tr ' ' '_')"
        echo "machine date=$(date -u +%Y-%m-%dT%H:%MZ) kernel=$(uname -r) compiler=$(gcc -dumpfullversion)"
        echo "machine commit=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)"
    } >"$OUT/machine.txt"
    /usr/bin/python3 "$ROOT/bench/report.py" "$OUT" "$ROOT/docs"
    log "wrote docs/PERFORMANCE.md and docs/performance-scale.png"
}

if [ "$MODE" = smoke ]; then
    # make check's smoke run needs no more than the check packages.
    "$ROOT/scripts/deps.sh" check
    build
    smoke
    exit 0
fi
"$ROOT/scripts/deps.sh" bench
ovs_peer
build
codec
echo_rounds
stream
scale
footprint
report
