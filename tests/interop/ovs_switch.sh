#!/bin/bash
# Open vSwitch (ovs-vswitchd, dummy datapath) as the switch, ofcontroller as its controller:
# OVS offers OpenFlow 1.3 and 1.4 and the controller negotiates 1.3; the handshake completes,
# the features and port-description replies are decoded, the controller's flow (several OXM
# fields, set-field + output; OVS refuses the vendor action, so the controller installs it
# again without) shows up in dump-flows, a frame injected on p1 arrives as a decoded
# PACKET_IN, and the connection survives OVS's idle echo (8-byte echo requests answered from
# the raw bytes). A second bridge that speaks only OpenFlow 1.0 is refused with HELLO_FAILED.
. "$(dirname "$0")/lib.sh"
need tshark
ovs_start || { echo "cannot start Open vSwitch"; FAILED=1; finish; }

port=$(free_port)
listening ctl "$BIN/ofcontroller" --listen "127.0.0.1:$port" --pcap "$WORK/ctl.pcap" --trace
$VSCTL add-br br0 -- set bridge br0 datapath_type=dummy protocols=OpenFlow13,OpenFlow14 \
    other-config:datapath-id=0000000000000001 -- add-port br0 p1 -- set interface p1 type=dummy \
    ofport_request=1 -- add-port br0 p2 -- set interface p2 type=dummy ofport_request=2 \
    -- set-controller br0 "tcp:127.0.0.1:$port" -- set controller br0 inactivity_probe=5000
C=$WORK/ctl.out
wait_for "$C" "<- \{type=OFPT_BARRIER_REPLY" 15

check "OVS offers 1.3 and 1.4: a version-5 hello" \
    [ "$(frames "$WORK/ctl.pcap" "$port" 'openflow_v5.type==0 && openflow_v5.hello_element.version.bitmap==00:00:00:30')" -ge 1 ]
check "  ... and the controller settles on 1.3: the session is established" \
    has "$C" "${L}agent 127.0.0.1:[0-9]+: session established, dpid 0x0000000000000001, 254 tables"
check "controller decodes OVS's features reply" has "$C" "<- \{type=OFPT_FEATURES_REPLY.*dpid=0x1, buffs=0, tabs=254"
check "controller decodes OVS's port description (p1, p2 and LOCAL)" \
    has "$C" "<- .*OFPMP_PORT_DESC\(13\).*no=4294967294.*name=br0.*no=1,.*name=p1.*no=2,.*name=p2"
check "controller decodes OVS's flow statistics reply" has "$C" "<- .*OFPMP_FLOW\(1\)"
check "OVS refuses the vendor action with an error" has "$C" "refused the showcase flow"

flows=$(timeout 20 ovs-ofctl -O OpenFlow13 dump-flows br0)
echo "$flows" | sed 's/^/    /'
check "the showcase flow is installed in OVS" \
    grep -qE "cookie=0x1234,.*priority=100,tcp,in_port=1?,nw_dst=10.0.0.0/8,tp_dst=80 actions=set_field:02:00:00:00:00:02->eth_dst,output:(\"?p2\"?|2)" <<<"$flows"
check "the table-miss flow is installed in OVS" grep -qE "priority=0 actions=CONTROLLER:65535" <<<"$flows"

# A TCP frame on p1 to 10.0.0.9:443 misses the showcase flow and goes to the controller.
frame=02000000000202000000000108004500002800010000400600000a0000010a000009
frame=${frame}9c4001bb000000000000000050022000000000000000000000000000
$APPCTL netdev-dummy/receive p1 "$frame" >/dev/null
check "an injected frame arrives as a decoded PACKET_IN" \
    wait_for "$C" "<- \{type=OFPT_PACKET_IN.*tlen=62, reas=0, table=0, dlen=62" 10

# Stay idle past OVS's 5 s inactivity probe; OVS would drop us had its echo gone unanswered.
check "OVS's 8-byte echo requests are answered" \
    wait_for "$C" "-> \{type=OFPT_ECHO_REPLY, length=8" 15
sleep 6
check "the connection is still up after the idle probes" bash -c "! grep -q 'disconnected' '$C'"

# A bridge that speaks OpenFlow 1.0 only: refused, and told why.
$VSCTL add-br br1 -- set bridge br1 datapath_type=dummy protocols=OpenFlow10 \
    -- set-controller br1 "tcp:127.0.0.1:$port"
check "a 1.0-only bridge is refused: the controller says why" \
    wait_for "$C" "${L}127.0.0.1:[0-9]+: version negotiation failed: we support version 0x04 \(OpenFlow 1.3\) only, the peer supports version 0x01" 10
check "  ... while br0's session stays up" \
    bash -c "$VSCTL --columns=is_connected list controller | grep -q true"
stopped ctl controller
# (Read once the controller has ended: its capture is then complete.)
check "the 1.0-only bridge got OFPT_ERROR HELLO_FAILED/INCOMPATIBLE in its version (1.0)" \
    grep -qE '^0101[0-9a-f]{12}00000000' <<<"$(fields "$WORK/ctl.pcap" "$port" "tcp.srcport==$port && openflow_1_0.type==1" tcp.payload)"
check "the capture has no malformed message" [ "$(frames "$WORK/ctl.pcap" "$port" _ws.malformed)" = 0 ]
finish
