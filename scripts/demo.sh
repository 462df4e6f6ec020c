#!/bin/bash
# The demo of `make demo`: the support tables demo, then ofcontroller and ofagentd talking
# OpenFlow 1.3 on 127.0.0.1 for a few seconds. Prints the conversation as the controller saw
# it and leaves the capture in demo.pcap at the top of the repository.
#   scripts/demo.sh [BUILD_DIR]     (default: build)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
bin=$build/examples
seconds=${DEMO_SECONDS:-6}

for p in ofcontroller ofagentd tables_demo; do
    if [ ! -x "$bin/$p" ]; then
        echo "demo: $bin/$p is missing: build first (make build)" >&2
        exit 1
    fi
done

work=$(mktemp -d)
ctl_pid=""
agent_pid=""
cleanup() {
    [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null
    [ -n "$ctl_pid" ] && kill "$ctl_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    local port
    for _ in $(seq 1 50); do
        port=$((20000 + RANDOM % 40000))
        # Nothing answers a connect: nobody listens there.
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

wait_for() { # file pattern seconds
    local i
    for i in $(seq 1 $(($3 * 10))); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

echo "== tables demo: logging, event ring, hash table, tunnel table"
(cd "$work" && timeout 10 "$bin/tables_demo" "$work/tables_demo.log") | head -n 40
echo

port=$(free_port) || { echo "demo: no free port found" >&2; exit 1; }
echo "== ofcontroller on 127.0.0.1:$port, ofagentd connecting to it, for $seconds seconds"
"$bin/ofcontroller" --listen "127.0.0.1:$port" --pcap "$root/demo.pcap" --flow-timeout 4 \
    --log "$work/ctl.log" --trace >"$work/controller.out" 2>&1 &
ctl_pid=$!
if ! wait_for "$work/controller.out" "listening on" 5; then
    echo "demo: the controller did not start:" >&2
    cat "$work/controller.out" >&2
    exit 1
fi
"$bin/ofagentd" --controller "127.0.0.1:$port" --ports 4 --events 1 --log "$work/agent.log" \
    >"$work/agent.out" 2>&1 &
agent_pid=$!
sleep "$seconds"
kill -TERM "$agent_pid"
wait "$agent_pid"
agent_rc=$?
agent_pid=""
sleep 0.3
kill -TERM "$ctl_pid"
wait "$ctl_pid"
ctl_rc=$?
ctl_pid=""

echo "-- the conversation as the controller printed it with --trace (-> sent, <- received):"
cat "$work/controller.out"
echo
echo "-- what the agent did with it (its status lines):"
cat "$work/agent.out"
echo
echo "-- messages per type, as the controller received them:"
grep -oE ' <- \{type=[A-Z_]+' "$work/controller.out" | sed 's/ <- {type=//' | sort | uniq -c
echo
echo "capture: $root/demo.pcap (tshark -r demo.pcap -d tcp.port==$port,openflow)"
if [ "$agent_rc" != 0 ] || [ "$ctl_rc" != 0 ]; then
    echo "demo: a program ended badly (agent $agent_rc, controller $ctl_rc)" >&2
    exit 1
fi
grep -q "OFPT_FEATURES_REPLY" "$work/controller.out" || { echo "demo: no handshake" >&2; exit 1; }
exit 0
