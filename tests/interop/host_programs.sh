#!/bin/bash
# ofcontroller and ofagentd: first their command line (help, version, every refusal with its
# reason and exit status), then a session on loopback, each writing a capture: the handshake,
# multipart requests and replies, flow installation and hard-timeout removal, the vendor
# tunnel and station messages, packet-ins, port status, echo of a non-24-byte request, and a
# clean SIGTERM shutdown. tshark then reads both captures: every message the programs printed
# is in them, nothing is malformed, and each session opens from the side that connected.
. "$(dirname "$0")/lib.sh"

# ---- Command line
refused() { # DESCRIPTION REASON-PATTERN PROGRAM ARGS...: exit 2, the reason on stderr, stdout empty
    local what=$1 why=$2
    shift 2
    cli "$@"
    check "$what: refused with exit 2, saying why ($why)" exits 2 "$why"
    check "  ... and nothing on stdout" [ ! -s "$WORK/cli.out" ]
}
for prog in ofagentd ofcontroller; do
    for flag in -h --help; do
        cli "$BIN/$prog" $flag
        check "$prog $flag: usage on stdout, exit 0" \
            eval "exits 0 && grep -q '^Usage: $prog' '$WORK/cli.out' && [ ! -s '$WORK/cli.err' ]"
    done
    cli "$BIN/$prog" --version
    check "$prog --version: '$prog (ofagent) $VERSION', exit 0" \
        eval "exits 0 && [ \"\$(head -n1 '$WORK/cli.out')\" = '$prog (ofagent) $VERSION' ]"
done
check "ofagentd --help shows the defaults" \
    bash -c "'$BIN/ofagentd' --help | grep -q 'first reconnect delay (default 1000)'"
refused "ofagentd --ports abc" "--ports: 'abc' is not a whole number from 0 to 64" "$BIN/ofagentd" --listen 127.0.0.1:1 --ports abc
refused "ofagentd --ports 65" "--ports: '65' is not a whole number" "$BIN/ofagentd" --listen 127.0.0.1:1 --ports 65
refused "ofagentd --dpid zz" "--dpid: 'zz' is not a datapath id" "$BIN/ofagentd" --listen 127.0.0.1:1 --dpid zz
refused "ofagentd --echo-interval -1" "--echo-interval: '-1' is not a whole number" "$BIN/ofagentd" --listen 127.0.0.1:1 --echo-interval -1
refused "ofagentd --backoff-max below --backoff-min" "--backoff-max \(10\) is below --backoff-min \(20\)" "$BIN/ofagentd" --controller 127.0.0.1:1 --backoff-min 20 --backoff-max 10
refused "ofagentd --rx-buffer 1000" "--rx-buffer: '1000' is not a whole number from 1024 to 65536" "$BIN/ofagentd" --listen 127.0.0.1:1 --rx-buffer 1000
refused "ofagentd --listen-backlog 0" "--listen-backlog: '0' is not a whole number from 1 to 65535" "$BIN/ofagentd" --listen 127.0.0.1:1 --listen-backlog 0
refused "ofagentd --log-level loud" "--log-level: 'loud' is not a log level \(err, info or debug\)" "$BIN/ofagentd" --listen 127.0.0.1:1 --log-level loud
refused "ofagentd --controller without a port" "--controller: '127.0.0.1' is not an IPv4 address and port" "$BIN/ofagentd" --controller 127.0.0.1
refused "ofagentd without --controller or --listen" "nothing to do" "$BIN/ofagentd"
refused "ofagentd --tls with two files" "--tls needs three files" "$BIN/ofagentd" --controller 127.0.0.1:1 --tls a b
refused "ofagentd with an unknown option" "unknown option --bogus" "$BIN/ofagentd" --bogus
refused "ofagentd with a stray argument" "unexpected argument 'extra'" "$BIN/ofagentd" --listen 127.0.0.1:1 extra
refused "ofcontroller without --listen" "--listen IP:PORT is required" "$BIN/ofcontroller"
refused "ofcontroller --count x" "--count: 'x' is not a whole number" "$BIN/ofcontroller" --listen 127.0.0.1:1 --count x
refused "ofcontroller --flow-timeout 70000" "--flow-timeout: '70000' is not a whole number from 0 to 65535" "$BIN/ofcontroller" --listen 127.0.0.1:1 --flow-timeout 70000

