#!/bin/bash
# ofagentd answering raw OpenFlow bytes on its --listen port (see agent_protocol.py): version
# negotiation, errors for what cannot be decoded, raw answers for echo / barrier / get-config,
# packet-out, the tunnel table; SIGUSR1 drives the simulated ports, SIGHUP prints a status
# line and leaves the agent running.
. "$(dirname "$0")/lib.sh"
[ -x "$PY" ] || skip "$PY is not installed"
port=$(free_port)
A=$WORK/agent.out
start agent "$BIN/ofagentd" --listen "127.0.0.1:$port"
wait_for "$A" "listening on" 10 || { FAILED=1; finish; }
timeout 60 "$PY" "$(dirname "$0")/agent_protocol.py" "$port" || FAILED=1
check "negotiation failures are reported on the console with the reason" \
    has "$A" "${L}127.0.0.1:[0-9]+: version negotiation failed: we support version 0x04 \(OpenFlow 1.3\) only, the peer supports version 0x01$"
check "a packet-out is reported with where the frame went" \
    has "$A" "${L}packet-out from 127.0.0.1:[0-9]+ \(60 bytes, in_port 1\): sent to port2 port3 port4$"
kill -USR1 "$PID_agent"
check "SIGUSR1 runs one round of simulated port activity" \
    wait_for "$A" "${L}packet on port[0-9]+: no flow, dropped" 5
check "  ... and a port changes state" has "$A" "${L}port1 link down"
kill -HUP "$PID_agent"
check "SIGHUP prints a status line" \
    wait_for "$A" "${L}status: controller not configured, 0 flows, 4 ports, 1 tunnels, 0 stations" 5
kill -HUP "$PID_agent"
check "  ... twice, and the agent keeps running" wait_count "$A" "${L}status: " 2 5
check "  ... and keeps answering" bash -c "timeout 10 '$PY' -c '
import socket, struct, sys
s = socket.create_connection((\"127.0.0.1\", $port), timeout=5)
s.recv(16); s.sendall(struct.pack(\"!BBHI\", 4, 0, 8, 1) + struct.pack(\"!BBHI\", 4, 2, 8, 2))
sys.exit(0 if s.recv(8)[1] == 3 else 1)'"
stop agent
check "agent exits 0" [ "$STATUS_agent" = 0 ]
finish
