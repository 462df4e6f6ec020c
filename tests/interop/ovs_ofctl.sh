#!/bin/bash
# ovs-ofctl as a controller tool against ofagentd --listen: show, dump-desc, dump-ports,
# add-flow / mod-flows / del-flows (strict and by cookie) with dump-flows checking the agent's
# flow table after each, probe, a 1000-round-trip echo benchmark and packet-out. Every command
# runs under timeout and must exit 0.
. "$(dirname "$0")/lib.sh"
need ovs-ofctl

port=$(free_port)
T=tcp:127.0.0.1:$port
listening agent "$BIN/ofagentd" --listen "127.0.0.1:$port" --ports 4 --dpid 00000000000000ab --trace

ofctl() { # runs one command; its output is in $WORK/last
    timeout 20 ovs-ofctl -O OpenFlow13 --no-names "$@" >"$WORK/last" 2>&1
    local rc=$?
    echo "\$ ovs-ofctl $*  (exit $rc)" >>"$WORK/ofctl.log"
    cat "$WORK/last" >>"$WORK/ofctl.log"
    return $rc
}
out_has() { grep -qE -e "$1" "$WORK/last"; }
# nflows [FILTER...]: how many flows dump-flows lists (nothing when it fails).
nflows() { ofctl dump-flows "$T" "$@" && grep -c " cookie=" "$WORK/last"; }
dump() { timeout 20 ovs-ofctl -O OpenFlow13 --no-names dump-flows "$T"; }

check "show exits 0" ofctl show "$T"
check "show: features with the agent's dpid" out_has "dpid:00000000000000ab"
check "show: the four simulated ports" bash -c "[ \$(grep -cE '^ [1-4]\(port[1-4]\): addr:02:00:00:00:00:0[1-4]' '$WORK/last') = 4 ]"
check "dump-desc exits 0" ofctl dump-desc "$T"
check "dump-desc: the agent's description" out_has "Manufacturer: ofagent project"
check "dump-ports exits 0" ofctl dump-ports "$T"
check "dump-ports: every port reported" bash -c "[ \$(grep -cE 'port +[1-4]: rx pkts=' '$WORK/last') = 4 ]"
check "dump-ports 2: one port" [ "$(ofctl dump-ports "$T" 2 && grep -cE 'port +[0-9]+: rx' "$WORK/last")" = 1 ]

check "add-flow exits 0" ofctl add-flow "$T" 'in_port=1,ip,actions=output:2'
check "dump-flows exits 0" ofctl dump-flows "$T"
check "dump-flows lists the flow" out_has " ip,in_port=1 actions=output:2$"
check "add-flow of a second, more specific flow" \
    ofctl add-flow "$T" 'priority=200,cookie=0x5,in_port=1,tcp,tp_dst=80,actions=output:3'
check "add-flow with a masked IPv4 match" ofctl add-flow "$T" 'priority=50,ip,nw_dst=10.1.0.0/16,actions=output:4'
# ovs-ofctl leaves the default priority (32768) out of its text.
check "three flows, highest priority first" \
    [ "$(dump | grep -oE '(priority=[0-9]+,|n_bytes=0, ip,in_port=1)' | tr '\n' ' ')" = "n_bytes=0, ip,in_port=1 priority=200, priority=50, " ]
check "check_overlap: a flow that could share packets at the same priority is refused, OFPFMFC_OVERLAP" \
    eval "! ofctl add-flow '$T' 'check_overlap,priority=50,ip,nw_dst=10.1.2.0/24,actions=output:1' && out_has OFPFMFC_OVERLAP"
check "check_overlap: a disjoint flow at the same priority is added" \
    ofctl add-flow "$T" 'check_overlap,priority=50,ip,nw_dst=10.2.0.0/16,actions=output:1'
check "  ... four flows now" [ "$(nflows)" = 4 ]
check "  ... and deleted again strictly" ofctl --strict del-flows "$T" 'priority=50,ip,nw_dst=10.2.0.0/16'
check "re-adding an identical flow replaces it" ofctl add-flow "$T" 'in_port=1,ip,actions=output:4'
check "  ... still three flows" [ "$(nflows)" = 3 ]
check "mod-flows (non-strict) on in_port=1" ofctl mod-flows "$T" 'in_port=1,actions=output:3'
ofctl dump-flows "$T"
check "  ... both in_port=1 flows now output to 3, the other keeps its action" \
    bash -c "[ \$(grep -c 'in_port=1.*actions=output:3' '$WORK/last') = 2 ] && grep -q 'nw_dst=10.1.0.0/16 actions=output:4' '$WORK/last'"
