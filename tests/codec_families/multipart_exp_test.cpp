// Multipart request/reply and experimenter messages: sizes, refusals, ownership, text forms.
#include <cstring>

#include "family_util.hpp"

using fam::Bytes;
using fam::hex;

namespace {

std::string print(const Bytes &msg, const void *body) {
    const std::string text = ofmsg_print(msg.data(), body);
    return text.substr(text.find('}') + 1);
}

Bytes mp(uint8_t type, const std::string &after_header) {
    return fam::message(type, hex(after_header));
}

// One ofp_flow_stats entry with an empty match and the given instructions.
std::string flow_stat(const std::string &insts, unsigned len,
                      const std::string &match = "0001000400000000") {
    char head[8];
    std::snprintf(head, sizeof head, "%04x", len);
    return std::string(head) +
           "07 00 00000001 00000002 0003 0004 0005 0000 00000000 0000000000000006 "
           "0000000000000007 0000000000000008 " +
           match + insts;
}

}  // namespace

TEST(MultipartRequest, DescAndPortDescHaveNoBody) {
    fam::Rx rx;
    for (const char *type : {"0000", "000d"}) {
        ASSERT_EQ(rx.decode(mp(OFPT_MULTIPART_REQUEST, std::string(type) + "0001 00000000")), 0);
        auto *req = rx.body<ofmsg_multipart_request>();
        EXPECT_EQ(req->body, nullptr);
        EXPECT_EQ(req->flags, 1);
    }
}

TEST(MultipartRequest, PortStatsBodyPointsIntoTheMessage) {
    fam::LogCapture log;
    fam::Rx rx;
    const Bytes msg = mp(OFPT_MULTIPART_REQUEST, "0004 0000 00000000 00000007 00000000");
    ASSERT_EQ(rx.decode(msg), 0);
    auto *req = rx.body<ofmsg_multipart_request>();
    EXPECT_EQ(req->body, msg.data() + 16);
    EXPECT_TRUE(log.has(OFLOG_INFO, "multipart request type OFPMP_PORT_STATS"));
    EXPECT_TRUE(log.has(OFLOG_INFO, "ofmsg_multipart_request_decode setting port number to 7 \n"));
    log.clear();
    EXPECT_EQ(rx.decode(mp(OFPT_MULTIPART_REQUEST, "0004 0000 00000000 00000007")),
              OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(OFLOG_ERRS, "Decode Error "));
}

TEST(MultipartRequest, UnsupportedTypeIsRefusedWithoutAnErrorLine) {
    fam::LogCapture log;
    fam::Rx rx;
    EXPECT_EQ(rx.decode(mp(OFPT_MULTIPART_REQUEST, "0003 0000 00000000")), OFMSG_ERR_BAD_MULTIPART);
    EXPECT_TRUE(log.has(OFLOG_INFO, "multipart request type OFPMP_TABLE"));
    EXPECT_EQ(log.count(OFLOG_ERRS, "Decode Error "), 0u);
    EXPECT_EQ(rx.calls(), 0);
}

TEST(MultipartRequest, FlowStatsRequestCarriesItsMatchAndPrintsIt) {
    fam::Rx rx;
    const Bytes msg = mp(OFPT_MULTIPART_REQUEST,
                         "0001 0000 00000000 ff 000000 fffffffd ffffffff 00000000 "
                         "0000000000000010 00000000000000ff 0001000a80000a020800 000000000000");
    ASSERT_EQ(rx.decode(msg), 0);
    auto *f = static_cast<ofmsg_flow_stats_request *>(rx.body<ofmsg_multipart_request>()->body);
    EXPECT_EQ(f->table_id, 0xff);
    EXPECT_EQ(f->out_port, 0xfffffffdu);
    EXPECT_EQ(f->cookie_mask, 0xffu);
    EXPECT_EQ(print(msg, rx.body<ofmsg_multipart_request>()),
              "{type=OFPMP_FLOW(1), flags=0x0 {table = 255, out_port = 0xfffffffd, out_group = "
              "0xffffffff, cookie = 0x10, cookie_mask = 0xff, match={oxm{{type=OXM_OF_ETH_TYPE, "
              "value=2048}}}}");
    fam::LogCapture log;
    EXPECT_EQ(rx.decode(mp(OFPT_MULTIPART_REQUEST, "0001 0000 00000000 ff 000000 fffffffd")),
              OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(OFLOG_ERRS, "Decode Error "));
}

