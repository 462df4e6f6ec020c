#!/bin/bash
# ovs-testcontroller as the controller, ofagentd as the switch: the handshake, SET_CONFIG and
# the table-miss FLOW_MOD are decoded and installed in the agent's flow table; a simulated
# packet then reaches the controller as a PACKET_IN. Then the same over TLS: ovs-testcontroller
# on pssl: with a throw-away CA made here, ofagentd with --tls.
. "$(dirname "$0")/lib.sh"
need ovs-testcontroller openssl

# run_case NAME CONTROLLER_TARGET AGENT_OPTIONS...
run_case() {
    local name=$1 target=$2
    shift 2
    local A=$WORK/agent_$name.out
    start "tc_$name" ovs-testcontroller -O OpenFlow13 "$target" --unixctl="$WORK/tc_$name.ctl" \
        "${TC_TLS[@]}"
    sleep 0.5
    start "agent_$name" "$BIN/ofagentd" --controller "127.0.0.1:$port" --events 1 --ports 2 \
        --backoff-min 200 --backoff-max 1000 --log "$WORK/agent_$name.log" "$@"
    wait_for "$A" "packet on port[0-9]: to the controller" 15
    sleep 1
    stop "agent_$name"
    stop "tc_$name"
    check "$name: agent connects to ovs-testcontroller" has "$A" "^connected to controller 127.0.0.1:$port"
    check "$name: hello and features request decoded, features reply sent" \
        has "$A" "-> \{type=OFPT_FEATURES_REPLY, length=32.*dpid=0x1"
    check "$name: SET_CONFIG decoded (miss_send_len 128)" has "$A" "^config set: flags=0x0 miss_send_len=128"
    check "$name: the table-miss flow is installed in the agent's table" \
        has "$A" "^flow added: .*prio=0,.*match=\{oxm\{\}.*OFPAT_OUTPUT\{port=4294967293, max_len=128\}"
    check "$name: a simulated packet goes to the controller as a PACKET_IN" \
        has "$A" "-> \{type=OFPT_PACKET_IN, length=[0-9]+.*tlen=60, reas=0"
    check "$name: what the agent cannot decode is answered with an error" \
        bash -c "! grep -q '(refused' '$A' || grep -q -e '-> {type=OFPT_ERROR' '$A'"
    check "$name: agent exits 0" [ "$(eval echo \$STATUS_agent_$name)" = 0 ]
}

port=$(free_port)
TC_TLS=()
run_case tcp "ptcp:$port:127.0.0.1"

# TLS: a CA, a controller certificate and an agent certificate, all throw-away.
if ! "$BIN/ofagentd" --help 2>&1 | grep -q -- "--tls"; then
    echo "SKIP: this ofagentd is built without TLS: the TLS case is not run"
    finish
fi
cd "$WORK" || exit 1
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=ofagent-test-ca \
    -keyout ca.key -out ca.pem 2>/dev/null
for who in ctl agent; do
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$who" -keyout "$who.key" -out "$who.csr" \
        2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1\n' >ext.cnf
    openssl x509 -req -in "$who.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 \
        -extfile ext.cnf -out "$who.pem" 2>/dev/null
done
cd - >/dev/null || exit 1
port=$(free_port)
TC_TLS=(--private-key="$WORK/ctl.key" --certificate="$WORK/ctl.pem" --ca-cert="$WORK/ca.pem")
run_case tls "pssl:$port:127.0.0.1" --tls "$WORK/agent.pem" "$WORK/agent.key" "$WORK/ca.pem"
check "tls: the agent logged a completed TLS handshake" has "$WORK/agent_tls.log" "wolfSSL_connect successful"
check "tls: the agent connected over TLS" has "$WORK/agent_tls.out" "^connecting to 127.0.0.1:$port \(TLS\)"
finish
