#!/bin/bash
# ofagentd answering raw OpenFlow bytes on its --listen port (see agent_protocol.py): errors
# for what cannot be decoded, raw answers for echo / barrier / get-config, the tunnel table;
# SIGUSR1 drives the simulated ports.
. "$(dirname "$0")/lib.sh"
[ -x "$PY" ] || skip "$PY is not installed"
port=$(free_port)
start agent "$BIN/ofagentd" --listen "127.0.0.1:$port"
wait_for "$WORK/agent.out" "listening on" 10 || { FAILED=1; finish; }
timeout 60 "$PY" "$(dirname "$0")/agent_protocol.py" "$port" || FAILED=1
kill -USR1 "$PID_agent"
check "SIGUSR1 runs one round of simulated port activity" \
    wait_for "$WORK/agent.out" "^packet on port[0-9]+: no flow, dropped" 5
check "  ... and a port changes state" has "$WORK/agent.out" "^port1 link down"
stop agent
check "agent exits 0" [ "$STATUS_agent" = 0 ]
finish
