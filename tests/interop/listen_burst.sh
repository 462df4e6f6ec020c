#!/bin/bash
# Bursts of connections on ofagentd --listen (listen_burst.py): 10, 100 and 300 peers connect
# at once, each sending its HELLO and an echo request at once; every one is served (echo
# answered), the time from connect to the agent's HELLO is printed (median and worst), and once
# the peers have closed the agent holds the descriptors it started with. The agent listens
# with a backlog of 1024 (the library's 10, and one accept per readiness, make peers of a burst
# wait for TCP retransmissions: docs/HOSTING.md). Then an agent with only 64 descriptors: the
# peers it has no room for are closed at once, without a failed accept (which would spin the
# loop on the still-readable listening socket), and a later peer is served again.
. "$(dirname "$0")/lib.sh"
[ -x "$PY" ] || skip "$PY is not installed"
BURST=$(dirname "$0")/listen_burst.py
fds() { ls "/proc/$1/fd" | wc -l; }
# served N PEERS_OUTPUT: the burst's line says that N peers were served.
served() { grep -qE "^$1 peers: $1 served, 0 refused, 0 without an answer" "$2"; }

port=$(free_port)
A=$WORK/agent.out
listening agent "$BIN/ofagentd" --listen "127.0.0.1:$port"
base=$(fds "$PID_agent")
# (The kernel caps a backlog at net.core.somaxconn.)
backlog=$(($(cat /proc/sys/net/core/somaxconn) < 1024 ? $(cat /proc/sys/net/core/somaxconn) : 1024))
check "the agent listens with a backlog of $backlog" \
    bash -c "ss -ltnH 'sport = :$port' | awk '{ exit \$3 != $backlog }'"
total=0
for n in 10 100 300; do
    timeout 90 "$PY" "$BURST" "$port" "$n" --within 60 >"$WORK/burst$n.out"
    sed 's/^/    /' "$WORK/burst$n.out"
    check "$n peers at once: every one served" served "$n" "$WORK/burst$n.out"
    total=$((total + n))
    check "  ... the agent reports $total clients gone" \
        wait_count "$A" "${L}127.0.0.1:[0-9]+ disconnected$" "$total" 10
    check "  ... and holds its $base descriptors again" [ "$(fds "$PID_agent")" = "$base" ]
done
stopped agent

port=$(free_port)
A=$WORK/tight.out
listening tight bash -c "ulimit -n 64 && exec '$BIN/ofagentd' --listen 127.0.0.1:$port"
timeout 90 "$PY" "$BURST" "$port" 100 --within 30 >"$WORK/tight100.out"
sed 's/^/    /' "$WORK/tight100.out"
check "64 descriptors, 100 peers: no peer is left waiting" \
    grep -qE "^100 peers: [0-9]+ served, [0-9]+ refused, 0 without an answer" "$WORK/tight100.out"
check "  ... those without room are refused at once, saying why" \
    has "$A" "${L}local client 127.0.0.1:[0-9]+ refused: too many open descriptors$"
check "  ... and no accept fails" bash -c "! grep -q 'accept failed' '$A'"
check "  ... a later peer is served" bash -c "timeout 30 '$PY' '$BURST' $port 1 --within 10 | grep -q '1 served'"
stopped tight "the agent with 64 descriptors"
finish
