#!/bin/bash
# ovs-testcontroller as the controller, ofagentd as the switch.
#  - Offering OpenFlow 1.3 and 1.4 (a version-5 HELLO with a version bitmap), as a MAC-learning
#    switch: the session completes, the table-miss flow is installed, its PACKET_OUTs (its
#    answers to simulated packets) are sent out of the simulated ports, and once it has learnt
#    where the hosts are it installs flows that forward later packets in the agent. The agent is then killed with SIGKILL: its --pcap capture holds everything so
#    far.
#  - Offering only OpenFlow 1.0: the agent answers HELLO_FAILED/INCOMPATIBLE (seen by tshark
#    in its capture).
#  - Over TLS (pssl: with a throw-away CA made here): the session completes, and a clean stop
#    ends it with close_notify; a controller certificate from another CA fails verification.
. "$(dirname "$0")/lib.sh"
need ovs-testcontroller openssl

# tc NAME PROTOCOLS ptcp|pssl [OPTIONS...]: ovs-testcontroller on a new $port, once it listens.
tc() {
    local name=$1 protocols=$2 kind=$3
    shift 3
    port=$(free_port)
    start "$name" ovs-testcontroller -O "$protocols" "$kind:$port:127.0.0.1" \
        --unixctl="$WORK/$name.ctl" "$@"
    within 10 listens "$port"
}

# ---- 1.3 and 1.4 offered, learning switch, SIGKILL
# The learnt flows match in_port and the MAC addresses only (-w: the codec's match has no VLAN
# fields, which ovs-testcontroller's exact-match flows include).
A=$WORK/agent.out
tc tc OpenFlow13,OpenFlow14 ptcp -w0x3820F2
start agent "$BIN/ofagentd" --controller "127.0.0.1:$port" --ports 3 --pcap "$WORK/agent.pcap" \
    --trace
check "1.3+1.4: the session is established" \
    wait_for "$A" "${L}session with controller 127.0.0.1:$port established" 10
for i in 1 2 3 4 5 6 7 8; do
    kill -USR1 "$PID_agent"
    sleep 0.25
done
wait_for "$A" "${L}packet on port[0-9]: forwarded to port[0-9]" 5
kill -KILL "$PID_agent"
check "1.3+1.4: the controller's HELLO is version 5 with a bitmap offering 1.3 and 1.4" \
    [ "$(fields "$WORK/agent.pcap" "$port" "tcp.srcport==$port && openflow_v5.type==0" \
        openflow_v5.hello_element.version.bitmap)" = 00000030 ]
check "1.3+1.4: the table-miss flow is installed" \
    has "$A" "${L}flow added: .*prio=0,.*match=\{oxm\{\}.*OFPAT_OUTPUT\{port=4294967293, max_len=128\}"
check "learning switch: its PACKET_OUTs go out of the simulated ports" \
    has "$A" "${L}packet-out from 127.0.0.1:$port \(60 bytes, in_port [0-9]\): sent to port[0-9]"
check "learning switch: it installs a flow for a learnt host" \
    has "$A" "${L}flow added: .*OXM_OF_IN_PORT.*OXM_OF_ETH_DST, value= 02:00:00:00:00:0[1-3]"
check "learning switch: a later packet is forwarded by that flow, not sent up" \
    has "$A" "${L}packet on port[0-9]: forwarded to port[0-9]"
check "learning switch: nothing it sent was refused" bash -c "! grep -q '(refused' '$A'"
# After SIGKILL: every traced message is in the capture, which tshark reads whole.
printed=$(grep -cE "${L}[0-9.]+:[0-9]+ (->|<-) \{type=" "$A")
# (Port 0: read as plain TCP, as the frames inside packet-ins hold TCP too.)
check "SIGKILL: the capture holds all $printed traced messages" \
    [ "$(frames "$WORK/agent.pcap" 0 'tcp.len>0')" = "$printed" ]
check "SIGKILL: ... among them PACKET_OUT and the learnt FLOW_MOD" \
    [ "$(frames "$WORK/agent.pcap" "$port" 'openflow_v4.type==13 || openflow_v4.type==14')" -ge 3 ]
check "SIGKILL: the capture has no malformed frame" \
    [ "$(frames "$WORK/agent.pcap" "$port" _ws.malformed)" = 0 ]
stop tc

# ---- Only 1.0 offered
A=$WORK/agent10.out
tc tc10 OpenFlow10 ptcp
start agent10 "$BIN/ofagentd" --controller "127.0.0.1:$port" --pcap "$WORK/agent10.pcap"
check "1.0 only: the agent reports why the negotiation failed" \
    wait_for "$A" "${L}127.0.0.1:$port: version negotiation failed: we support version 0x04 \(OpenFlow 1.3\) only, the peer supports version 0x01" 10
stopped agent10 "1.0 only: the agent"
stop tc10
# The error goes in the controller's own version (1.0), whose dissector shows the type only:
# its error type and code are read from the payload (bytes 8 to 11).
errors=$(fields "$WORK/agent10.pcap" "$port" "tcp.dstport==$port && openflow_1_0.type==1" tcp.payload)
check "1.0 only: tshark sees OFPT_ERROR HELLO_FAILED/INCOMPATIBLE from the agent" \
    bash -c "[ -n '$errors' ] && ! grep -vqE '^0101[0-9a-f]{12}00000000' <<<'$errors'"