TEST(MultipartReply, FlowStatsEntriesDecodeAndAStrayTailIsIgnored) {
    fam::Rx rx;
    ASSERT_EQ(rx.decode(mp(OFPT_MULTIPART_REPLY, "0001 0000 00000000")), 0);
    EXPECT_EQ(
        static_cast<ofmsg_flow_stats_reply *>(rx.body<ofmsg_multipart_reply>()->body)->num_flows,
        0u);
    const std::string out = "0004 0018 00000000 0000 0010 00000002 ffff 000000000000";
    const Bytes msg = mp(OFPT_MULTIPART_REPLY, "0001 0000 00000000" + flow_stat("", 56) +
                                                   flow_stat(out, 80) + std::string(40, '0'));
    ASSERT_EQ(rx.decode(msg), 0);
    auto *r = static_cast<ofmsg_flow_stats_reply *>(rx.body<ofmsg_multipart_reply>()->body);
    ASSERT_EQ(r->num_flows, 2u);
    EXPECT_EQ(r->flow_stats[0]->instructions, nullptr);
    ASSERT_NE(r->flow_stats[1]->instructions, nullptr);
    EXPECT_EQ(r->flow_stats[1]->cookie, 6u);
    EXPECT_EQ(r->flow_stats[1]->byte_count, 8u);
    EXPECT_EQ(r->flow_stats[1]->table_id, 7);
    EXPECT_EQ(print(msg, rx.body<ofmsg_multipart_reply>()),
              "{type=OFPMP_FLOW(1), flags=0x0stats={num_flows:2}, {{table=7, dur_s=1, dur_ns=2, "
              "prio=3, idle_to=4, hard_to=5, cookie=0x6pkt_cnt=7, byte_cnt=8, match={oxm{}, "
              "insts={}{table=7, dur_s=1, dur_ns=2, prio=3, idle_to=4, hard_to=5, "
              "cookie=0x6pkt_cnt=7, byte_cnt=8, match={oxm{}, insts={{Type=OFPIT_APPLY_ACTIONS "
              "{Type=OFPAT_OUTPUT{port=2, max_len=65535}}}}");
    // Re-encoding gives the entries back without the tail.
    const Bytes again = fam::encode(OFPT_MULTIPART_REPLY, rx.body<ofmsg_multipart_reply>(), 1);
    EXPECT_EQ(fam::to_hex(again),
              fam::to_hex(Bytes(msg.begin(), msg.end() - 20)).replace(4, 4, "0098"));
}

TEST(MultipartReply, BrokenFlowStatsAreRefusedAndReleased) {
    fam::LogCapture log;
    fam::Rx rx;
    EXPECT_EQ(rx.decode(mp(OFPT_MULTIPART_REPLY, "0001 0000 00000000" +
                                                     flow_stat("", 56).replace(0, 4, "0030") +
                                                     "0000000000000000")),
              OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(OFLOG_ERRS, "flow stat invalid length"));
    // Second entry fails in its instructions: the first entry's records are released too.
    EXPECT_EQ(rx.decode(mp(OFPT_MULTIPART_REPLY, "0001 0000 00000000" + flow_stat("", 56) +
                                                     flow_stat("0001 0008 01000000", 64))),
              OFMSG_ERR_INST_UNKNOWN);
    // An entry whose match claims more than the entry holds.
    EXPECT_EQ(rx.decode(mp(OFPT_MULTIPART_REPLY,
                           "0001 0000 00000000" + flow_stat("", 56, "0001004000000000"))),
              OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(OFLOG_ERRS, "invalid length ")) << log.dump();
    EXPECT_EQ(rx.calls(), 0);
}

