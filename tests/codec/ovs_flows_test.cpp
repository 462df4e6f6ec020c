// Flow-mods built by Open vSwitch (tests/data/ovs_flows.txt, made by gen_ovs_flows.sh) decode
// to the records their flow texts describe and re-encode to the same bytes, TLV order aside.
#include <algorithm>
#include <fstream>
#include <map>

#include "common/codec_util.hpp"

using namespace codec;

namespace {

struct Expect {
    int32_t status;     // of the whole message
    std::string fixed;  // text of the fixed part when it is not OVS's default add
    std::string match;  // text from "match={" on: the match and the instructions
};

const char kDefaultFixed[] =
    "{table=0, cmd=OFPFC_ADD, cookie=0x0, mask=0x0idle=0, hard=0, prio=32768, buf=4294967295, "
    "port=4294967295, group=4294967295, flags=0x0, ";

// What each flow means in this codec's records, as text. Rows whose match uses a field outside
// the supported subset (dl_vlan) are refused; their actions are checked on an empty match.
const std::map<std::string, Expect> kExpected = {
    {"actions=set_field:aa:bb:cc:dd:ee:ff->eth_src,output:3",
     {0, "",
      "match={oxm{}, insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_SET_FIELD {Field=OXM_OF_ETH_SRC, "
      "value=  aa:bb:cc:dd:ee:ff } {Type=OFPAT_OUTPUT{port=3, max_len=0}}"}},
    {"dl_dst=01:00:00:00:00:00/01:00:00:00:00:00,actions=drop",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_DST, value= 01:00:00:00:00:00  , mask= 01:00:00:00:00:00 }, "
      "insts={}"}},
    {"dl_dst=01:02:03:04:05:06,actions=output:1",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_DST, value= 01:02:03:04:05:06  }, "
      "insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=1, max_len=0}}"}},
    {"dl_src=00:11:22:33:44:55/ff:ff:ff:00:00:00,actions=output:3",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_SRC, value= 00:11:22:00:00:00  , mask= ff:ff:ff:00:00:00 }, "
      "insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=3, max_len=0}}"}},
    {"dl_type=0x0806,dl_src=02:00:00:00:00:09,actions=output:4",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_SRC, value= 02:00:00:00:00:09  {type=OXM_OF_ETH_TYPE, "
      "value=2054}, insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=4, max_len=0}}"}},
    {"dl_vlan=5,actions=set_field:3->vlan_pcp,output:1",
     {OFMSG_ERR_MATCH_BAD_FIELD, "",
      "match={oxm{}, insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_SET_FIELD "
      "{Field=OXM_OF_VLAN_PCP, value=3} {Type=OFPAT_OUTPUT{port=1, max_len=0}}"}},
    {"dl_vlan=5,actions=set_field:4103->vlan_vid,output:1",
     {OFMSG_ERR_MATCH_BAD_FIELD, "",
      "match={oxm{}, insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_SET_FIELD "
      "{Field=OXM_OF_VLAN_VID, value=4103} {Type=OFPAT_OUTPUT{port=1, max_len=0}}"}},
    {"icmp,icmp_type=8,icmp_code=0,actions=output:1",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_TYPE, value=2048{type=OXM_OF_IP_PROTO, "
      "value=1{type=OXM_OF_ICMPV4_TYPE, value=8{type=OXM_OF_ICMPV4_CODE, value=0}, "
      "insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=1, max_len=0}}"}},
    {"icmp6,icmp_type=128,icmp_code=0,actions=output:1",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_TYPE, value=34525{type=OXM_OF_IP_PROTO, "
      "value=58{type=OXM_OF_ICMPV6_TYPE, value=128{type=OXM_OF_ICMPV6_CODE, value=0}, "
      "insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=1, max_len=0}}"}},
    {"in_port=1,actions=output:2",
     {0, "",
      "match={oxm{{type=OXM_OF_IN_PORT, value=1}, insts={{Type=OFPIT_APPLY_ACTIONS "
      "{Type=OFPAT_OUTPUT{port=2, max_len=0}}"}},
    {"in_port=1,actions=set_field:00:00:00:00:00:01->eth_dst,output:2",
     {0, "",
      "match={oxm{{type=OXM_OF_IN_PORT, value=1}, insts={{Type=OFPIT_APPLY_ACTIONS "
      "{Type=OFPAT_SET_FIELD {Field=OXM_OF_ETH_DST, value=  00:00:00:00:00:01 } "
      "{Type=OFPAT_OUTPUT{port=2, max_len=0}}"}},
    {"in_port=3,ip,nw_src=10.0.0.0/8,actions=output:2",
     {0, "",
      "match={oxm{{type=OXM_OF_IN_PORT, value=3{type=OXM_OF_ETH_TYPE, "
      "value=2048{type=OXM_OF_IPV4_SRC, value=10.0.0.0, mask=255.0.0.0}, "
      "insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=2, max_len=0}}"}},
    {"ip,actions=set_field:1->ip_ecn,output:1",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_TYPE, value=2048}, insts={{Type=OFPIT_APPLY_ACTIONS "
      "{Type=OFPAT_SET_FIELD {Field=OXM_OF_IP_ECN, value=1} {Type=OFPAT_OUTPUT{port=1, "
      "max_len=0}}"}},
    {"ip,actions=set_field:46->ip_dscp,output:1",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_TYPE, value=2048}, insts={{Type=OFPIT_APPLY_ACTIONS "
      "{Type=OFPAT_SET_FIELD {Field=OXM_OF_IP_DSCP, value=46} {Type=OFPAT_OUTPUT{port=1, "
      "max_len=0}}"}},
    {"ip,nw_dst=192.168.1.1,actions=output:4",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_TYPE, value=2048{type=OXM_OF_IPV4_DST, value=192.168.1.1}, "
      "insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=4, max_len=0}}"}},
    {"ip,nw_proto=17,nw_src=172.16.0.1,actions=output:9",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_TYPE, value=2048{type=OXM_OF_IP_PROTO, "
      "value=17{type=OXM_OF_IPV4_SRC, value=172.16.0.1}, insts={{Type=OFPIT_APPLY_ACTIONS "
      "{Type=OFPAT_OUTPUT{port=9, max_len=0}}"}},
    {"ipv6,ipv6_dst=2001:db8::/32,actions=output:3",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_TYPE, value=34525{type=OXM_OF_IPV6_DST, value=2001:db8::, "
      "mask=ffff:ffff::}, insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=3, "
      "max_len=0}}"}},
    {"ipv6,ipv6_src=2001:db8::1,actions=output:2",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_TYPE, value=34525{type=OXM_OF_IPV6_SRC, value=2001:db8::1}, "
      "insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=2, max_len=0}}"}},
    {"metadata=0x10,actions=output:1",
     {0, "",
      "match={oxm{{type=OXM_OF_METADATA, value=0x10}, insts={{Type=OFPIT_APPLY_ACTIONS "
      "{Type=OFPAT_OUTPUT{port=1, max_len=0}}"}},
    {"metadata=0x10/0xff,actions=output:1",
     {0, "",
      "match={oxm{{type=OXM_OF_METADATA, value=0x10}, insts={{Type=OFPIT_APPLY_ACTIONS "
      "{Type=OFPAT_OUTPUT{port=1, max_len=0}}"}},
    {"priority=100,cookie=0x1234,idle_timeout=10,hard_timeout=20,tcp,nw_src=10.1.0.0/"
     "16,nw_dst=10.2.3.4,tp_dst=22,actions=output:7",
     {0,
      "{table=0, cmd=OFPFC_ADD, cookie=0x1234, mask=0x0idle=10, hard=20, prio=100, buf=4294967295, "
      "port=4294967295, group=4294967295, flags=0x0, ",
      "match={oxm{{type=OXM_OF_ETH_TYPE, value=2048{type=OXM_OF_IP_PROTO, "
      "value=6{type=OXM_OF_IPV4_SRC, value=10.1.0.0, mask=255.255.0.0{type=OXM_OF_IPV4_DST, "
      "value=10.2.3.4{type=OXM_OF_TCP_DST, value=22}, insts={{Type=OFPIT_APPLY_ACTIONS "
      "{Type=OFPAT_OUTPUT{port=7, max_len=0}}"}},
    {"table=3,in_port=2,actions=output:controller",
     {0,
      "{table=3, cmd=OFPFC_ADD, cookie=0x0, mask=0x0idle=0, hard=0, prio=32768, buf=4294967295, "
      "port=4294967295, group=4294967295, flags=0x0, ",
      "match={oxm{{type=OXM_OF_IN_PORT, value=2}, insts={{Type=OFPIT_APPLY_ACTIONS "
      "{Type=OFPAT_OUTPUT{port=4294967293, max_len=65535}}"}},
    {"tcp,tp_src=80,tp_dst=8080,actions=output:5",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_TYPE, value=2048{type=OXM_OF_IP_PROTO, "
      "value=6{type=OXM_OF_TCP_SRC, value=80{type=OXM_OF_TCP_DST, value=8080}, "
      "insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=5, max_len=0}}"}},
    {"tcp6,ipv6_src=fe80::/10,tp_dst=443,actions=output:2",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_TYPE, value=34525{type=OXM_OF_IP_PROTO, "
      "value=6{type=OXM_OF_IPV6_SRC, value=fe80::, mask=ffc0::{type=OXM_OF_TCP_DST, value=443}, "
      "insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=2, max_len=0}}"}},
    {"udp,tp_dst=53,actions=output:6",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_TYPE, value=2048{type=OXM_OF_IP_PROTO, "
      "value=17{type=OXM_OF_UDP_DST, value=53}, insts={{Type=OFPIT_APPLY_ACTIONS "
      "{Type=OFPAT_OUTPUT{port=6, max_len=0}}"}},
    {"udp,tp_src=1000,actions=output:1,output:2",
     {0, "",
      "match={oxm{{type=OXM_OF_ETH_TYPE, value=2048{type=OXM_OF_IP_PROTO, "
      "value=17{type=OXM_OF_UDP_SRC, value=1000}, insts={{Type=OFPIT_APPLY_ACTIONS "
      "{Type=OFPAT_OUTPUT{port=1, max_len=0} {Type=OFPAT_OUTPUT{port=2, max_len=0}}"}},
};