# ---- cpp_agent (the C++ example host, over ofagent.hpp alone) as the switch. Offered 1.3 and 1.4
# it negotiates 1.3, answers the features request and keeps the table-miss flow; its PACKET_INs
# make the learning controller install a flow per learnt host, which it keeps once each; it
# connects again after losing the controller. Offered 1.0 only, it says why it cannot talk.
# Its echo answers are hostile_peer.py's (ovs-testcontroller does not probe a busy switch).
if [ -x "$BIN/cpp_agent" ]; then
    A=$WORK/cpp_agent.out
    tc tc_cpp OpenFlow13,OpenFlow14 ptcp -w0x3820F2
    start cpp_agent "$BIN/cpp_agent" --controller "127.0.0.1:$port" --interval 200
    check "cpp_agent: the session is established" \
        wait_for "$A" "${L}session with the controller established" 10
    check "cpp_agent: the table-miss flow is kept" \
        has "$A" "${L}flow-mod: .*prio=0,.*OFPAT_OUTPUT\{port=4294967293, max_len=128\}"
    check "cpp_agent: its PACKET_INs make the controller install two learnt flows" \
        wait_for "$A" "${L}flows: 3$" 10
    check "  ... matching the learnt hosts' addresses" \
        has "$A" "${L}flow-mod: .*OXM_OF_ETH_DST, value= 02:00:00:00:00:0[12]"
    sleep 1
    check "  ... each kept once however often it comes again" bash -c "! grep -q 'flows: 4' '$A'"
    check "cpp_agent: the controller's PACKET_OUTs arrive" has "$A" "${L}packet-out of [0-9]+ bytes"
    check "cpp_agent: nothing the controller sent was refused" bash -c "! grep -q ' ERRS ' '$A'"
    stop tc_cpp
    check "cpp_agent: a lost controller is connected again" \
        wait_for "$A" "${L}no controller session: connecting again in 1 s" 5
    stop cpp_agent
    check "cpp_agent: exits 0 on SIGTERM, with its 3 flows" \
        bash -c "[ '$STATUS_cpp_agent' = 0 ] && grep -qE '${L}stopped with 3 flows' '$A'"

    tc tc_cpp10 OpenFlow10 ptcp
    start cpp_agent10 "$BIN/cpp_agent" --controller "127.0.0.1:$port"
    check "cpp_agent, 1.0 only: says why it cannot talk" wait_for "$WORK/cpp_agent10.out" \
        "${L}version negotiation failed: the controller's version is 0x01" 5
    stop cpp_agent10
    stop tc_cpp10

    port=$(free_port)
    start echo_peer "$PY" "$(dirname "$0")/hostile_peer.py" "$port" normal
    wait_for "$WORK/echo_peer.out" listening 5
    start cpp_agent_echo "$BIN/cpp_agent" --controller "127.0.0.1:$port" --interval 0
    check "cpp_agent answers echo requests of 16 and 24 bytes (raw and through the codec)" \
        wait_for "$WORK/echo_peer.out" "^ok   - connection 1 \(normal\)" 10
    stop cpp_agent_echo
fi

# ---- TLS: a CA, a controller certificate and an agent certificate, all throw-away.
if ! "$BIN/ofagentd" --version | grep -q "TLS: wolfSSL"; then
    echo "SKIP: this ofagentd is built without TLS: the TLS cases are not run"
    finish
fi
tls_certs || { FAILED=1; finish; }
TLS=(--private-key="$WORK/ctl.key" --certificate="$WORK/ctl.pem" --ca-cert="$WORK/ca.pem")

A=$WORK/agent_tls.out
tc tc_tls OpenFlow13 pssl "${TLS[@]}" -vstream_ssl:dbg
start agent_tls "$BIN/ofagentd" --controller "127.0.0.1:$port" \
    --tls "$WORK/agent.pem" "$WORK/agent.key" "$WORK/ca.pem"
check "tls: the session is established" \
    wait_for "$A" "${L}session with controller 127.0.0.1:$port established" 10
check "tls: the agent connected over TLS" has "$A" "${L}connecting to 127.0.0.1:$port \(TLS\)"
stopped agent_tls "tls: the agent"
check "tls: a clean stop sends close_notify (the controller's TLS log)" \
    wait_for "$WORK/tc_tls.out" "<--ssl:127.0.0.1:[0-9]+ alert: warning, close_notify" 5
stop tc_tls

# A CA that did not sign the controller's certificate: the handshake fails and the library
# ends the process (status 0: a supervisor restarts it) with wolfSSL's reason on stderr.
tc tc_bad OpenFlow13 pssl "${TLS[@]}"
timeout 60 "$BIN/ofagentd" --controller "127.0.0.1:$port" \
    --tls "$WORK/agent.pem" "$WORK/agent.key" "$WORK/other.pem" >"$WORK/bad.out" 2>"$WORK/bad.err"
rc=$?
stop tc_bad
check "failed verification: the process ends (status $rc, the library's exit(0))" [ "$rc" = 0 ]
check "  ... with wolfSSL's reason on stderr" \
    has "$WORK/bad.err" "${L}ERRS ofclient_connected:[0-9]+ wolfSSL_connect: error \"certificate verify failed\(-188\)\""
finish
