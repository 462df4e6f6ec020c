#!/bin/bash
# ofagentd when the controller misbehaves: it keeps retrying a controller that is not there
# (with growing, jittered delays), connects once one appears, reconnects after the controller
# goes away, and drops a controller that accepts the connection but never answers its echo
# requests.
. "$(dirname "$0")/lib.sh"
[ -x "$PY" ] || skip "$PY is not installed"

port=$(free_port)
A=$WORK/agent.out
start agent "$BIN/ofagentd" --controller "127.0.0.1:$port" --backoff-min 100 --backoff-max 800 \
    --echo-interval 1
wait_for "$A" "reconnecting to .* in" 5
sleep 2.5
delays=$(grep -oE 'reconnecting to [0-9.:]+ in [0-9]+ ms' "$A" | awk '{print $5}')
echo "    retry delays (ms): $(echo $delays)"
check "retries while nobody listens" [ "$(wc -l <<<"$delays")" -ge 4 ]
check "retry delays stay within the backoff bounds" \
    bash -c "for d in $(echo $delays); do [ \$d -ge 50 ] && [ \$d -le 800 ] || exit 1; done"
check "retry delays grow (backoff) to the cap" bash -c "[ $(tail -n1 <<<"$delays") -ge 400 ]"

start ctl "$BIN/ofcontroller" --listen "127.0.0.1:$port"
check "connects once a controller listens" wait_for "$A" "^connected to controller" 5
check "the controller completes its handshake" wait_for "$WORK/ctl.out" "<- \{type=OFPT_FEATURES_REPLY" 5
stop ctl
check "notices the controller going away" wait_for "$A" "disconnected$" 5
start ctl2 "$BIN/ofcontroller" --listen "127.0.0.1:$port"
check "reconnects to the restarted controller" wait_for "$WORK/ctl2.out" "<- \{type=OFPT_FEATURES_REPLY" 10
first_retry_after_drop() {
    awk '/disconnected$/ { seen = 1 } seen && /^reconnecting/ { print $(NF - 1); exit }' "$A"
}
check "the backoff restarted small after the successful connection" \
    [ "$(first_retry_after_drop)" -le 100 ]
stop ctl2

# A controller that accepts and then stays silent.
start silent "$PY" -c '
import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(4)
conns = []
while True:
    c, _ = s.accept(); conns.append(c); print("accepted", flush=True)
' "$port"
check "connects to the silent controller" wait_for "$WORK/silent.out" "accepted" 10
check "sends echo requests to the silent controller" \
    wait_for "$A" "-> \{type=OFPT_ECHO_REQUEST, length=16" 5
check "drops the silent controller after three echo intervals" \
    wait_for "$A" "controller silent for [0-9]+ ms: dropping the connection" 6
check "and tries again" wait_count "$WORK/silent.out" "accepted" 2 5
stop silent
stop agent
check "agent exits 0" [ "$STATUS_agent" = 0 ]
finish
