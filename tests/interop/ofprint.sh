#!/bin/bash
# ofprint, the codec's one-line text of every message in a capture or in hex:
#  - On the demo's capture (scripts/demo.sh, run from a copy that leaves demo.pcap here) it
#    prints the messages ofcontroller traced, in the same order and with the same text; where
#    the controller sent bytes it built itself and so printed without a body, ofprint's line
#    starts with the controller's text and goes on with the decoded body.
#  - The same capture as pcapng prints the same; --port keeps the streams with that port.
#  - Hex arguments and hex lines on stdin, several messages to a run; refusals by status name;
#    the command line's refusals.
. "$(dirname "$0")/lib.sh"
[ -x "$BIN/ofprint" ] || skip "there is no ofprint in $BIN"
root=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$WORK/scripts"
cp "$root/scripts/demo.sh" "$WORK/scripts/"
DEMO_SECONDS=5 bash "$WORK/scripts/demo.sh" "$(dirname "$BIN")" >"$WORK/demo.out" 2>&1
check "the demo runs and leaves its capture" [ -s "$WORK/demo.pcap" ]
port=$(sed -nE 's/^== ofcontroller on 127\.0\.0\.1:([0-9]+),.*/\1/p' "$WORK/demo.out")

grep -E "${L}[0-9.]+:[0-9]+ (->|<-) \{type=" "$WORK/demo.out" |
    sed -E 's/^[^ ]+ [^ ]+ (->|<-) //' >"$WORK/traced"
"$BIN/ofprint" "$WORK/demo.pcap" >"$WORK/printed.lines" 2>"$WORK/printed.err"
check "ofprint reads the capture (exit 0, nothing on stderr)" \
    bash -c "[ $? = 0 ] && [ ! -s '$WORK/printed.err' ]"
check "every line: time (UTC, microseconds), addresses, status, text" bash -c "! grep -vE \
    '^[0-9-]{10}T[0-9:]{8}\.[0-9]{6}Z 127\.0\.0\.1:[0-9]+ > 127\.0\.0\.1:[0-9]+ [A-Z_a-z]+ \{type=' \
    '$WORK/printed.lines'"
sed -E 's/^[^ ]+ [^ ]+ > [^ ]+ [^ ]+ //' "$WORK/printed.lines" >"$WORK/printed"
n=$(wc -l <"$WORK/traced")
check "as many messages as the controller traced ($n)" [ "$(wc -l <"$WORK/printed")" = "$n" ]
paste -d '\n' "$WORK/traced" "$WORK/printed" | awk '
    NR % 2 { traced = $0; next }
    $0 == traced { same++; next }
    traced ~ /^\{type=[A-Z_]+, length=[0-9]+, xid = -?[0-9]+\}$/ && index($0, traced) == 1 { more++; next }
    { bad++; print "traced:  " traced; print "printed: " $0 }
    END { printf "%d the same, %d with the body the controller did not print, %d different\n",
          same, more, bad; exit bad > 0 || same < 20 }' >"$WORK/compare"
compared=$?
sed 's/^/    /' "$WORK/compare"
check "each with the text the controller traced" [ "$compared" = 0 ]
check "the decode status names the codec's refusals" \
    bash -c "grep -q ' UNHANDLED_TYPE {type=OFPT_BARRIER_REPLY' '$WORK/printed.lines' &&
             grep -q ' BAD_LEN {type=OFPT_FLOW_REMOVED' '$WORK/printed.lines'"
"$BIN/ofprint" --port "$port" "$WORK/demo.pcap" >"$WORK/port.lines"
check "--port $port (the controller's) keeps every message" cmp -s "$WORK/port.lines" "$WORK/printed.lines"
check "--port 1 keeps none" [ -z "$("$BIN/ofprint" --port 1 "$WORK/demo.pcap")" ]
if command -v tshark >/dev/null; then
    tshark -r "$WORK/demo.pcap" -F pcapng -w "$WORK/demo.pcapng" 2>/dev/null
    check "the capture as pcapng prints the same" \
        bash -c "'$BIN/ofprint' '$WORK/demo.pcapng' | cmp -s - '$WORK/printed.lines'"
