#!/bin/bash
# ofagentd when the controller misbehaves: it keeps retrying a controller that is not there
# (with growing delays, jittered differently by two agents started together), connects once one
# appears, reconnects after the controller goes away, keeps backing off from a controller that
# accepts connections but never completes the features exchange, and drops a controller that
# accepts the connection but never answers its echo requests.
. "$(dirname "$0")/lib.sh"
[ -x "$PY" ] || skip "$PY is not installed"

# delays FILE [FIRST_LINE]: the reconnect delays the agent announced, in ms, one per line.
delays() {
    tail -n +"${2:-1}" "$1" | grep -oE 'reconnecting to [0-9.:]+ in [0-9]+ ms' | awk '{print $5}'
}
# A TCP server on PORT that accepts and then closes at once (MODE close) or stays silent.
SERVER='
import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(4)
conns = []
while True:
    c, _ = s.accept(); print("accepted", flush=True)
    if sys.argv[2] == "close": c.close()
    else: conns.append(c)
'

port=$(free_port)
A=$WORK/agent.out
start agent "$BIN/ofagentd" --controller "127.0.0.1:$port" --backoff-min 100 --backoff-max 800 \
    --echo-interval 1 --trace
start twin "$BIN/ofagentd" --controller "127.0.0.1:$port" --backoff-min 100 --backoff-max 800
wait_for "$A" "reconnecting to .* in" 5
sleep 2.5
d=$(delays "$A")
echo "    retry delays (ms): $(echo $d); its twin's: $(echo $(delays "$WORK/twin.out"))"
check "retries while nobody listens" [ "$(wc -l <<<"$d")" -ge 4 ]
check "retry delays stay within the backoff bounds" \
    bash -c "for d in $(echo $d); do [ \$d -ge 50 ] && [ \$d -le 800 ] || exit 1; done"
check "retry delays grow (backoff) to the cap" bash -c "[ $(tail -n1 <<<"$d") -ge 400 ]"
check "two agents started together draw different delays (jitter seeded per process)" \
    [ "$(echo $d)" != "$(echo $(delays "$WORK/twin.out"))" ]
stop twin

start ctl "$BIN/ofcontroller" --listen "127.0.0.1:$port" --trace
check "connects once a controller listens" wait_for "$A" "${L}connected to controller" 5
check "the controller completes its handshake" wait_for "$WORK/ctl.out" "<- \{type=OFPT_FEATURES_REPLY" 5
stop ctl
check "notices the controller going away" wait_for "$A" "disconnected$" 5
start ctl2 "$BIN/ofcontroller" --listen "127.0.0.1:$port" --trace
check "reconnects to the restarted controller" wait_for "$WORK/ctl2.out" "<- \{type=OFPT_FEATURES_REPLY" 10
first_retry_after_drop() {
    awk '/disconnected$/ { seen = 1 } seen && / reconnecting to / { print $(NF - 1); exit }' "$A"
}
check "the backoff restarted small after the established session" \
    [ "$(first_retry_after_drop)" -le 100 ]
stop ctl2

# A controller that accepts and closes at once: every TCP connect succeeds, no features
# exchange ever completes, so the delays keep growing instead of restarting at each connect.
from=$(($(wc -l <"$A") + 1))
start slammer "$PY" -c "$SERVER" "$port" close
sleep 2.5
stop slammer
d=$(delays "$A" "$from")
echo "    retry delays against a controller that closes at once (ms): $(echo $d)"
check "connects to the controller that closes at once" wait_count "$WORK/slammer.out" "accepted" 3 1
check "  ... and still backs off: the delays grow to the cap" bash -c "[ $(tail -n1 <<<"$d") -ge 400 ]"

# A controller that accepts and then stays silent.
start silent "$PY" -c "$SERVER" "$port" silent
check "connects to the silent controller" wait_for "$WORK/silent.out" "accepted" 10
check "sends echo requests to the silent controller" \
    wait_for "$A" "-> \{type=OFPT_ECHO_REQUEST, length=16" 5
check "drops the silent controller after three echo intervals" \
    wait_for "$A" "controller silent for [0-9]+ ms: dropping the connection" 6
check "and tries again" wait_count "$WORK/silent.out" "accepted" 2 5
stop silent
stopped agent
finish
