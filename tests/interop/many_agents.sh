#!/bin/bash
# One ofcontroller, 25 ofagentd processes at once: every agent completes the handshake and
# gets its two flows, the controller tells the agents apart, and all of them leave cleanly.
# The agents run as an operator runs them: their consoles hold status lines only.
. "$(dirname "$0")/lib.sh"
N=25
port=$(free_port)
listening ctl "$BIN/ofcontroller" --listen "127.0.0.1:$port" --trace
for i in $(seq 1 $N); do
    start "agent$i" "$BIN/ofagentd" --controller "127.0.0.1:$port" --dpid "$(printf '%x' "$i")"
done
C=$WORK/ctl.out
check "all $N agents connect" wait_count "$C" "${L}agent .* connected$" $N 20
check "all $N features replies are decoded" wait_count "$C" "<- \{type=OFPT_FEATURES_REPLY" $N 20
check "each agent has its own dpid" \
    [ "$(grep -oE 'OFPT_FEATURES_REPLY.*dpid=0x[0-9a-f]+' "$C" | grep -oE 'dpid=0x[0-9a-f]+' | sort -u | wc -l)" = $N ]
check "all $N barriers are answered" wait_count "$C" "<- \{type=OFPT_BARRIER_REPLY" $N 20
installed=0
for i in $(seq 1 $N); do
    [ "$(count "$WORK/agent$i.out" "${L}flow added:")" = 2 ] && installed=$((installed + 1))
done
check "every agent installed both flows" [ "$installed" = $N ]
check "without --trace or --log-level, no agent prints a message or a library line" \
    bash -c "! cat '$WORK'/agent*.out | grep -qE '(->|<-) \{type=| (ERRS|INFO|DBUG) '"
clean=0
for i in $(seq 1 $N); do
    stop "agent$i"
    eval "[ \"\$STATUS_agent$i\" = 0 ]" && clean=$((clean + 1))
done
check "every agent exits 0" [ "$clean" = $N ]
check "the controller saw every agent leave" wait_count "$C" "${L}agent .* disconnected$" $N 10
stopped ctl controller
finish