fi
# A live capture of a session (as root, with tshark): real TCP, ACKs and FINs included.
if command -v tshark >/dev/null && [ "$(id -u)" = 0 ]; then
    live=$(free_port)
    start live_capture tshark -i lo -f "tcp port $live" -w "$WORK/live.pcapng"
    wait_for "$WORK/live_capture.out" "Capture started" 10
    listening live_ctl "$BIN/ofcontroller" --listen "127.0.0.1:$live" --trace
    start live_agent "$BIN/ofagentd" --controller "127.0.0.1:$live"
    # The session's last answers are the two tunnel replies.
    wait_count "$WORK/live_ctl.out" "<- \{type=OFPT_EXPERIMENTER" 2 10
    stop live_agent
    stop live_ctl
    traced=$(grep -cE "${L}[0-9.]+:[0-9]+ (->|<-) \{type=" "$WORK/live_ctl.out")
    # tshark writes each packet as it comes: stop it once both FINs, the last packets, are in.
    within 5 eval '[ "$(frames "$WORK/live.pcapng" "$live" tcp.flags.fin==1)" -ge 2 ]'
    stop live_capture
    "$BIN/ofprint" "$WORK/live.pcapng" >"$WORK/live.lines" 2>"$WORK/live.err"
    check "a live capture: the $traced messages the controller traced, nothing on stderr" \
        bash -c "[ \$(wc -l <'$WORK/live.lines') = $traced ] && [ ! -s '$WORK/live.err' ]"
fi
head -c 3000 "$WORK/demo.pcap" >"$WORK/cut.pcap"
"$BIN/ofprint" "$WORK/cut.pcap" >"$WORK/cut.lines" 2>"$WORK/cut.err"
check "a capture cut short: exit 1 with the reason, after the messages before the cut" \
    bash -c "[ $? = 1 ] && grep -q 'a record runs past the end' '$WORK/cut.err' &&
             [ \$(wc -l <'$WORK/cut.lines') -gt 5 ] && cmp -s '$WORK/cut.lines' <(head -n \$(wc -l <'$WORK/cut.lines') '$WORK/printed.lines')"

# ---- Hex
check "a hello in hex" [ "$("$BIN/ofprint" 0400000800000005)" = "ok {type=OFPT_HELLO, length=8, xid = 5}" ]
check "two messages over three arguments, then a stray byte" [ "$("$BIN/ofprint" '04 14 00 08' \
    '00 00 00 09:04:05:00:08' 00:00:00:01ab)" = "UNHANDLED_TYPE {type=OFPT_BARRIER_REQUEST, length=8, xid = 9}
ok {type=OFPT_FEATURES_REQUEST, length=8, xid = 1}
(1 stray bytes: not a header)" ]
if command -v ovs-ofctl >/dev/null; then
    flow=$(ovs-ofctl -O OpenFlow13 -mmmmm parse-flow 'in_port=1,ip,actions=output:2' |
        grep -E '^[0-9a-f]{8}  ' | cut -c11-58 | tr -d ' \n-')
    check "a flow-mod as ovs-ofctl builds it, with its decoded body" bash -c "'$BIN/ofprint' $flow |
        grep -qE '^ok \{type=OFPT_FLOW_MOD, length=96, xid = 1\}\{.*prio=32768,.*OXM_OF_IN_PORT, value=1\{type=OXM_OF_ETH_TYPE, value=2048\}.*OFPAT_OUTPUT\{port=2,'"
fi
printf '0402001800000007 0000000000000001 0000000000000002\nzz\n\n# a comment\n0400000800000001\n' |
    "$BIN/ofprint" >"$WORK/stdin.out" 2>"$WORK/stdin.err"
check "hex lines on stdin: a bad line is named, exit 1, the others printed" \
    bash -c "[ $? = 1 ] && grep -qx 'ofprint: not hex: zz' '$WORK/stdin.err' &&
             [ \"\$(cat '$WORK/stdin.out')\" = 'ok {type=OFPT_ECHO_REQUEST, length=24, xid = 7}
ok {type=OFPT_HELLO, length=8, xid = 1}' ]"

# ---- The command line
for bad in "--port 0 $WORK/demo.pcap" "--port $port 0400000800000001" "--bogus" "nothex"; do
    cli "$BIN/ofprint" $bad
    check "ofprint $bad: refused with exit 2 and the usage" \
        eval "exits 2 '^Usage: ofprint' && [ ! -s '$WORK/cli.out' ]"
done
cli "$BIN/ofprint" /etc/hostname
check "a file that is no capture: exit 1, saying so" exits 1 'neither a pcap nor a pcapng capture'
check "--version" [ "$("$BIN/ofprint" --version)" = "ofprint (ofagent) $VERSION" ]
finish