TEST(MultipartReply, PortDescDecodesWholePortsAndOtherTypesAreRefused) {
    fam::Rx rx;
    std::string port =
        "00000001 00000000 020000000001 0000 65746830000000000000000000000000 "
        "00000000 00000004 00000000 00000000 00000000 00000000 00989680 00989680";
    const Bytes msg = mp(OFPT_MULTIPART_REPLY, "000d 0000 00000000" + port + port + "0000");
    ASSERT_EQ(rx.decode(msg), 0);
    auto *r = static_cast<ofmsg_port_desc_reply *>(rx.body<ofmsg_multipart_reply>()->body);
    ASSERT_EQ(r->num_ports, 2u);
    EXPECT_STREQ(r->ports[1]->name, "eth0");
    const std::string text = print(msg, rx.body<ofmsg_multipart_reply>());
    EXPECT_EQ(text.substr(0, 34), "{type=OFPMP_PORT_DESC(13), flags=0");
    EXPECT_NE(text.find("kbps\"}, {no=1"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 4), "\"}}}");
    EXPECT_EQ(rx.decode(mp(OFPT_MULTIPART_REPLY, "0004 0000 00000000")), OFMSG_ERR_BAD_MULTIPART);
    EXPECT_EQ(rx.decode(mp(OFPT_MULTIPART_REPLY, "0000 0000 00000000")), OFMSG_ERR_BAD_MULTIPART);
}

TEST(MultipartEncode, ReplySizesFollowTheirTypes) {
    // Port statistics: 112 bytes per entry, port_no copied as it stands (network order).
    const uint8_t no[4] = {0, 0, 0, 9};
    uint32_t port_no;
    std::memcpy(&port_no, no, 4);
    ofmsg_port_stats stats[3] = {{port_no, 10, 20}, {port_no, 11, 21}, {port_no, 12, 22}};
    ofmsg_port_stats_reply ps{3, stats};
    ofmsg_multipart_reply reply{OFPMP_PORT_STATS, 0, &ps};
    Bytes wire = fam::encode(OFPT_MULTIPART_REPLY, &reply);
    ASSERT_EQ(wire.size(), 352u);
    EXPECT_EQ(fam::to_hex(Bytes(wire.begin() + 16 + 112, wire.begin() + 16 + 136)),
              fam::to_hex(hex("00000009 00000000 000000000000000b 0000000000000015")));
    EXPECT_EQ(print(wire, &reply), "{type=OFPMP_PORT_STATS(4), flags=0x0}");

    // Description: always 1072 bytes, strings copied up to their terminators.
    ofmsg_switch_desc_reply desc{};
    std::strcpy(desc.mfr_desc, "Maker");
    std::strcpy(desc.serial_num, "SN1");
    std::strcpy(desc.dp_desc, "dp");
    std::memset(desc.hw_desc, 'h', sizeof desc.hw_desc - 1);
    reply = {OFPMP_DESC, 1, &desc};
    wire = fam::encode(OFPT_MULTIPART_REPLY, &reply);
    ASSERT_EQ(wire.size(), 1072u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&wire[16])), "Maker");
    EXPECT_EQ(wire[16 + 256 + 254], 'h');
    EXPECT_EQ(wire[16 + 256 + 255], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&wire[16 + 768])), "SN1");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&wire[16 + 800])), "dp");
    EXPECT_EQ(print(wire, &reply).substr(0, 50),
              "{type=OFPMP_DESC(0), flags=0x1{mfr_desc=Maker, hw_");

    // One flow statistics entry with an empty match and no instructions: 56 bytes.
    ofmsg_flow_stat st{};
    st.match = ofmsg_match_create();
    ofmsg_flow_stat *entries[1] = {&st};
    ofmsg_flow_stats_reply fs{1, entries};
    reply = {OFPMP_FLOW, 0, &fs};
    wire = fam::encode(OFPT_MULTIPART_REPLY, &reply);
    ASSERT_EQ(wire.size(), 16u + 56u);
    EXPECT_EQ(wire[16], 0);
    EXPECT_EQ(wire[17], 56);
    ofmsg_flow_match_free(st.match);
}

