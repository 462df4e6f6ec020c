#!/bin/bash
# ofagentd against TLS controllers that misbehave once the session is up (hostile_peer.py:
# python's ssl, a throw-away CA): bytes that are no TLS record, half a record and then silence,
# a close in the middle of a record, OpenFlow lengths above the receive buffer and below the
# header, and 1200 messages in two records (all answered: they wait decrypted inside wolfSSL,
# where the socket's readiness does not show them). The agent ends each of those connections
# with the library's line for it, comes back, and holds as many descriptors at the end as at
# the start. (A handshake that stalls is the TlsStall unit test's.)
. "$(dirname "$0")/lib.sh"
[ -x "$PY" ] || skip "$PY is not installed"
tls_certs || { FAILED=1; finish; }
HOSTILE=$(dirname "$0")/hostile_peer.py
TLS=(--tls "$WORK/agent.pem" "$WORK/agent.key" "$WORK/ca.pem")

port=$(free_port)
P=$WORK/peer.out
A=$WORK/agent.out
start peer "$PY" "$HOSTILE" "$port" hold,normal,garbage,truncated,midclose,oversize,undersize,burst,hold \
    --tls "$WORK/ctl.pem" "$WORK/ctl.key" "$WORK/ca.pem" --echo-interval 1
wait_for "$P" listening 5
start agent "$BIN/ofagentd" --controller "127.0.0.1:$port" "${TLS[@]}" --rx-buffer 4096 \
    --echo-interval 1 --backoff-min 20 --backoff-max 100 --log-level debug
fds() { ls "/proc/$PID_agent/fd" | wc -l; }
first="" last=""
wait_for "$P" "^holding 1$" 10 && first=$(fds)
wait_for "$P" "^holding 9$" 30 && last=$(fds)
wait "$PID_peer"
rc=$?
check "the agent answered every scenario as it should" [ "$rc" = 0 ]
sed -n 's/^/    /; /connection/p' "$P"
check "garbage: wolfSSL refuses it and the connection ends" \
    has "$A" "${L}ERRS ofconn_rx:[0-9]+ <127.0.0.1:$port> \*+ Remote peer closed the socket - SSL error record layer version error"
check "truncated record: the agent waits, then drops the silent controller" \
    has "$A" "${L}controller silent for [0-9]+ ms: dropping the connection"
# (Each read that would block logs a line: shown at debug level only.)
reads=$(awk '/ session with controller .* established$/ { n++ } n == 4 && /> socket read failed/ { c++ }
    END { print c + 0 }' "$A")
check "  ... without spinning on the half record ($reads reads that would block)" \
    bash -c "[ $reads -ge 1 ] && [ $reads -lt 20 ]"
check "close in a record: the closed transport ends the connection" \
    has "$A" "${L}ERRS ofconn_rx:[0-9]+ <127.0.0.1:$port> \*+ Remote peer closed the socket - SSL error Peer closed underlying transport"
check "an OpenFlow length above the 4096-byte receive buffer ends the connection" \
    has "$A" "${L}ERRS ofconn_rx:[0-9]+ <127.0.0.1:$port> invalid length: 65527$"
check "an OpenFlow length below the header's ends the connection" \
    has "$A" "${L}ERRS ofconn_rx:[0-9]+ <127.0.0.1:$port> invalid length: -4$"
check "the agent came back after each: 9 sessions established" \
    [ "$(count "$A" "${L}session with controller 127.0.0.1:$port established")" = 9 ]
echo "    agent descriptors: $first in the first session, $last in the last"
check "as many descriptors in the last session as in the first" \
    bash -c "[ -n '${first:-}' ] && [ '${first:-}' = '${last:-}' ]"
stop agent
check "agent exits 0" [ "$STATUS_agent" = 0 ]
finish
