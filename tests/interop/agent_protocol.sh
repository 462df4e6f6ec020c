#!/bin/bash
# ofagentd answering raw OpenFlow bytes on its --listen port (see agent_protocol.py): version
# negotiation, errors for what cannot be decoded, raw answers for echo / barrier / get-config,
# packet-out, the tunnel table; SIGUSR1 drives the simulated ports, SIGHUP prints a status
# line and leaves the agent running.
. "$(dirname "$0")/lib.sh"
[ -x "$PY" ] || skip "$PY is not installed"
port=$(free_port)
A=$WORK/agent.out
listening agent "$BIN/ofagentd" --listen "127.0.0.1:$port"
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
check "  ... and keeps answering" \
    bash -c "timeout 20 '$PY' '$(dirname "$0")/listen_burst.py' $port 1 --within 10 | grep -q '1 served'"
stopped agent
finish