TEST(MultipartEncode, UnsupportedKindsProduceNoMessage) {
    fam::LogCapture log;
    ofmsg_multipart_reply reply{OFPMP_TABLE, 0, nullptr};
    uint8_t *buf = nullptr;
    uint32_t len = 0;
    EXPECT_LT(ofmsg_tx_encode(OFPT_MULTIPART_REPLY, &reply, 1, &buf, &len), 0);
    EXPECT_EQ(buf, nullptr);
    EXPECT_TRUE(log.has(OFLOG_ERRS, "multipart reply type 3\n")) << log.dump();
    ofmsg_multipart_request req{OFPMP_FLOW, 0, nullptr};
    EXPECT_TRUE(fam::encode(OFPT_MULTIPART_REQUEST, &req).empty());
    req.type = OFPMP_PORT_DESC;
    EXPECT_EQ(fam::to_hex(fam::encode(OFPT_MULTIPART_REQUEST, &req, 3)),
              "0412001000000003000d000000000000");
}

TEST(MultipartNames, KnownTypesAndTheRest) {
    EXPECT_STREQ(ofmsg_ofp_multipart_types_to_string(0), "OFPMP_DESC");
    EXPECT_STREQ(ofmsg_ofp_multipart_types_to_string(12), "OFPMP_TABLE_FEATURES");
    EXPECT_STREQ(ofmsg_ofp_multipart_types_to_string(13), "OFPMP_PORT_DESC");
    EXPECT_STREQ(ofmsg_ofp_multipart_types_to_string(14), "unknown");
    EXPECT_STREQ(ofmsg_ofp_multipart_types_to_string(65535), "OFPMP_EXPERIMENTER");
}

// ---- Experimenter messages ---------------------------------------------------------------

TEST(Experimenter, TunnelRequestWithAndWithoutAnEntry) {
    fam::Rx rx;
    Bytes msg = mp(OFPT_EXPERIMENTER, "004d2a91 00000000 05 00000000000000");
    ASSERT_EQ(rx.decode(msg), 0);
    auto *e = rx.body<ofmsg_exp>();
    auto *req = static_cast<ofmsg_exp_tunnel_v4_request *>(e->data);
    EXPECT_EQ(req->opcode, 5u);
    EXPECT_EQ(req->tunnel, nullptr);
    EXPECT_EQ(print(msg, e), "{type=EXP ZELTA TUNNEL V4 REQ { opcode:5}}");

    msg = mp(OFPT_EXPERIMENTER, "004d2a91 00000000 01 00000000000000 00000005 0a000001");
    ASSERT_EQ(rx.decode(msg), 0);
    e = rx.body<ofmsg_exp>();
    req = static_cast<ofmsg_exp_tunnel_v4_request *>(e->data);
    ASSERT_NE(req->tunnel, nullptr);
    EXPECT_EQ(req->tunnel->tun_index, 5u);
    EXPECT_EQ(req->tunnel->tun_dest_ip, 0x0a000001u);
    EXPECT_EQ(print(msg, e),
              "{type=EXP ZELTA TUNNEL V4 REQ { opcode:1 { tun_index:5, tun_dest_ip:10.0.0.1 }}}");
    EXPECT_EQ(fam::to_hex(fam::encode(OFPT_EXPERIMENTER, e, 1)), fam::to_hex(msg));
}

