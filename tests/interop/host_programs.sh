#!/bin/bash
# ofcontroller and ofagentd talk to each other on loopback, each writing a capture: the
# handshake, multipart requests and replies, flow installation and hard-timeout removal,
# the vendor tunnel and station messages, packet-ins, port status, echo of a non-24-byte
# request, and a clean SIGTERM shutdown. tshark then reads both captures: every message the
# programs printed is in them, and nothing is malformed.
. "$(dirname "$0")/lib.sh"

port=$(free_port)
start ctl "$BIN/ofcontroller" --listen "127.0.0.1:$port" --pcap "$WORK/ctl.pcap" --flow-timeout 2
wait_for "$WORK/ctl.out" "listening on" 10 || { FAILED=1; finish; }
start agent "$BIN/ofagentd" --controller "127.0.0.1:$port" --ports 3 --dpid 2a --events 1 \
    --echo-interval 1 --pcap "$WORK/agent.pcap" --log "$WORK/agent.log"
wait_for "$WORK/agent.out" "flow removed \(OFPRR_HARD_TIMEOUT\)" 10
wait_for "$WORK/agent.out" "<- \{type=OFPT_ECHO_REPLY, length=16" 10
stop agent
sleep 0.3
stop ctl

C=$WORK/ctl.out
A=$WORK/agent.out
check "agent exits 0 on SIGTERM" [ "$STATUS_agent" = 0 ]
check "controller exits 0 on SIGTERM" [ "$STATUS_ctl" = 0 ]
check "controller decodes the features reply with the agent's dpid" has "$C" "<- .*OFPT_FEATURES_REPLY.*dpid=0x2a, buffs=0, tabs=1"
check "controller decodes a port description reply of 3 ports" \
    [ "$(grep 'OFPMP_PORT_DESC' "$C" | grep '<-' | grep -o '{no=' | wc -l)" = 3 ]
check "controller decodes the flow statistics reply" has "$C" "<- .*OFPMP_FLOW\(1\).*num_flows:0"
check "description and port statistics replies arrive (not decoded by the codec)" \
    [ "$(grep -cE '<- \{type=OFPT_MULTIPART_REPLY, length=(1072|352)' "$C")" = 2 ]
check "barrier is answered" has "$C" "<- \{type=OFPT_BARRIER_REPLY, length=8"
check "agent installs the table-miss flow and the showcase flow" [ "$(count "$A" "^flow added:")" = 2 ]
check "agent keeps the showcase flow's vendor action" has "$A" "^flow added:.*SET_APPID\{appid=7\}"
check "tunnel request answered with the tunnel list" has "$C" "<- .*TUNNEL V4 REPLY tunnels=\{num_tunnels:1\}, \{ \{ tun_index:7, tun_dest_ip:10.0.0.2"
check "station MAC message recorded" has "$A" "stations known: 1"
check "packet-ins reach the controller" has "$C" "<- \{type=OFPT_PACKET_IN, length=[0-9]+.*\{buffer=4294967295, tlen=60"
check "port status reaches the controller" has "$C" "<- \{type=OFPT_PORT_STATUS.*reason=OFPPR_MODIFY"
check "hard timeout removes the flow and tells the controller" has "$C" "<- \{type=OFPT_FLOW_REMOVED.*reason=OFPRR_HARD_TIMEOUT, cookie=0x0000000000001234, priority=100"
check "agent sends a 16-byte echo request when idle; controller echoes it raw" \
    has "$C" "<- \{type=OFPT_ECHO_REQUEST, length=16"
check "agent receives the 16-byte echo reply" has "$A" "<- \{type=OFPT_ECHO_REPLY, length=16"
check "agent logs into its file" has "$WORK/agent.log" "INFO .*Connect successfull to 127.0.0.1:$port"

# Both captures hold exactly the messages each program printed, in both directions.
if command -v tshark >/dev/null; then
    for who in ctl agent; do
        out=$WORK/$who.out
        tshark -r "$WORK/$who.pcap" -d "tcp.port==$port,openflow" -T fields \
            -e openflow_v4.type 2>/dev/null | grep -v '^$' >"$WORK/$who.types"
        printed=$(grep -cE '^[0-9.]+:[0-9]+ (->|<-) \{type=' "$out")
        check "$who capture holds all $printed printed messages" [ "$(wc -l <"$WORK/$who.types")" = "$printed" ]
        malformed=$(tshark -r "$WORK/$who.pcap" -d "tcp.port==$port,openflow" -Y _ws.malformed 2>/dev/null | wc -l)
        check "$who capture has no malformed message" [ "$malformed" = 0 ]
        # Sequence numbers that do not add up show as lost, retransmitted or out-of-order.
        seqfaults=$(tshark -r "$WORK/$who.pcap" -Y tcp.analysis.flags 2>/dev/null | wc -l)
        check "$who capture has consistent TCP sequence numbers" [ "$seqfaults" = 0 ]
        for t in 0 2 3 4 5 6 10 11 12 14 18 19 20 21; do
            check "$who capture holds OpenFlow type $t" grep -qx "$t" "$WORK/$who.types"
        done
    done
    # tshark as an independent reader of a few fields.
    field() { tshark -r "$WORK/ctl.pcap" -d "tcp.port==$port,openflow" -Y "$1" -T fields \
        -E aggregator=, "${@:2}" 2>/dev/null; }
    check "tshark reads the features reply's dpid" \
        [ "$(field openflow_v4.type==6 -e openflow_v4.switch_features.datapath_id)" = 0x000000000000002a ]
    check "tshark reads the showcase flow: 5 OXM fields, set-field/output/experimenter actions" \
        grep -qx $'100\t0,5,10,12,14,3\t25,0,65535' <<<"$(field openflow_v4.type==14 \
        -e openflow_v4.flowmod.priority -e openflow_v4.oxm.field -e openflow_v4.action.type)"
    check "tshark reads the flow-removed reason and cookie" \
        [ "$(field openflow_v4.type==11 -e openflow_v4.flow_removed.reason -e openflow_v4.flow_removed.cookie)" = $'1\t0x0000000000001234' ]
else
    echo "SKIP: tshark is not installed: captures not checked"
fi
finish
