#!/bin/bash
# ofcontroller and ofagentd run under valgrind through a full exchange (flows added, modified
# and expired, packet-ins, packet-out, port status, tunnels, local ovs-ofctl clients, a local
# client refused at version negotiation, a reconnect) and
# are stopped with SIGTERM: both exit 0 with no memory error and no definite or indirect leak.
. "$(dirname "$0")/lib.sh"
need valgrind
VG="valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite,indirect
    --show-leak-kinds=definite,indirect --error-exitcode=3"
port=$(free_port)
lport=$(free_port)
listening ctl $VG "$BIN/ofcontroller" --listen "127.0.0.1:$port" --flow-timeout 2 --trace
start agent $VG "$BIN/ofagentd" --controller "127.0.0.1:$port" --listen "127.0.0.1:$lport" \
    --events 1 --backoff-min 100 --backoff-max 200 --trace --log-level debug
wait_for "$WORK/agent.out" "flow removed" 30
if command -v ovs-ofctl >/dev/null; then
    T=tcp:127.0.0.1:$lport
    timeout 30 ovs-ofctl -O OpenFlow13 --no-names add-flow "$T" 'priority=7,in_port=3,ip,actions=output:1'
    timeout 30 ovs-ofctl -O OpenFlow13 --no-names mod-flows "$T" 'ip,actions=output:2'
    timeout 30 ovs-ofctl -O OpenFlow13 --no-names dump-flows "$T" >/dev/null
    timeout 30 ovs-ofctl -O OpenFlow13 --no-names packet-out "$T" \
        'in_port=1 packet=020000000002020000000001080045000014000100004006000000000000000000000000 actions=flood'
fi
if [ -x "$PY" ]; then
    # A local client offering only OpenFlow 1.0: refused, and closed from inside the receive.
    timeout 30 "$PY" -c 'import socket, struct, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
s.sendall(struct.pack("!BBHI", 1, 0, 8, 1)); s.recv(100); s.recv(100)' "$lport"
fi
stop ctl
wait_for "$WORK/agent.out" "reconnecting" 10
start ctl2 $VG "$BIN/ofcontroller" --listen "127.0.0.1:$port" --trace
wait_for "$WORK/ctl2.out" "OFPT_FEATURES_REPLY" 30
sleep 1
stop agent
stop ctl2
check "controller: exit 0 under valgrind (no errors, no leaks)" [ "$STATUS_ctl" = 0 ]
check "agent: exit 0 under valgrind (no errors, no leaks)" [ "$STATUS_agent" = 0 ]
check "second controller: exit 0 under valgrind" [ "$STATUS_ctl2" = 0 ]
check "the agent reconnected" has "$WORK/ctl2.out" "<- \{type=OFPT_FEATURES_REPLY"
finish