# Statistics requests filter by match (non-strict), out_port and cookie.
check "dump-flows tcp: only the flow at least that specific" [ "$(nflows tcp)" = 1 ]
check "dump-flows in_port=1: both in_port=1 flows" [ "$(nflows in_port=1)" = 2 ]
check "dump-flows out_port=4: the flow that outputs to 4" [ "$(nflows out_port=4)" = 1 ]
check "dump-flows cookie=0x5/-1: the flow with that cookie" [ "$(nflows cookie=0x5/-1)" = 1 ]
check "mod-flows restricted by cookie leaves other cookies alone" \
    ofctl mod-flows "$T" 'cookie=0x9/-1,in_port=1,actions=output:1'
check "  ... no flow outputs to 1" [ "$(nflows out_port=1)" = 0 ]
check "mod-flows --strict changes only the exact flow" \
    ofctl --strict mod-flows "$T" 'priority=50,ip,nw_dst=10.1.0.0/16,actions=output:1'
check "  ... the masked flow outputs to 1" grep -q 'nw_dst=10.1.0.0/16 actions=output:1' <<<"$(dump)"
check "del-flows --strict removes only the exact flow" \
    ofctl --strict del-flows "$T" 'priority=200,in_port=1,tcp,tp_dst=80'
check "  ... two flows left" [ "$(nflows)" = 2 ]
check "add-flow with a cookie" ofctl add-flow "$T" 'priority=10,cookie=0x77,udp,actions=output:2'
check "del-flows by cookie removes only that flow" ofctl del-flows "$T" 'cookie=0x77/-1'
check "  ... two flows left" [ "$(nflows)" = 2 ]
check "del-flows with an out_port filter" ofctl del-flows "$T" 'out_port=1'
check "  ... only the in_port=1 flow (output:3) stays" \
    eval "[ \"\$(nflows)\" = 1 ] && out_has 'in_port=1 actions=output:3'"
check "del-flows exits 0" ofctl del-flows "$T"
check "  ... the table is empty" [ "$(nflows)" = 0 ]

# A table too large for one reply: the flow statistics come in several, flagged "more".
for i in $(seq 1 2000); do
    echo "priority=$((i % 100)),ip,nw_dst=10.$((i / 256)).$((i % 256)).0/24,actions=output:$((i % 4 + 1))"
done >"$WORK/flows.txt"
check "add-flows of 2000 flows exits 0" ofctl add-flows "$T" "$WORK/flows.txt"
check "  ... dump-flows lists all 2000" [ "$(nflows)" = 2000 ]
check "  ... sent as several replies with the more flag" \
    [ "$(grep -c -e '-> {type=OFPT_MULTIPART_REPLY.*OFPMP_FLOW(1), flags=0x1' "$WORK/agent.out")" -ge 2 ]
check "del-flows of a /16 removes its 256 flows" ofctl del-flows "$T" 'ip,nw_dst=10.1.0.0/16'
check "  ... 1744 flows left" [ "$(nflows)" = 1744 ]
check "del-flows clears the rest" ofctl del-flows "$T"

check "add-flow with an idle timeout of 1 s" ofctl add-flow "$T" 'idle_timeout=1,in_port=4,actions=output:1'
check "  ... listed with its timeout" grep -q 'idle_timeout=1, in_port=4' <<<"$(dump)"
sleep 2.5
check "  ... gone once idle for longer" [ "$(nflows)" = 0 ]
check "  ... reported as an idle-timeout removal" has "$WORK/agent.out" "${L}flow removed \(OFPRR_IDLE_TIMEOUT\)"

check "benchmark 16 bytes x 1000 exits 0" ofctl benchmark "$T" 16 1000
check "benchmark: 1000 round trips" out_has "1000 packets"
check "the agent answered every benchmark echo through the codec" \
    bash -c "[ \$(grep -c -e '-> {type=OFPT_ECHO_REPLY, length=24' '$WORK/agent.out') -ge 1000 ]"

# packet-out: the frame leaves by the named port. (agent_protocol.py sends those it refuses.)
check "packet-out to port 2 exits 0" \
    ofctl packet-out "$T" 'in_port=1 packet=020000000002020000000001080045000014000100004006000000000000000000000000 actions=output:2'
check "  ... and the agent sends the frame out of port2" \
    has "$WORK/agent.out" "${L}packet-out from 127.0.0.1:[0-9]+ \(36 bytes, in_port 1\): sent to port2$"

stopped agent
check "every local client was reported down" \
    [ "$(grep -cE "${L}local client .* connected" "$WORK/agent.out")" = "$(grep -c ' disconnected$' "$WORK/agent.out")" ]
finish