# Start-up failures: exit 1 with the reason.
busy=$(free_port)
listening busy "$BIN/ofcontroller" --listen "127.0.0.1:$busy"
for prog in ofagentd ofcontroller; do
    cli "$BIN/$prog" --listen "127.0.0.1:$busy"
    check "$prog on a port in use: exit 1, 'cannot listen on 127.0.0.1:$busy: Address already in use'" \
        exits 1 "^$prog: cannot listen on 127.0.0.1:$busy: Address already in use$"
    for what in "--log:the log file" "--pcap:the capture"; do
        cli "$BIN/$prog" --listen 127.0.0.1:0 "${what%%:*}" "$WORK/no/such/dir/x"
        check "$prog ${what%%:*} in a missing directory: exit 1, with the reason" \
            exits 1 "cannot write ${what#*:} $WORK/no/such/dir/x: No such file or directory"
    done
done
touch "$WORK/key.pem" "$WORK/ca.pem"
cli "$BIN/ofagentd" --controller 127.0.0.1:1 --tls "$WORK/missing.pem" "$WORK/key.pem" "$WORK/ca.pem"
if grep -q "no TLS support" "$WORK/cli.err"; then
    check "ofagentd --tls without TLS in the build: refused with exit 2" exits 2
else
    check "ofagentd --tls with a missing certificate: exit 1, naming the file and why" \
        exits 1 "cannot read the TLS certificate $WORK/missing.pem: No such file or directory"
    cli "$BIN/ofagentd" --controller 127.0.0.1:1 --tls "$WORK/key.pem" "$WORK/key.pem" "$WORK/ca.pem"
    check "ofagentd --tls with a CA file that is no certificate: exit 1, naming it" \
        exits 1 "cannot load the TLS CA certificate $WORK/ca.pem: "
fi

# ---- A session
port=$(free_port)
listening ctl "$BIN/ofcontroller" --listen "127.0.0.1:$port" --pcap "$WORK/ctl.pcap" \
    --flow-timeout 2 --trace
start agent "$BIN/ofagentd" --controller "127.0.0.1:$port" --ports 3 --dpid 2a --events 1 \
    --echo-interval 1 --pcap "$WORK/agent.pcap" --log "$WORK/agent.log" --trace --log-level info
wait_for "$WORK/agent.out" "flow removed \(OFPRR_HARD_TIMEOUT\)" 10
wait_for "$WORK/agent.out" "<- \{type=OFPT_ECHO_REPLY, length=16" 10
kill -HUP "$PID_ctl" "$PID_agent" # a closed terminal must end neither
sleep 0.2
stop agent
sleep 0.3
stop ctl

C=$WORK/ctl.out
A=$WORK/agent.out
check "agent survives SIGHUP and exits 0 on SIGTERM" [ "$STATUS_agent" = 0 ]
check "controller survives SIGHUP and exits 0 on SIGTERM" [ "$STATUS_ctl" = 0 ]
check "controller decodes the features reply with the agent's dpid" has "$C" "<- .*OFPT_FEATURES_REPLY.*dpid=0x2a, buffs=0, tabs=1"
check "controller decodes a port description reply of 3 ports" \
    [ "$(grep 'OFPMP_PORT_DESC' "$C" | grep '<-' | grep -o '{no=' | wc -l)" = 3 ]
check "controller decodes the flow statistics reply" has "$C" "<- .*OFPMP_FLOW\(1\).*num_flows:0"
check "description and port statistics replies arrive (not decoded by the codec)" \
    [ "$(grep -cE '<- \{type=OFPT_MULTIPART_REPLY, length=(1072|352)' "$C")" = 2 ]