TEST(Experimenter, TunnelRepliesOfZeroAndThreeEntries) {
    fam::Rx rx;
    ASSERT_EQ(rx.decode(mp(OFPT_EXPERIMENTER, "004d2a91 00000001")), 0);
    auto *rep = static_cast<ofmsg_exp_tunnel_v4_reply *>(rx.body<ofmsg_exp>()->data);
    EXPECT_EQ(rep->num_tunnels, 0u);
    EXPECT_EQ(rep->tunnels, nullptr);
    const Bytes msg = mp(OFPT_EXPERIMENTER,
                         "004d2a91 00000001 00000001 01020304 00000002 "
                         "05060708 00000003 c0a80001");
    ASSERT_EQ(rx.decode(msg), 0);
    rep = static_cast<ofmsg_exp_tunnel_v4_reply *>(rx.body<ofmsg_exp>()->data);
    ASSERT_EQ(rep->num_tunnels, 3u);
    EXPECT_EQ(rep->tunnels[2]->tun_dest_ip, 0xc0a80001u);
    EXPECT_EQ(print(msg, rx.body<ofmsg_exp>()),
              "{type=EXP ZELTA TUNNEL V4 REPLY tunnels={num_tunnels:3}, { { tun_index:1, "
              "tun_dest_ip:1.2.3.4 } { tun_index:2, tun_dest_ip:5.6.7.8 } { tun_index:3, "
              "tun_dest_ip:192.168.0.1 }}}");
    EXPECT_EQ(fam::to_hex(fam::encode(OFPT_EXPERIMENTER, rx.body<ofmsg_exp>(), 1)),
              fam::to_hex(msg));
}

TEST(Experimenter, StationMacRoundTripsWithZeroTail) {
    ofmsg_exp_openflow_mac mac{3, {0, 1, 2, 3, 4, 5}, {0xa, 0xb, 0xc, 0xd, 0xe, 0xf}};
    ofmsg_exp e{ZELTA_EXP_OPENFLOW_MAC, &mac};
    const Bytes wire = fam::encode(OFPT_EXPERIMENTER, &e);
    ASSERT_EQ(wire.size(), 32u);
    EXPECT_EQ(fam::to_hex(wire).substr(16),
              "004d2a910000000403000102030405"
              "0a0b0c0d0e0f000000");
    EXPECT_EQ(print(wire, &e),
              "{type=ZELTA_EXP_OPENFLOW_MAC: { opcode:3, station_mac: 00:01:02:03:04:05 bss_mac: "
              "0a:0b:0c:0d:0e:0f }}");
    fam::Rx rx;
    ASSERT_EQ(rx.decode(wire), 0);
    auto *back = static_cast<ofmsg_exp_openflow_mac *>(rx.body<ofmsg_exp>()->data);
    EXPECT_EQ(back->opcode, 3u);
    EXPECT_EQ(0, std::memcmp(back->bss_mac, mac.bss_mac, 6));
    EXPECT_EQ(0, std::memcmp(back->station_mac, mac.station_mac, 6));
}

