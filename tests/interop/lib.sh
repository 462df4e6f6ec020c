# Shared helpers of the interop tests (sourced). Each test runs in its own temporary
# directory, starts every daemon itself, remembers its pid and stops it by that pid.
#   BIN  directory holding ofagentd and ofcontroller (first argument of every test)
set -u
BIN=${1:?usage: $0 BIN_DIR}
WORK=$(mktemp -d /tmp/ofagent-interop.XXXXXX)
PIDS=""
OVS_UP=""
FAILED=0
PY=/usr/bin/python3
export PYTHONDONTWRITEBYTECODE=1 # agent_protocol.py imports hostile_peer.py from the sources
# Every console line of the programs starts with an ISO 8601 UTC timestamp: L anchors a
# pattern at the start of a line's text ("${L}connected to controller").
TS='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z'
L="^$TS "

skip() {
    echo "SKIP: $*"
    exit 77
}

need() {
    local t
    for t in "$@"; do command -v "$t" >/dev/null 2>&1 || skip "$t is not installed"; done
}

cleanup() {
    local p
    for p in $PIDS; do kill "$p" 2>/dev/null; done
    if [ -n "$OVS_UP" ]; then
        for p in vswitchd ovsdb; do
            [ -f "$WORK/$p.pid" ] && kill "$(cat "$WORK/$p.pid")" 2>/dev/null
        done
    fi
    sleep 0.2
    for p in $PIDS; do kill -9 "$p" 2>/dev/null; done
    if [ "$FAILED" != 0 ] && [ -z "${KEEP:-}" ]; then
        echo "---- logs of the failed test"
        for p in "$WORK"/*.out "$WORK"/*.log; do
            [ -f "$p" ] || continue
            echo "== $p (last 40 lines)"
            tail -n 40 "$p"
        done
    fi
    [ -z "${KEEP:-}" ] && rm -rf "$WORK"
}
trap cleanup EXIT

# start NAME CMD...: runs CMD in the background with its output in $WORK/NAME.out.
start() {
    local name=$1
    shift
    "$@" >"$WORK/$name.out" 2>&1 &
    PIDS="$PIDS $!"
    eval "PID_$name=$!"
}

# stop NAME: SIGTERM, then wait for its exit status (in STATUS_NAME).
stop() {
    local pid rc
    eval "pid=\${PID_$1}"
    kill -TERM "$pid" 2>/dev/null
    wait "$pid"
    rc=$?
    eval "STATUS_$1=$rc"
    PIDS=$(echo "$PIDS" | sed "s/ $pid\b//")
    return 0
}

# stopped NAME [WHAT]: stops it and checks that it exited 0.
stopped() {
    stop "$1"
    check "${2:-$1} exits 0 on SIGTERM" eval "[ \"\$STATUS_$1\" = 0 ]"
}

# listening NAME CMD...: start, until the program says "listening on" (or the test fails).
listening() {
    start "$@"
    wait_for "$WORK/$1.out" "listening on" 30 || { FAILED=1; finish; }
}

free_port() {
    $PY -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# within SECONDS COMMAND...: until the command succeeds, trying every 0.1 s.
within() {
    local i n=$(($1 * 10))
    shift
    for i in $(seq 1 "$n"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
# wait_for FILE PATTERN SECONDS: until an extended regex appears in the file; wait_count FILE
# PATTERN N SECONDS: until at least N lines match; listens PORT: something listens on it.
wait_for() { within "$3" grep -qsE -e "$2" "$1"; }
wait_count() { within "$4" at_least "$3" "$1" "$2"; }
at_least() { [ "$(grep -csE -e "$3" "$2")" -ge "$1" ] 2>/dev/null; }
listens() { [ -n "$(ss -ltnH "sport = :$1")" ]; }

# fields PCAP PORT FILTER FIELD...: tshark's fields of the matching frames (OpenFlow on PORT),
# a row each; frames PCAP PORT FILTER: how many frames match.
fields() {
    local pcap=$1 port=$2 filter=$3
    shift 3
    tshark -r "$pcap" -d "tcp.port==$port,openflow" -Y "$filter" -T fields -E aggregator=, \
        "${@/#/-e}" 2>/dev/null
}
frames() { tshark -r "$1" -d "tcp.port==$2,openflow" -Y "$3" 2>/dev/null | wc -l; }

check() { # DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        echo "ok   - $what"
    else
        echo "FAIL - $what"
        FAILED=1
    fi
}

has() { grep -qE -e "$2" "$1"; }
count() { grep -cE -e "$2" "$1"; }

# cli CMD...: runs a command to completion, its status in $WORK/cli.rc, its output in cli.out
# and cli.err; exits STATUS [PATTERN]: it ended with STATUS (and said PATTERN on stderr).
cli() {
    "$@" >"$WORK/cli.out" 2>"$WORK/cli.err"
    echo $? >"$WORK/cli.rc"
}
exits() { [ "$(cat "$WORK/cli.rc")" = "$1" ] && { [ -z "${2:-}" ] || has "$WORK/cli.err" "$2"; }; }
VERSION=$(sed -nE 's/^#define OFAGENT_VERSION_(MAJOR|MINOR|PATCH) ([0-9]+)$/\2/p' \
    "$(dirname "$0")/../../include/ofagent_version.h" | paste -sd.)

finish() {
    [ "$FAILED" = 0 ] && echo "PASS" && exit 0
    exit 1
}

# A throw-away Open vSwitch (dummy datapath, no kernel module): ovsdb-server + ovs-vswitchd.
ovs_start() {
    [ "$(id -u)" = 0 ] || skip "ovs-vswitchd needs root"
    need ovsdb-tool ovsdb-server ovs-vsctl ovs-vswitchd ovs-appctl ovs-ofctl
    export OVS_RUNDIR=$WORK OVS_LOGDIR=$WORK OVS_DBDIR=$WORK
    ovsdb-tool create "$WORK/conf.db" /usr/share/openvswitch/vswitch.ovsschema >/dev/null || return 1
    OVS_UP=1
    ovsdb-server "$WORK/conf.db" --remote="punix:$WORK/db.sock" --pidfile="$WORK/ovsdb.pid" \
        --unixctl="$WORK/ovsdb.ctl" --log-file="$WORK/ovsdb.log" --detach 2>/dev/null || return 1
    VSCTL="ovs-vsctl --db=unix:$WORK/db.sock --timeout=10"
    $VSCTL --no-wait init || return 1
    ovs-vswitchd "unix:$WORK/db.sock" --enable-dummy=override --disable-system \
        --disable-system-route --pidfile="$WORK/vswitchd.pid" --unixctl="$WORK/vswitchd.ctl" \
        --log-file="$WORK/vswitchd.log" --detach 2>/dev/null || return 1
    APPCTL="ovs-appctl -t $WORK/vswitchd.ctl"
}

# tls_certs: a throw-away CA in $WORK (ca.pem) that signs ctl.pem/ctl.key (with IP 127.0.0.1)
# and agent.pem/agent.key, and a second CA (other.pem) that signs nothing; valid a day.
# Skips the test when ofagentd has no TLS or openssl is missing.
tls_certs() {
    need openssl
    "$BIN/ofagentd" --version | grep -q "TLS: wolfSSL" || skip "this ofagentd is built without TLS"
    (
        cd "$WORK" || exit 1
        for ca in ca other; do
            openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=ofagent-test-$ca" \
                -keyout "$ca.key" -out "$ca.pem" 2>/dev/null || exit 1
        done
        printf 'subjectAltName=IP:127.0.0.1\n' >ext.cnf
        for who in ctl agent; do
            openssl req -newkey rsa:2048 -nodes -subj "/CN=$who" -keyout "$who.key" \
                -out "$who.csr" 2>/dev/null || exit 1
            openssl x509 -req -in "$who.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 \
                -extfile ext.cnf -out "$who.pem" 2>/dev/null || exit 1
        done
    )
}