// The TLVs of the flow-mod's match, sorted: the same set whatever order they were written in.
std::vector<Bytes> sorted_tlvs(const Bytes &fm) {
    std::vector<Bytes> tlvs;
    for (size_t pos = 52, end = 48 + (fm[50] << 8 | fm[51]); pos + 4 <= end; pos += 4 + fm[pos + 3])
        tlvs.emplace_back(fm.begin() + pos, fm.begin() + pos + 4 + fm[pos + 3]);
    std::sort(tlvs.begin(), tlvs.end());
    return tlvs;
}

}  // namespace

TEST(OvsFlows, EveryFlowSpecDecodesToItsRecordAndReencodesToOvsBytes) {
    std::ifstream in(OFAGENT_SOURCE_DIR "/tests/data/ovs_flows.txt");
    size_t rows = 0;
    for (std::string line; std::getline(in, line);) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string flow = line.substr(0, tab);
        const Bytes wire = hex(line.substr(tab + 1));
        SCOPED_TRACE(flow);
        rows++;
        const auto it = kExpected.find(flow);
        ASSERT_NE(it, kExpected.end()) << "no expectation written for this flow";
        const Expect &e = it->second;
        Rx rx;
        EXPECT_EQ(rx.decode(wire), e.status);
        // A match outside the subset is refused; the actions are then checked on an empty match.
        Bytes msg = wire;
        const size_t match_end = 48 + ((wire[50] << 8 | wire[51]) + 7u) / 8u * 8u;
        if (e.status != 0) {
            msg.assign(wire.begin(), wire.begin() + 48);
            const Bytes empty = hex("0001000400000000");
            msg.insert(msg.end(), empty.begin(), empty.end());
            msg.insert(msg.end(), wire.begin() + match_end, wire.end());
            msg[2] = uint8_t(msg.size() >> 8);
            msg[3] = uint8_t(msg.size());
            ASSERT_EQ(rx.decode(msg), 0);
        }
        EXPECT_EQ(body_text(msg, rx.body()), (e.fixed.empty() ? kDefaultFixed : e.fixed) + e.match);
        const Bytes again = encode(OFPT_FLOW_MOD, rx.body(), 1);
        ASSERT_EQ(again.size(), msg.size());
        const size_t after = e.status ? 56 : match_end;
        EXPECT_EQ(to_hex(again.data(), 52), to_hex(msg.data(), 52));
        EXPECT_EQ(to_hex(again.data() + after, again.size() - after),
                  to_hex(msg.data() + after, msg.size() - after));
        EXPECT_EQ(sorted_tlvs(again), sorted_tlvs(msg));
    }
    EXPECT_EQ(rows, kExpected.size()) << "tests/data/ovs_flows.txt missing or short";
}
