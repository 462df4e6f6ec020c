#!/bin/bash
# Soak: two ofagentd, one plain and one over TLS, each against a controller (hostile_peer.py)
# that misbehaves in turn, mixed with normal sessions: garbage, a truncated message or record
# and then silence, a close in the middle, lengths above the receive buffer and below the
# header, bursts of 1200 messages (under TLS they wait decrypted inside wolfSSL, where the
# socket's readiness does not show them). Every 25th connection and the last hold the session
# a second while the agent's descriptors and resident memory are sampled. Passes when every
# connection was answered as it should and ended with the library's line for its fault, the
# TLS agent did not spin on a half record, the descriptors are the same in the last sample as
# in the first, resident memory does not grow after the first 25 connections, the agents exit
# 0 at SIGTERM and no sanitizer reported anything (run it against an ofagentd built with
# OFAGENT_SANITIZE for that: LeakSanitizer then also checks the exit).
#   controller_soak.sh BIN [CONNECTIONS]   connections per agent, default 50 (about 20 s)
. "$(dirname "$0")/lib.sh"
[ -x "$PY" ] || skip "$PY is not installed"
N=${2:-50}
# ASan's quarantine keeps freed blocks from reuse (up to 256 MiB), so a sanitized process grows
# by design: without it a growing resident size means a leak. A freed block stays poisoned
# until it is reused, so a use after free inside the teardown's own calls is still caught.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=0"
export ASAN_OPTIONS="$ASAN_OPTIONS:thread_local_quarantine_size_kb=0"
HOSTILE=$(dirname "$0")/hostile_peer.py
# 24 connections between samples: every misbehaviour three or four times, one silence (its
# echo timeout costs 4 s).
CYCLE=(normal garbage midclose oversize undersize burst normal garbage truncated midclose oversize
    undersize burst normal garbage midclose oversize undersize burst normal garbage midclose
    undersize normal)
plan=""
for i in $(seq 1 "$N"); do
    if [ $((i % 25)) = 1 ] || [ "$i" = "$N" ]; then
        plan=$plan,hold
    else
        plan=$plan,${CYCLE[$(((i - 1) % 25 - 1))]}
    fi
done
plan=${plan#,}

tls=()
if "$BIN/ofagentd" --version | grep -q "TLS: wolfSSL" && command -v openssl >/dev/null; then
    tls_certs || { FAILED=1; finish; }
    tls=(--tls "$WORK/ctl.pem" "$WORK/ctl.key" "$WORK/ca.pem")
    kinds="plain tls"
else
    echo "SKIP: no TLS in this ofagentd (or no openssl): the plain agent only"
    kinds=plain
fi
for kind in $kinds; do
    port=$(free_port)
    args=()
    [ "$kind" = tls ] && args=("${tls[@]}")
    start "peer_$kind" "$PY" "$HOSTILE" "$port" "$plan" --echo-interval 1 "${args[@]}"
    wait_for "$WORK/peer_$kind.out" listening 5
    # (At debug level, for the lines of reads that would block.)
    [ "$kind" = tls ] && args=(--tls "$WORK/agent.pem" "$WORK/agent.key" "$WORK/ca.pem" \
        --log-level debug)
    start "agent_$kind" "$BIN/ofagentd" --controller "127.0.0.1:$port" "${args[@]}" \
        --rx-buffer 16384 --echo-interval 1 --backoff-min 20 --backoff-max 100
done

# Samples "CONNECTION DESCRIPTORS RSS_KB" of each agent while the peers run.
sample() { # KIND
    local pid
    eval "pid=\$PID_agent_$1"
    echo "$(ls "/proc/$pid/fd" | wc -l) $(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")"
}
declare -A seen
running=1
while [ "$running" = 1 ]; do
    running=0
    for kind in $kinds; do
        eval "peer=\$PID_peer_$kind"
        kill -0 "$peer" 2>/dev/null && running=1
        for n in $(sed -n 's/^holding //p' "$WORK/peer_$kind.out"); do
            [ -n "${seen[$kind$n]:-}" ] && continue
            seen[$kind$n]=1
            echo "$n $(sample "$kind")" >>"$WORK/samples_$kind"
        done
    done
    sleep 0.1
done

for kind in $kinds; do
    eval "wait \$PID_peer_$kind"
    rc=$?
    S=$WORK/samples_$kind
    check "$kind: $N connections, each answered as it should" \
        bash -c "[ $rc = 0 ] && [ \$(grep -c '^ok ' '$WORK/peer_$kind.out') = $N ]"
    grep '^FAIL' "$WORK/peer_$kind.out" | head -5
    fd1="" fdn="" rss2="" rssn=""
    read -r _ fd1 _ < <(head -n1 "$S" 2>/dev/null)
    read -r _ _ rss2 < <(sed -n 2p "$S" 2>/dev/null)
    read -r _ fdn rssn < <(tail -n1 "$S" 2>/dev/null)
    echo "    $kind: descriptors and resident KiB at connections" \
        "$(awk '{ printf "%s%d: %d %d", (NR > 1 ? ", " : ""), $1, $2, $3 }' "$S")"
    check "$kind: as many descriptors at the end as at the start" \
        bash -c "[ -n '$fd1' ] && [ '$fd1' = '$fdn' ]"
    # Flat to the page once warm: a leak of 5 KiB per connection fails the short run, one of
    # about 300 bytes the run of 500.
    check "$kind: resident memory flat after warming up (growth below 128 KiB)" \
        bash -c "[ -n '$rss2' ] && [ \$((${rssn:-0} - ${rss2:-0})) -lt 128 ]"
    stop "agent_$kind"
    check "$kind: agent exits 0" [ "$(eval echo "\$STATUS_agent_$kind")" = 0 ]
    A=$WORK/agent_$kind.out
    check "$kind: no sanitizer report" bash -c "! grep -qE 'Sanitizer|runtime error:' '$A'"
    E="${L}ERRS ofconn_rx:[0-9]+ <127.0.0.1:[0-9]+>"
    check "$kind: a length above the receive buffer ends the connection" has "$A" "$E invalid length: 65527$"
    check "$kind: a length below the header's ends the connection" has "$A" "$E invalid length: -4$"
    check "$kind: a silent controller is dropped" \
        has "$A" "${L}controller silent for [0-9]+ ms: dropping the connection"
    [ "$kind" = tls ] || continue
    check "tls: garbage: wolfSSL refuses it" \
        has "$A" "$E \*+ Remote peer closed the socket - SSL error record layer version error"
    check "tls: a close in a record: the closed transport ends the connection" \
        has "$A" "$E \*+ Remote peer closed the socket - SSL error Peer closed underlying transport"
    # Each read that would block logs a line: a few in a session, hundreds if the agent spun
    # on the half record until the echo timeout dropped it.
    reads=$(awk '/ established$/ { c = 0 } /> socket read failed/ { c++ }
        /controller silent for/ { print c }' "$A" | sort -n | sed -n '1p;$p' | paste -sd' ')
    check "tls: a half record is waited for without spinning (reads that would block: $reads)" \
        bash -c "read -r lo hi <<<'$reads'; [ \"\${lo:-0}\" -ge 1 ] && [ \"\$hi\" -lt 20 ]"
done
finish