TEST(Experimenter, FaultsAreRefusedWithTheirStatus) {
    struct Case {
        const char *name;
        std::string body;
        int32_t status;
        const char *line;
    } cases[] = {
        {"shorter than 16", "004d2a91", OFMSG_ERR_BAD_LEN, "Decode Error "},
        {"foreign id", "00002320 00000007", OFMSG_ERR_BAD_EXPERIMENTER,
         "Not supported experimenter type "},
        {"tunnel v6 request", "004d2a91 00000002 00", OFMSG_ERR_BAD_EXP_TYPE, nullptr},
        {"type 5", "004d2a91 00000005", OFMSG_ERR_BAD_EXP_TYPE, nullptr},
        {"request of 20 bytes", "004d2a91 00000000 0000", OFMSG_ERR_BAD_LEN, "Decode Error "},
        {"request of 28 bytes", "004d2a91 00000000 00000000 00000000 00000001", OFMSG_ERR_BAD_LEN,
         "Decode Error "},
        {"request of 40 bytes",
         "004d2a91 00000000 0000000000000000 0000000100000002 "
         "0000000000000000",
         OFMSG_ERR_BAD_LEN, nullptr},
        {"reply of 20 bytes", "004d2a91 00000001 00000001", OFMSG_ERR_BAD_LEN, nullptr},
        {"mac of 31 bytes", "004d2a91 00000004 00 000102030405 060708090a0b 0000",
         OFMSG_ERR_BAD_LEN, "Decode Error "},
        {"mac of 40 bytes",
         "004d2a91 00000004 00 000102030405 060708090a0b 000000 "
         "0000000000000000",
         OFMSG_ERR_BAD_LEN, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fam::LogCapture log;
        fam::Rx rx;
        EXPECT_EQ(rx.decode(mp(OFPT_EXPERIMENTER, c.body)), c.status);
        EXPECT_EQ(rx.calls(), 0);
        if (c.line) {
            EXPECT_TRUE(log.has(OFLOG_ERRS, c.line)) << log.dump();
        }
    }
}

TEST(Experimenter, UnencodableTypesAreRefusedAndNamesAreExact) {
    ofmsg_exp_tunnel_v4_request req{};
    ofmsg_exp e{ZELTA_EXP_TUNNEL_V6_REQ, &req};
    EXPECT_TRUE(fam::encode(OFPT_EXPERIMENTER, &e).empty());
    e.exp_type = 77;
    EXPECT_TRUE(fam::encode(OFPT_EXPERIMENTER, &e).empty());
    ofmsg_exp_tunnel_v4_reply two{};
    ofmsg_exp_tunnel_v4 t[2] = {{1, 2}, {3, 4}};
    ofmsg_exp_tunnel_v4 *tp[2] = {&t[0], &t[1]};
    two.num_tunnels = 2;
    two.tunnels = tp;
    e = {ZELTA_EXP_TUNNEL_V4_REPLY, &two};
    const Bytes wire = fam::encode(OFPT_EXPERIMENTER, &e);
    ASSERT_EQ(wire.size(), 32u);
    EXPECT_EQ(wire[3], 32);
    EXPECT_STREQ(ofmsg_zelta_exp_type_to_string(0), "EXP ZELTA TUNNEL V4 REQ");
    EXPECT_STREQ(ofmsg_zelta_exp_type_to_string(3), "EXP ZELTA TUNNEL V6 REPLY");
    EXPECT_STREQ(ofmsg_zelta_exp_type_to_string(4), "ZELTA_EXP_OPENFLOW_MAC:");
    EXPECT_STREQ(ofmsg_zelta_exp_type_to_string(5), "unknown");
    EXPECT_EQ(sizeof zelta_exp_type, 4u);
}

TEST(SizeLimits, RepliesThatWouldExceedOneMessageAreRefused) {
    std::vector<ofmsg_port_stats> stats(585);  // 16 + 585 * 112 = 65536
    ofmsg_port_stats_reply ps{static_cast<uint32_t>(stats.size()), stats.data()};
    ofmsg_multipart_reply reply{OFPMP_PORT_STATS, 0, &ps};
    EXPECT_TRUE(fam::encode(OFPT_MULTIPART_REPLY, &reply).empty());
    ps.num_ports = 584;
    EXPECT_EQ(fam::encode(OFPT_MULTIPART_REPLY, &reply).size(), 16u + 584u * 112u);

    std::vector<ofmsg_exp_tunnel_v4> tunnels(8190);
    std::vector<ofmsg_exp_tunnel_v4 *> ptrs;
    for (auto &t : tunnels)
        ptrs.push_back(&t);
    ofmsg_exp_tunnel_v4_reply rep{8190, ptrs.data()};
    ofmsg_exp e{ZELTA_EXP_TUNNEL_V4_REPLY, &rep};
    EXPECT_TRUE(fam::encode(OFPT_EXPERIMENTER, &e).empty());
    rep.num_tunnels = 8189;
    EXPECT_EQ(fam::encode(OFPT_EXPERIMENTER, &e).size(), 16u + 8189u * 8u);
}
