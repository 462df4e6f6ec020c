#!/bin/sh
# Regenerates ovs_flows.txt: one "flow<TAB>hex" line per flow, the hex being the
# OpenFlow 1.3 flow-mod that Open vSwitch's ovs-ofctl builds for the flow.
set -eu
out="$(dirname "$0")/ovs_flows.txt"
command -v ovs-ofctl >/dev/null || { echo "ovs-ofctl not found" >&2; exit 1; }
: >"$out.tmp"
while IFS= read -r flow; do
    [ -z "$flow" ] && continue
    hex=$(ovs-ofctl -O OpenFlow13 -mmmmm parse-flow "$flow" | grep -E '^[0-9a-f]{8}  ' |
        cut -c11-58 | tr -d ' \n-')
    [ -n "$hex" ] || { echo "no bytes for: $flow" >&2; exit 1; }
    printf '%s\t%s\n' "$flow" "$hex" >>"$out.tmp"
done <<'FLOWS'
in_port=1,actions=output:2
in_port=3,ip,nw_src=10.0.0.0/8,actions=output:2
dl_dst=01:02:03:04:05:06,actions=output:1
dl_src=00:11:22:33:44:55/ff:ff:ff:00:00:00,actions=output:3
dl_dst=01:00:00:00:00:00/01:00:00:00:00:00,actions=drop
ip,nw_dst=192.168.1.1,actions=output:4
tcp,tp_src=80,tp_dst=8080,actions=output:5
udp,tp_dst=53,actions=output:6
icmp,icmp_type=8,icmp_code=0,actions=output:1
ipv6,ipv6_src=2001:db8::1,actions=output:2
ipv6,ipv6_dst=2001:db8::/32,actions=output:3
icmp6,icmp_type=128,icmp_code=0,actions=output:1
metadata=0x10,actions=output:1
metadata=0x10/0xff,actions=output:1
in_port=1,actions=set_field:00:00:00:00:00:01->eth_dst,output:2
actions=set_field:aa:bb:cc:dd:ee:ff->eth_src,output:3
dl_vlan=5,actions=set_field:4103->vlan_vid,output:1
dl_vlan=5,actions=set_field:3->vlan_pcp,output:1
ip,actions=set_field:46->ip_dscp,output:1
ip,actions=set_field:1->ip_ecn,output:1
priority=100,cookie=0x1234,idle_timeout=10,hard_timeout=20,tcp,nw_src=10.1.0.0/16,nw_dst=10.2.3.4,tp_dst=22,actions=output:7
table=3,in_port=2,actions=output:controller
udp,tp_src=1000,actions=output:1,output:2
ip,nw_proto=17,nw_src=172.16.0.1,actions=output:9
dl_type=0x0806,dl_src=02:00:00:00:00:09,actions=output:4
tcp6,ipv6_src=fe80::/10,tp_dst=443,actions=output:2
FLOWS
mv "$out.tmp" "$out"
