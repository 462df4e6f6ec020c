// Transmit path and text forms: exact bytes and print texts of every encoder, refusals that
// leave the caller's outputs untouched, size limits, and the shared helpers.
#include <cstring>

#include "common/codec_util.hpp"

using namespace codec;

namespace {

ofmsg_flow_instructions *apply(std::initializer_list<ofmsg_action *> actions) {
    ofmsg_instruction_actions *list = nullptr;
    for (ofmsg_action *a : actions)
        list = ofmsg_instruction_action_add(list, a);
    return ofmsg_instructions_add(nullptr, ofmsg_instruction_action_create(list));
}

ofmsg_action *set_field(uint32_t field, const void *value, uint32_t size) {
    return ofmsg_action_create_set_field(ofoxm_header_value(field, 0), size, value);
}

struct Owned {  // releases what the rows' records hold
    std::vector<ofmsg_flow_match *> matches;
    std::vector<ofmsg_flow_instructions *> insts;
    ofmsg_flow_match *m(ofmsg_flow_match *x) { return matches.push_back(x), x; }
    ofmsg_flow_instructions *i(ofmsg_flow_instructions *x) { return insts.push_back(x), x; }
    ~Owned() {
        for (auto *x : matches)
            ofmsg_flow_match_free(x);
        for (auto *x : insts)
            ofmsg_flow_instructions_free(x);
    }
};

TEST(TxGolden, EveryEncoderWritesItsBytesAndPrintsItsText) {
    Owned own;
    uint8_t data[4] = {0xca, 0xfe, 0xba, 0xbe};
    ofmsg_error err{1, 6, 4, data}, empty_err{4, 11, 0, nullptr};
    ofmsg_switch_features f{0xfedcba9876543210ULL, 0x11223344, 254, 3, 0x4f, 0xa5a5a5a5};
    char name[] = "a-port-name-longer-than-sixteen";
    ofstruct_port port{
        3, {2, 0, 0, 0xab, 0xcd, 0xef}, name, 1, 4, 0x2808, 0x2800, 0x2808, 0, 1000000, 10000000};
    ofstruct_port unnamed = port;
    unnamed.name = nullptr;
    ofmsg_port_status ps{OFPPR_MODIFY, &port}, ps_add{OFPPR_ADD, &unnamed}, ps_odd{7, &port};

    ofmsg_flow_match *in_port = own.m(ofmsg_match_create());
    ofmsg_match_tlv_create_32_value(in_port, 0, ofoxm_header_value(OXM_OF_IN_PORT, 0), 1);
    ofmsg_flow_mod fm{0x1122334455667788ull,
                      0xff,
                      3,
                      OFPFC_MODIFY_STRICT,
                      10,
                      20,
                      300,
                      0xffffffff,
                      4,
                      5,
                      1,
                      in_port,
                      own.i(apply({ofmsg_action_create_output(2, 0)}))};
    const uint8_t mac[6] = {0xaa, 0xbb, 0xcc, 0, 0, 1};
    const uint16_t vid = 0x1005;
    const uint8_t pcp = 3, dscp = 46, ecn = 1;
    ofmsg_flow_mod fm_set{}, fm_exp{}, fm_empty{};
    fm_set.match = fm_exp.match = fm_empty.match = own.m(ofmsg_match_create());
    fm_set.instructions =
        own.i(apply({set_field(OXM_OF_ETH_DST, mac, 6), set_field(OXM_OF_VLAN_VID, &vid, 2),
                     set_field(OXM_OF_VLAN_PCP, &pcp, 1), set_field(OXM_OF_IP_DSCP, &dscp, 1),
                     set_field(OXM_OF_IP_ECN, &ecn, 1)}));
    fm_exp.instructions = own.i(
        apply({ofmsg_action_exp_create_set_appid(7), ofmsg_action_exp_create_zelta_output(3, 100),
               ofmsg_action_exp_create_flag(ZELTA_ACTION_EXP_SET_FLAG, 0x81),
               ofmsg_action_exp_create_flag(ZELTA_ACTION_EXP_OVERWRITE_FLAG, 0x2)}));
    fm_empty.command = 9;

    Bytes pkt(60);
    for (size_t i = 0; i < pkt.size(); i++)
        pkt[i] = static_cast<uint8_t>(i * 7);
    ofmsg_packet_in pi{0xffffffff, 60, 1, 2, 0xabcdef, fm_set.match, 60, pkt.data()};
    ofmsg_flow_removed fr{7, 100, OFPRR_DELETE, 1, 2, 3, 4, 5, 6, 600, fm_set.match};

    ofmsg_flow_stat st{7, 1, 2, 3, 4, 5, 6, 7, 8, fm_set.match, nullptr};
    ofmsg_flow_stat *entries[] = {&st};
    ofmsg_flow_stats_reply fs{1, entries};
    ofmsg_multipart_reply flow_reply{OFPMP_FLOW, 0, &fs};
    const uint8_t no9[4] = {0, 0, 0, 9};
    uint32_t port_no;
    std::memcpy(&port_no, no9, 4);  // copied as it stands: network order
    ofmsg_port_stats stats[2] = {{port_no, 10, 20}, {port_no, 11, 21}};
    ofmsg_port_stats_reply psr{2, stats};
    ofmsg_multipart_reply stats_reply{OFPMP_PORT_STATS, 0, &psr};
    ofmsg_multipart_request pd_req{OFPMP_PORT_DESC, 0, nullptr};
    ofstruct_port *two_ports[] = {&unnamed, &port};
    ofmsg_port_desc_reply pd{2, two_ports};
    ofmsg_multipart_reply pd_reply{OFPMP_PORT_DESC, 0, &pd};

    ofmsg_switch_desc_reply desc{};  // strings up to their terminators, zeros after
    std::strcpy(desc.mfr_desc, "Maker");
    std::strcpy(desc.serial_num, "SN1");
    std::memset(desc.hw_desc, 'h', sizeof desc.hw_desc - 1);
    ofmsg_multipart_reply desc_reply{OFPMP_DESC, 1, &desc};
    const auto field = [](const std::string &text, size_t size) {
        return to_hex(Bytes(text.begin(), text.end())) + std::string(2 * (size - text.size()), '0');
    };

    ofmsg_exp_tunnel_v4 tun[3] = {{1, 0x01020304}, {2, 0x05060708}, {3, 0xc0a80001}};
    ofmsg_exp_tunnel_v4 *tp[3] = {&tun[0], &tun[1], &tun[2]};
    ofmsg_exp_tunnel_v4_request tq{1, &tun[0]}, tq_bare{5, nullptr};
    ofmsg_exp_tunnel_v4_reply trep{3, tp};
    ofmsg_exp_openflow_mac macx{3, {0, 1, 2, 3, 4, 5}, {0xa, 0xb, 0xc, 0xd, 0xe, 0xf}};
    ofmsg_exp e_req{ZELTA_EXP_TUNNEL_V4_REQ, &tq}, e_bare{ZELTA_EXP_TUNNEL_V4_REQ, &tq_bare},
        e_rep{ZELTA_EXP_TUNNEL_V4_REPLY, &trep}, e_mac{ZELTA_EXP_OPENFLOW_MAC, &macx};

    const std::string port_text =
        "{no=3, hw_addr= 02:00:00:ab:cd:ef , name=%s, config=0x1, state=0x4, curr=0x2808, "
        "adv=0x2800, supp=0x2808, peer=0x0, curr_spd=\"1000000kbps\", max_spd=\"10000000kbps\"}";
    const std::string named = port_text.substr(0, 41) + name + port_text.substr(43),
                      nameless = port_text.substr(0, 41) + port_text.substr(43);
    const std::string port_tail =
        "00000001 00000004 00002808 00002800 00002808 00000000 000f4240 00989680";
    const std::string fixed0 =
        "0000000000000000 0000000000000000 00 00 0000 0000 0000 00000000 00000000 00000000 0000 "
        "0000";
    struct Row {
        const char *name;
        uint8_t type;
        const void *body;
        std::string wire;  // after the 8-byte header; "" to check only the text
        std::string text;  // of the body; "" for none
    } rows[] = {
        {"hello ignores its body", OFPT_HELLO, &f, "", ""},
        {"error", OFPT_ERROR, &err, "0001 0006 cafebabe", "{type=1\", code=6\", dlen=\"4\"}"},
        {"error without data", OFPT_ERROR, &empty_err, "0004 000b",
         "{type=4\", code=11\", dlen=\"0\"}"},
        {"features reply", OFPT_FEATURES_REPLY, &f,
         "fedcba9876543210 11223344 fe 03 0000 0000004f a5a5a5a5",
         "{dpid=0xfedcba9876543210, buffs=287454020, tabs=254, aux_id=3, caps=0x4f}"},
        {"port status, long name cut at 16", OFPT_PORT_STATUS, &ps,
         "02 00000000000000 00000003 00000000 020000abcdef 0000 612d706f72742d6e616d652d6c6f6e67" +
             port_tail,
         "{reason=OFPPR_MODIFY, desc=" + named + "}"},
        {"port status without name", OFPT_PORT_STATUS, &ps_add,
         "00 00000000000000 00000003 00000000 020000abcdef 0000" + std::string(32, '0') + port_tail,
         "{reason=OFPPR_ADD, desc=" + nameless + "}"},
        {"port status reason 7", OFPT_PORT_STATUS, &ps_odd, "",
         "{reason=unknown, desc=" + named + "}"},
        {"port desc reply", OFPT_MULTIPART_REPLY, &pd_reply, "",
         "{type=OFPMP_PORT_DESC(13), flags=0x0{" + nameless + ", " + named + "}}"},
        {"flow mod with in_port and output", OFPT_FLOW_MOD, &fm,
         "1122334455667788 00000000000000ff 03 02 000a 0014 012c ffffffff 00000004 00000005 0001 "
         "0000"
         "0001000c 80000004 00000001 00000000 0004 0018 00000000 0000 0010 00000002 0000 "
         "000000000000",
         "{table=3, cmd=OFPFC_MODIFY_STRICT, cookie=0x1122334455667788, mask=0xffidle=10, hard=20, "
         "prio=300, "
         "buf=4294967295, port=4, group=5, flags=0x1, match={oxm{{type=OXM_OF_IN_PORT, value=1}, "
         "insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=2, max_len=0}}"},
        {"set-fields of six, two and one bytes", OFPT_FLOW_MOD, &fm_set,
         fixed0 + kEmptyMatch +
             "0004005800000000 0019001080000606aabbcc0000010000 0019001080000c02 1005 000000000000"
             "0019001080000e01 03 00000000000000 0019001080001001 2e 00000000000000"
             "0019001080001201 01 00000000000000",
         "{table=0, cmd=OFPFC_ADD, cookie=0x0, mask=0x0idle=0, hard=0, prio=0, buf=0, port=0, "
         "group=0, "
         "flags=0x0, match={oxm{}, insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_SET_FIELD "
         "{Field=OXM_OF_ETH_DST, value=  aa:bb:cc:00:00:01 } {Type=OFPAT_SET_FIELD "
         "{Field=OXM_OF_VLAN_VID, "
         "value=4101} {Type=OFPAT_SET_FIELD {Field=OXM_OF_VLAN_PCP, value=3} {Type=OFPAT_SET_FIELD "
         "{Field=OXM_OF_IP_DSCP, value=46} {Type=OFPAT_SET_FIELD {Field=OXM_OF_IP_ECN, value=1}}"},
        {"experimenter actions", OFPT_FLOW_MOD, &fm_exp,
         fixed0 + kEmptyMatch +
             "0004 0050 00000000 ffff 0010 004d2a91 0005 0008 0007 0000"
             "ffff 0018 004d2a91 0004 0010 00000003 00000064 00000000"
             "ffff 0010 004d2a91 0001 0008 00000081 ffff 0010 004d2a91 0002 0008 00000002",
         "{table=0, cmd=OFPFC_ADD, cookie=0x0, mask=0x0idle=0, hard=0, prio=0, buf=0, port=0, "
         "group=0, "
         "flags=0x0, match={oxm{}, insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_EXPERIMENTER "
         "{Type=SET_APPID{appid=7} {Type=OFPAT_EXPERIMENTER {Type=ZELTA OUTPUT{port=3, "
         "max_packet_count=100} "
         "{Type=OFPAT_EXPERIMENTER {Type=SET FLAG{soflagbits:81} {Type=OFPAT_EXPERIMENTER "
         "{Type=OVERWRITE "
         "FLAG{soflagbits:2}}"},
        {"flow mod of unknown command, no instructions", OFPT_FLOW_MOD, &fm_empty,
         "0000000000000000 0000000000000000 00 09" + fixed0.substr(39) + kEmptyMatch,
         "{table=0, cmd=unknown, cookie=0x0, mask=0x0idle=0, hard=0, prio=0, buf=0, port=0, "
         "group=0, "
         "flags=0x0, match={oxm{}, insts={}"},
        {"packet in", OFPT_PACKET_IN, &pi,
         "ffffffff 003c 01 02 0000000000abcdef" + kEmptyMatch + "0000" + to_hex(pkt),
         "{buffer=4294967295, tlen=60, reas=1, table=2, dlen=60 }"},
        {"flow removed", OFPT_FLOW_REMOVED, &fr,
         "0000000000000007 0064 02 01 00000002 00000003 0004 0005 0000000000000006 "
         "0000000000000258" +
             kEmptyMatch,
         "{reason=OFPRR_DELETE, cookie=0x7, priority=100, table_id=1, duration_sec=2, "
         "duration_nsec=3, "
         "idle_timeout=4, hard_timeout=5, packet_count=6, byte_count=600, match={oxm{}}"},
        {"flow stats reply", OFPT_MULTIPART_REPLY, &flow_reply,
         "0001 0000 00000000 0038 07 00 00000001 00000002 0003 0004 0005 000000000000 "
         "0000000000000006"
         "0000000000000007 0000000000000008" +
             kEmptyMatch,
         "{type=OFPMP_FLOW(1), flags=0x0stats={num_flows:1}, {{table=7, dur_s=1, dur_ns=2, prio=3, "
         "idle_to=4, "
         "hard_to=5, cookie=0x6pkt_cnt=7, byte_cnt=8, match={oxm{}, insts={}}}"},
        {"port stats reply", OFPT_MULTIPART_REPLY, &stats_reply,
         "0004 0000 00000000 00000009 00000000 000000000000000a 0000000000000014" +
             std::string(176, '0') + "00000009 00000000 000000000000000b 0000000000000015" +
             std::string(176, '0'),
         "{type=OFPMP_PORT_STATS(4), flags=0x0}"},
        {"description reply of 1072 bytes", OFPT_MULTIPART_REPLY, &desc_reply,
         "0000 0001 00000000" + field("Maker", 256) + field(std::string(255, 'h'), 256) +
             field("", 256) + field("SN1", 32) + field("", 256),
         "{type=OFPMP_DESC(0), flags=0x1{mfr_desc=Maker, hw_desc=" + std::string(255, 'h') +
             ", sw_desc=, serial_num=SN1, dp_desc=}}"},
        {"port desc request", OFPT_MULTIPART_REQUEST, &pd_req, "000d 0000 00000000",
         "{type=OFPMP_PORT_DESC(13), flags=0x0}"},
        {"tunnel request", OFPT_EXPERIMENTER, &e_req,
         "004d2a91 00000000 01 00000000000000 00000001 01020304",
         "{type=EXP ZELTA TUNNEL V4 REQ { opcode:1 { tun_index:1, tun_dest_ip:1.2.3.4 }}}"},
        {"tunnel request without entry", OFPT_EXPERIMENTER, &e_bare,
         "004d2a91 00000000 05 00000000000000", "{type=EXP ZELTA TUNNEL V4 REQ { opcode:5}}"},
        {"tunnel reply", OFPT_EXPERIMENTER, &e_rep,
         "004d2a91 00000001 00000001 01020304 00000002 05060708 00000003 c0a80001",
         "{type=EXP ZELTA TUNNEL V4 REPLY tunnels={num_tunnels:3}, { { tun_index:1, "
         "tun_dest_ip:1.2.3.4 } "
         "{ tun_index:2, tun_dest_ip:5.6.7.8 } { tun_index:3, tun_dest_ip:192.168.0.1 }}}"},
        {"station mac", OFPT_EXPERIMENTER, &e_mac,
         "004d2a91 00000004 03 000102030405 0a0b0c0d0e0f 000000",
         "{type=ZELTA_EXP_OPENFLOW_MAC: { opcode:3, station_mac: 00:01:02:03:04:05 bss_mac: "
         "0a:0b:0c:0d:0e:0f }}"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        const Bytes wire = encode(r.type, r.body, 0x11223344);
        ASSERT_FALSE(wire.empty());
        EXPECT_EQ(to_hex(wire.data(), 8),
                  to_hex(message(r.type, Bytes(wire.size() - 8), 0x11223344)).substr(0, 16));
        if (!r.wire.empty() || r.type == OFPT_HELLO) {
            EXPECT_EQ(to_hex(wire.data() + 8, wire.size() - 8), to_hex(hex(r.wire)));
        }
        EXPECT_EQ(std::string(ofmsg_print(wire.data(), r.body)),
                  std::string("{type=") + ofmsg_ofp_type_to_string(r.type) +
                      ", length=" + std::to_string(wire.size()) + ", xid = 287454020}" + r.text);
    }
}

TEST(TxGolden, EchoReplyIsTheRequestWithItsTypeChangedAndLogsItsSteps) {
    LogCapture log;
    Rx rx;
    const Bytes req =
        hex("04 02 00 18 0a 0b 0c 0d 01 02 03 04 05 06 07 08 11 12 13 14 21 22 23 24");
    ASSERT_EQ(rx.decode(req), 0);
    log.clear();
    Bytes expected = req;
    expected[1] = OFPT_ECHO_REPLY;
    EXPECT_EQ(to_hex(encode(OFPT_ECHO_REPLY, rx.body(), rx.xid())), to_hex(expected));
    EXPECT_EQ(log.count(OFLOG_DBUG, " "), 3u);  // the frame's entry, the encoder's start and end
    EXPECT_TRUE(log.has(
        OFLOG_INFO, "Message encoded: len:24, {type=OFPT_ECHO_REPLY, length=24, xid = 168496141}"));
    // The lines written on every message, whole: tag, function and line, then the text.
    EXPECT_TRUE(log.has_raw("DBUG ofmsg_tx_encode:[0-9]+  ")) << log.dump();
    EXPECT_TRUE(log.has_raw("DBUG ofmsg_echo_reply_encode:[0-9]+  "));
    EXPECT_TRUE(log.has_raw("INFO ofmsg_tx_encode:[0-9]+ Message encoded: len:24, \\{type=.*"));
}

TEST(TxGolden, MatchTlvsAreWrittenInIndexOrderAndSmallMasksAsPlainValues) {
    Rx rx;
    // IPV4_DST arrives before ETH_TYPE; the encoder writes them in index order.
    ASSERT_EQ(rx.decode(message(
                  OFPT_FLOW_MOD,
                  hex(kFlowModFixed + "0001 0012 80001804 0a000001 80000a02 0800 000000000000"))),
              0);
    const Bytes again = encode(OFPT_FLOW_MOD, rx.body());
    EXPECT_EQ(to_hex(again.data() + 48, again.size() - 48),
              "0001001280000a0208008000180"
              "40a000001000000000000");
    ofmsg_flow_match *m = ofmsg_match_create();
    ofmsg_match_tlv_create_8_value_mask(m, 5, 0x80001502u, 6, 0x0f);
    ofmsg_match_tlv_create_16_value_mask(m, 10, 0x80001B04u, 80, 0xfff0);
    EXPECT_EQ(m->length, 5 + 6);
    ofmsg_flow_mod fm{};
    fm.match = m;
    const Bytes wire = encode(OFPT_FLOW_MOD, &fm);
    EXPECT_EQ(to_hex(wire.data() + 48, wire.size() - 48), "0001000f800014010680001a02005000");
    // Replacing a slot keeps the length equal to the held TLVs.
    const uint8_t a[6] = {1, 2, 3, 4, 5, 6}, mask[6] = {0xff, 0xff, 0xff, 0, 0, 0};
    ofmsg_match_tlv_create_eth_value_mask(m, 1, ofoxm_header_value(OXM_OF_ETH_DST, 1), a, mask);
    ofmsg_match_tlv_create_eth_value(m, 1, ofoxm_header_value(OXM_OF_ETH_DST, 0), a);
    EXPECT_EQ(m->length, 21);
    // A bad index or the wrong builder kind leaves the match unchanged.
    ofmsg_match_tlv_create_32_value(m, 19, ofoxm_header_value(OXM_OF_IN_PORT, 0), 1);
    ofmsg_match_tlv_create_32_value(m, 4, ofoxm_header_value(OXM_OF_IN_PORT, 0), 1);
    ofmsg_match_tlv_create_16_value(m, 0, ofoxm_header_value(OXM_OF_IN_PORT, 0), 1);
    EXPECT_EQ(m->length, 21);
    EXPECT_EQ(m->tlvs[0], nullptr);
    ofmsg_flow_match_free(m);
}

TEST(TxRefusal, UnencodableRecordsLeaveTheOutputsUntouchedAndLogNoEncoding) {
    LogCapture log;
    Owned own;
    ofmsg_switch_features f{};
    ofmsg_port_status no_desc{OFPPR_ADD, nullptr};
    ofmsg_error missing_data{1, 1, 4, nullptr};
    static uint8_t big[70000];
    ofmsg_error too_long{1, 1, sizeof big, big};
    ofmsg_flow_mod no_match{};
    ofmsg_flow_match *m = own.m(ofmsg_match_create());
    ofmsg_match_tlv_create_16_value(m, 3, ofoxm_header_value(OXM_OF_ETH_TYPE, 0), 0x800);
    m->tlvs[3]->header = ofoxm_header_value(OXM_OF_TCP_SRC, 0);  // a TLV in the wrong slot
    ofmsg_flow_mod wrong_slot{};
    wrong_slot.match = m;
    ofmsg_flow_mod remove_flag{};
    remove_flag.match = own.m(ofmsg_match_create());
    remove_flag.instructions =
        own.i(apply({ofmsg_action_exp_create_flag(ZELTA_ACTION_EXP_REMOVE_FLAG, 1)}));
    ofmsg_flow_mod empty_set_field{};  // a field that cannot be set, with no value bytes
    empty_set_field.match = remove_flag.match;
    empty_set_field.instructions =
        own.i(apply({ofmsg_action_create_set_field(0x80000000, 0, nullptr)}));
    ofmsg_flow_mod short_set_field{};  // an Ethernet address announced (and given) as 1 byte
    short_set_field.match = remove_flag.match;
    const uint8_t one = 7;
    short_set_field.instructions = own.i(apply({ofmsg_action_create_set_field(
        (ofoxm_header_value(OXM_OF_ETH_DST, 0) & ~0xffu) | 1u, 1, &one)}));
    ofmsg_packet_in huge{};
    huge.match = remove_flag.match;
    huge.data_len = sizeof big;
    huge.data = big;
    ofmsg_multipart_reply table{OFPMP_TABLE, 0, nullptr};
    ofmsg_multipart_request flow_req{OFPMP_FLOW, 0, nullptr};
    ofmsg_exp_tunnel_v4_request req{};
    ofmsg_exp v6{ZELTA_EXP_TUNNEL_V6_REQ, &req}, e77{77, &req};
    const std::pair<uint8_t, const void *> cases[] = {{OFPT_ECHO_REQUEST, &f},
                                                      {OFPT_SET_CONFIG, &f},
                                                      {OFPT_GET_CONFIG_REQUEST, &f},
                                                      {OFPT_BARRIER_REQUEST, &f},
                                                      {30, &f},
                                                      {255, &f},
                                                      {OFPT_FEATURES_REPLY, nullptr},
                                                      {OFPT_PORT_STATUS, &no_desc},
                                                      {OFPT_ERROR, &missing_data},
                                                      {OFPT_ERROR, &too_long},
                                                      {OFPT_FLOW_MOD, &no_match},
                                                      {OFPT_FLOW_MOD, &wrong_slot},
                                                      {OFPT_FLOW_MOD, &remove_flag},
                                                      {OFPT_FLOW_MOD, &empty_set_field},
                                                      {OFPT_FLOW_MOD, &short_set_field},
                                                      {OFPT_PACKET_IN, &huge},
                                                      {OFPT_MULTIPART_REPLY, &table},
                                                      {OFPT_MULTIPART_REQUEST, &flow_req},
                                                      {OFPT_EXPERIMENTER, &v6},
                                                      {OFPT_EXPERIMENTER, &e77}};
    for (const auto &[type, body] : cases) {
        uint8_t sentinel = 0, *buf = &sentinel;
        uint32_t len = 99;
        EXPECT_LT(ofmsg_tx_encode(type, body, 1, &buf, &len), 0) << int(type);
        EXPECT_EQ(buf, &sentinel);
        EXPECT_EQ(len, 99u);
        // A host may still log its record: the printers read only what it holds.
        const uint8_t hdr[8] = {OFP_VERSION, type, 0, 8, 0, 0, 0, 1};
        if (body) ofmsg_print(hdr, body);
    }
    EXPECT_LT(ofmsg_tx_encode(OFPT_HELLO, nullptr, 1, nullptr, nullptr), 0);
    // A flag action of another subtype would carry a record of the wrong shape: not built.
    for (uint16_t subtype : {0, 4, 5, 6, 0xffff})
        EXPECT_EQ(ofmsg_action_exp_create_flag(subtype, 1), nullptr) << subtype;
    for (const auto &l : log.lines())
        EXPECT_EQ(l.message.find("Message encoded"), std::string::npos);
    EXPECT_TRUE(log.has(OFLOG_ERRS, "multipart reply type 3\n"));
    EXPECT_TRUE(log.has(OFLOG_ERRS, "Unsupported experimenter message type 77"));
    EXPECT_TRUE(log.has(OFLOG_ERRS, "Cannot encode message type OFPT_BARRIER_REQUEST"));
}

TEST(TxRefusal, MessagesUpToSixtyFourKiBAreWrittenLargerOnesRefused) {
    static uint8_t data[65535 - 12];
    ofmsg_error e{1, 1, sizeof data, data};
    Bytes wire = encode(OFPT_ERROR, &e, 1);
    ASSERT_EQ(wire.size(), 65535u);
    EXPECT_EQ(to_hex(wire.data(), 4), "0401ffff");
    ofmsg_packet_in pi{};
    pi.match = ofmsg_match_create();
    pi.data_len = 65535 - 34;
    pi.data = data;
    EXPECT_EQ(encode(OFPT_PACKET_IN, &pi).size(), 65535u);
    ofmsg_flow_match_free(pi.match);
    std::vector<ofmsg_port_stats> stats(585);  // 16 + 585 * 112 = 65536
    ofmsg_port_stats_reply ps{585, stats.data()};
    ofmsg_multipart_reply reply{OFPMP_PORT_STATS, 0, &ps};
    EXPECT_TRUE(encode(OFPT_MULTIPART_REPLY, &reply).empty());
    ps.num_ports = 584;
    EXPECT_EQ(encode(OFPT_MULTIPART_REPLY, &reply).size(), 16u + 584u * 112u);
    std::vector<ofmsg_exp_tunnel_v4> tunnels(8190);
    std::vector<ofmsg_exp_tunnel_v4 *> ptrs;
    for (auto &t : tunnels)
        ptrs.push_back(&t);
    ofmsg_exp_tunnel_v4_reply rep{8190, ptrs.data()};
    ofmsg_exp exp{ZELTA_EXP_TUNNEL_V4_REPLY, &rep};
    EXPECT_TRUE(encode(OFPT_EXPERIMENTER, &exp).empty());
    rep.num_tunnels = 8189;
    EXPECT_EQ(encode(OFPT_EXPERIMENTER, &exp).size(), 16u + 8189u * 8u);
}

TEST(Print, HeaderOnlyTextsAndTheBufferLimit) {
    EXPECT_STREQ(ofmsg_print(hex("04 14 00 08 ff ff ff ff").data(), nullptr),
                 "{type=OFPT_BARRIER_REQUEST, length=8, xid = -1}");
    EXPECT_STREQ(ofmsg_print(hex("04 63 01 00 80 00 00 00").data(), nullptr),
                 "{type=unknown, length=256, xid = -2147483648}");
    // 200 port descriptions print far beyond the buffer: cut at its end, terminated.
    char name[] = "a-long-port-name";
    ofstruct_port port{1, {1, 2, 3, 4, 5, 6}, name, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<ofstruct_port *> ports(200, &port);
    ofmsg_port_desc_reply pd{200, ports.data()};
    ofmsg_multipart_reply mp{OFPMP_PORT_DESC, 0, &pd};
    const char *text = ofmsg_print(hex("04 13 32 10 00 00 00 01").data(), &mp);
    EXPECT_EQ(text, ofmsg_print_buf);
    EXPECT_EQ(std::strlen(text), static_cast<size_t>(OFMSG_PRINT_BUF_SIZE - 1));
    EXPECT_EQ(std::string(text).rfind("{type=OFPT_MULTIPART_REPLY, length=12816, xid = 1}", 0), 0u);
    EXPECT_STREQ(ofmsg_print(hex("04 00 00 08 00 00 00 07").data(), nullptr),
                 "{type=OFPT_HELLO, length=8, xid = 7}");
    EXPECT_EQ(ofmsg_print_buf[OFMSG_PRINT_BUF_SIZE - 2], '\0');  // nothing of the long text left
    // The exported name of a command is the one the printer writes; past the table, "unknown".
    EXPECT_STREQ(ofmsg_ofp_flow_mod_command_to_string(OFPFC_DELETE_STRICT), "OFPFC_DELETE_STRICT");
    EXPECT_STREQ(ofmsg_ofp_flow_mod_command_to_string(5), "unknown");
}

TEST(Helpers, HeaderChecksLogOnceXidsSeedOnceAndReleasesKeepWhatTheyDoNotOwn) {
    LogCapture log;
    EXPECT_TRUE(ofmsg_validate_header(hex("04 1d 00 08 00 00 00 01").data()));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(ofmsg_validate_header(hex("04 1e 00 08 00 00 00 01").data()));
    EXPECT_TRUE(log.has(OFLOG_ERRS, "Invalid of header: version 4, type 30"));
    EXPECT_EQ(ofmsg_payload_len(hex("04 13 ff ff 00 00 00 01").data()), 65535);
    log.clear();
    EXPECT_EQ(ofmsg_payload_len(hex("05 00 00 18 00 00 00 01").data()), -1);
    EXPECT_EQ(log.lines().size(), 1u);  // logged once, by the check
    EXPECT_TRUE(log.has(OFLOG_ERRS, "Invalid of header: version 5, type 0"));

    EXPECT_EQ(ofmsg_decode_status(1, 6), static_cast<int32_t>(0x80010006u));
    EXPECT_EQ(ofmsg_decode_status(2, 3), OFMSG_ERR_ACTION_BAD_EXP_TYPE);
    const uint8_t wire[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint64_t raw;
    std::memcpy(&raw, wire, 8);
    EXPECT_EQ(ofmsg_ntoh64(raw), 0x0102030405060708ULL);
    EXPECT_EQ(ofmsg_hton64(0x0102030405060708ULL), raw);
    (void)ofmsg_generate_xid();  // seeds on first use, never again
    srand(42);
    const int expected = rand();
    srand(42);
    EXPECT_EQ(ofmsg_generate_xid(), static_cast<int32_t>(expected));

    for (uint32_t t = 0; t < 256; t++)
        ofmsg_free(t, nullptr);
    auto *e = static_cast<ofmsg_error *>(calloc(1, sizeof(ofmsg_error)));
    e->data_len = 3;
    e->data = static_cast<uint8_t *>(malloc(3));
    ofmsg_free(0x100 | OFPT_ERROR, e);  // only the low 8 bits select the type (LeakSanitizer)
    auto *fr = static_cast<ofmsg_flow_removed *>(calloc(1, sizeof(ofmsg_flow_removed)));
    ofmsg_flow_match *match = fr->match = ofmsg_match_create();
    ofmsg_free(OFPT_FLOW_REMOVED, fr);
    EXPECT_EQ(match->type, OFPMT_OXM);  // still the holder's, still alive (ASan would object)
    ofmsg_flow_match_free(match);

    // An action of a type that owns no body leaves the body to its holder; the remove-flag
    // subtype, which only the builder makes, releases its data (LeakSanitizer).
    ofmsg_action *group = ofmsg_action_create_output(2, 0);
    auto *held = static_cast<ofmsg_action_output *>(group->body);
    group->type = 22;  // OFPAT_GROUP
    ofmsg_instruction_actions *list = ofmsg_instruction_action_add(nullptr, group);
    ofmsg_flow_instruction_action_free(
        ofmsg_instruction_action_add(list, ofmsg_action_exp_create_flag(3, 1)));
    EXPECT_EQ(held->port, 2u);  // still the holder's (freed, it would have lost its contents)
    free(held);
}

}  // namespace