check "barrier is answered" has "$C" "<- \{type=OFPT_BARRIER_REPLY, length=8"
check "agent installs the table-miss flow and the showcase flow" [ "$(count "$A" "${L}flow added:")" = 2 ]
check "agent keeps the showcase flow's vendor action" has "$A" "${L}flow added:.*SET_APPID\{appid=7\}"
check "tunnel request answered with the tunnel list" has "$C" "<- .*TUNNEL V4 REPLY tunnels=\{num_tunnels:1\}, \{ \{ tun_index:7, tun_dest_ip:10.0.0.2"
check "station MAC message recorded" has "$A" "stations known: 1"
check "packet-ins reach the controller" has "$C" "<- \{type=OFPT_PACKET_IN, length=[0-9]+.*\{buffer=4294967295, tlen=60"
check "port status reaches the controller" has "$C" "<- \{type=OFPT_PORT_STATUS.*reason=OFPPR_MODIFY"
check "hard timeout removes the flow and tells the controller" has "$C" "${L}agent .*: flow removed \{reason=OFPRR_HARD_TIMEOUT, cookie=0x0000000000001234, priority=100"
check "agent sends a 16-byte echo request when idle; controller echoes it raw" \
    has "$C" "<- \{type=OFPT_ECHO_REQUEST, length=16"
check "agent receives the 16-byte echo reply" has "$A" "<- \{type=OFPT_ECHO_REPLY, length=16"
check "agent logs into its file" has "$WORK/agent.log" "INFO .*Connect successfull to 127.0.0.1:$port"
check "--log-level info: the library's INFO lines on the console, timestamped" \
    has "$A" "${L}INFO ofclient_connected:[0-9]+ Connect successfull to 127.0.0.1:$port$"
check "the controller (default level err) shows no INFO line" bash -c "! grep -q ' INFO ' '$C'"
check "  ... and no ERRS line: a healthy session raises no alarm" bash -c "! grep -q ' ERRS ' '$C'"
check "every console line of both programs starts with its timestamp" \
    bash -c "! grep -hvE '$L' '$A' '$C'"

# Both captures hold exactly the messages each program printed, in both directions.
if command -v tshark >/dev/null; then
    for who in ctl agent; do
        out=$WORK/$who.out
        fields "$WORK/$who.pcap" "$port" openflow_v4 openflow_v4.type >"$WORK/$who.types"
        printed=$(grep -cE "${L}[0-9.]+:[0-9]+ (->|<-) \{type=" "$out")
        check "$who capture holds all $printed printed messages" [ "$(wc -l <"$WORK/$who.types")" = "$printed" ]
        check "$who capture has no malformed message" [ "$(frames "$WORK/$who.pcap" "$port" _ws.malformed)" = 0 ]
        # Sequence numbers that do not add up show as lost, retransmitted or out-of-order.
        check "$who capture has consistent TCP sequence numbers" \
            [ "$(frames "$WORK/$who.pcap" "$port" tcp.analysis.flags)" = 0 ]
        for t in 0 2 3 4 5 6 10 11 12 14 18 19 20 21; do
            check "$who capture holds OpenFlow type $t" grep -qx "$t" "$WORK/$who.types"
        done
        # The agent connected: its SYN goes to the controller's port in both captures. (Port
        # 0: read as plain TCP, as the frames inside packet-ins hold TCP SYNs too.)
        check "$who capture: the session opens with the agent's SYN to port $port" \
            [ "$(fields "$WORK/$who.pcap" 0 'tcp.flags.syn==1 && tcp.flags.ack==0' tcp.dstport)" = "$port" ]
    done
    # tshark as an independent reader of a few fields.
    field() { fields "$WORK/ctl.pcap" "$port" "$@"; }
    check "tshark reads the features reply's dpid" \
        [ "$(field openflow_v4.type==6 openflow_v4.switch_features.datapath_id)" = 0x000000000000002a ]
    check "tshark reads the showcase flow: 5 OXM fields, set-field/output/experimenter actions" \
        grep -qx $'100\t0,5,10,12,14,3\t25,0,65535' <<<"$(field openflow_v4.type==14 \
        openflow_v4.flowmod.priority openflow_v4.oxm.field openflow_v4.action.type)"
    check "tshark reads the flow-removed reason and cookie" \
        [ "$(field openflow_v4.type==11 openflow_v4.flow_removed.reason openflow_v4.flow_removed.cookie)" = $'1\t0x0000000000001234' ]
else
    echo "SKIP: tshark is not installed: captures not checked"
fi
finish
