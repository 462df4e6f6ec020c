// Receive path: messages that decode, the records they give and how they are delivered.
#include <cstring>

#include "common/codec_util.hpp"

using namespace codec;

namespace {

const char *kPortStatus =
    "04 0c 00 50 00 00 00 07 02 00 00 00 00 00 00 00"  // reason MODIFY
    "00 00 00 07 00 00 00 00 f2 0b a4 d0 3f 70 00 00"  // port 7, hw_addr
    "70 6f 72 74 2d 73 65 76 65 6e 00 ff ff ff ff ff"  // "port-seven", junk after the NUL
    "00 00 00 01 00 00 00 04 00 00 28 08 00 00 28 00"
    "00 00 28 0f 00 00 00 08 00 00 13 88 00 00 27 10";

// One flow statistics entry (88 bytes) with an IN_PORT match and an output to port 2.
const char *kFlowStatsReply =
    "04 13 00 68 00 00 00 01 00 01 00 00 00 00 00 00"
    "00 58 07 00 00 00 00 01 00 00 00 02 00 03 00 04 00 05 00 00 00 00 00 00"
    "00 00 00 00 00 00 00 06 00 00 00 00 00 00 00 07 00 00 00 00 00 00 00 08"
    "00 01 00 0c 80 00 00 04 00 00 00 01 00 00 00 00"
    "00 04 00 18 00 00 00 00 00 00 00 10 00 00 00 02 ff ff 00 00 00 00 00 00";

TEST(RxNoBody, HelloBareOrOfferingVersion4SetConfigAndFeaturesRequestAreDelivered) {
    LogCapture log;
    Rx rx;
    int ctx = 0;
    EXPECT_EQ(rx.decode(hex("04 00 00 08 12 34 56 78"), &ctx), 0);
    EXPECT_EQ(rx.calls(), 1);
    EXPECT_EQ(rx.body(), nullptr);
    EXPECT_EQ(rx.xid(), 0x12345678u);
    EXPECT_EQ(rx.ctx(), &ctx);
    EXPECT_EQ(rx.decode(message(OFPT_HELLO, hex("0001 0008 00000010"))), 0);
    EXPECT_EQ(rx.calls(), 1);
    for (const char *l : {" len before = 8 struc len 8 , buflen 16 \n", " len after = 16 \n",
                          "len:16, buflen 16 buflen 16 ", "after len:16, buflen 0 buflen 0"})
        EXPECT_TRUE(log.has(OFLOG_DBUG, l)) << l;
    // Only the first bitmap counts; the header length field is not compared with the buffer.
    EXPECT_EQ(rx.decode(message(OFPT_HELLO, hex("0001 0008 00000012 0001 0008 00000002"))), 0);
    EXPECT_EQ(rx.decode(hex("04 00 00 50 00 00 00 01")), 0);
    EXPECT_EQ(rx.calls(), 1);
    // Set-config and features request are delivered without a body too.
    EXPECT_EQ(rx.decode(message(OFPT_SET_CONFIG, hex("0000 0080"))), 0);
    EXPECT_EQ(rx.decode(message(OFPT_FEATURES_REQUEST, {})), 0);
    EXPECT_EQ(rx.calls(), 1);
    EXPECT_EQ(rx.body(), nullptr);
}

TEST(RxSimple, EchoErrorFeaturesAndPortStatusKeepTheWireForm) {
    LogCapture log;
    Rx rx;
    ASSERT_EQ(
        rx.decode(hex("04 02 00 18 00 00 00 09 01 02 03 04 05 06 07 08 a1 a2 a3 a4 b1 b2 b3 b4")),
        0);
    auto *echo = rx.body<ofmsg_echo>();
    EXPECT_EQ(echo->payload64, 0x0102030405060708ULL);
    EXPECT_EQ(to_hex(reinterpret_cast<uint8_t *>(&echo->payload32a), 4), "a1a2a3a4");  // wire order
    EXPECT_EQ(to_hex(reinterpret_cast<uint8_t *>(&echo->payload32b), 4), "b1b2b3b4");

    ASSERT_EQ(rx.decode(hex("04 01 00 0c 00 00 00 01 00 01 00 06")), 0);
    EXPECT_EQ(rx.body<ofmsg_error>()->code, 6u);
    EXPECT_EQ(rx.body<ofmsg_error>()->data_len, 0u);
    EXPECT_EQ(rx.body<ofmsg_error>()->data, nullptr);
    ASSERT_EQ(rx.decode(hex("04 01 00 11 00 00 00 01 00 03 12 34 01 02 03 04 05")), 0);
    EXPECT_EQ(rx.body<ofmsg_error>()->type * 0x10000u + rx.body<ofmsg_error>()->code, 0x31234u);
    EXPECT_EQ(to_hex(rx.body<ofmsg_error>()->data, rx.body<ofmsg_error>()->data_len), "0102030405");
    ASSERT_EQ(rx.decode(hex("04 06 00 20 00 00 00 05 00 00 01 02 03 04 05 06 00 00 01 00"
                            "fe 02 ff ff 00 00 00 4f 00 00 00 01")),
              0);
    EXPECT_TRUE(
        log.has_raw("INFO ofmsg_rx_decode:[0-9]+ Received msg type:OFPT_FEATURES_REPLY, len:32"));
    EXPECT_TRUE(
        log.has_raw("INFO ofmsg_rx_decode:[0-9]+ Message decoded: \\{type=OFPT_FEATURES_REPLY.*"));
    EXPECT_TRUE(log.has(OFLOG_INFO,
                        "Message decoded: {type=OFPT_FEATURES_REPLY, length=32, xid = 5}"
                        "{dpid=0x10203040506, buffs=256, tabs=254, aux_id=2, caps=0x4f}"));
    EXPECT_EQ(rx.body<ofmsg_switch_features>()->reserved, 1u);  // not printed

    // The name ends at its NUL (junk after it is ignored) or fills all sixteen bytes, which
    // are any bytes (UTF-8 here).
    ASSERT_EQ(rx.decode(hex(kPortStatus)), 0);
    EXPECT_STREQ(rx.body<ofmsg_port_status>()->desc->name, "port-seven");
    EXPECT_TRUE(log.has(OFLOG_INFO,
                        "Message decoded: {type=OFPT_PORT_STATUS, length=80, xid = 7}{reason="
                        "OFPPR_MODIFY, desc={no=7, hw_addr= f2:0b:a4:d0:3f:70 , name=port-seven, "
                        "config=0x1, state=0x4, curr=0x2808, adv=0x2800, supp=0x280f, peer=0x8, "
                        "curr_spd=\"5000kbps\", max_spd=\"10000kbps\"}}"));
    Bytes full = hex(kPortStatus);
    const char utf8[] = "\xe7\xa7\x81\xe3\x81\xae\xe3\x83\x9d\xe3\x83\xbc\xe3\x83\x88!";
    std::memcpy(full.data() + 32, utf8, 16);
    ASSERT_EQ(rx.decode(full), 0);
    EXPECT_STREQ(rx.body<ofmsg_port_status>()->desc->name, utf8);
}

TEST(RxDelivery, BodyWithoutCallbackIsReleasedAndANullSlotStopsDelivery) {
    LogCapture log;
    {
        Rx none(false);
        // LeakSanitizer proves the releases: bodies, and flow statistics entries with their
        // matches and instructions, go at once.
        EXPECT_EQ(none.decode(hex(kPortStatus)), 0);
        EXPECT_EQ(none.decode(hex("04 01 00 10 00 00 00 01 00 01 00 06 01 02 03 04")), 0);
        EXPECT_EQ(none.decode(hex(kFlowStatsReply)), 0);
        EXPECT_EQ(none.calls(), 0);
        EXPECT_EQ(log.count(OFLOG_INFO,
                            "Message decoded: {type=OFPT_ERROR, length=16, xid = 1}"
                            "{type=1\", code=6\", dlen=\"4\"}"),
                  1u);
    }
    Rx rx;
    ofmsg_rx_cb table[OFMSG_NUM_TYPES];
    std::memcpy(table, msg_handler_cbs, sizeof table);
    table[OFPT_HELLO] = nullptr;
    ofmsg_register_callbacks(table);
    EXPECT_EQ(rx.decode(hex("04 00 00 08 00 00 00 01")), 0);
    EXPECT_EQ(rx.calls(), 0);
    EXPECT_NE(msg_handler_cbs[OFPT_ERROR], nullptr);
}

TEST(RxFamilies, FlowModPacketInAndMasksKeepTheirValues) {
    Rx rx;
    ASSERT_EQ(rx.decode(message(OFPT_FLOW_MOD, hex(kFlowModFixed + kEmptyMatch))), 0);
    EXPECT_EQ(rx.body<ofmsg_flow_mod>()->instructions, nullptr);
    EXPECT_EQ(rx.body<ofmsg_flow_mod>()->priority, 0x8000);
    // Masked fields keep value then mask, in host order.
    ASSERT_EQ(rx.decode(message(OFPT_FLOW_MOD, hex(kFlowModFixed +
                                                   "0001 0034 80001708 c0a80100 ffffff00"
                                                   "80000510 0000000000000010 00000000000000f0"
                                                   "8000070c 0a0b0c0d0e0f ffffff000000 00000000"))),
              0);
    const ofmsg_flow_match *m = rx.body<ofmsg_flow_mod>()->match;
    EXPECT_EQ(m->length, 0x30);
    uint32_t v[2];
    std::memcpy(v, m->tlvs[6]->value, 8);
    EXPECT_EQ(v[0], 0xc0a80100u);
    EXPECT_EQ(v[1], 0xffffff00u);
    uint64_t md[2];
    std::memcpy(md, m->tlvs[18]->value, 16);
    EXPECT_EQ(md[0], 0x10u);
    EXPECT_EQ(md[1], 0xf0u);
    EXPECT_EQ(to_hex(m->tlvs[1]->value, 12), "0a0b0c0d0e0fffffff000000");
    // An apply-actions instruction without actions stays, empty.
    ASSERT_EQ(rx.decode(message(OFPT_FLOW_MOD,
                                hex(kFlowModFixed + "0001000400000000 0004 0008 00000000"))),
              0);
    const ofmsg_flow_instructions *insts = rx.body<ofmsg_flow_mod>()->instructions;
    ASSERT_NE(insts, nullptr);
    EXPECT_EQ(insts->num_inst, 1u);
    EXPECT_EQ(insts->len, 8u);
    EXPECT_EQ(insts->instructions[0]->body, nullptr);
    // A packet-in without packet bytes has no data.
    ASSERT_EQ(rx.decode(message(OFPT_PACKET_IN,
                                hex("ffffffff 0000 00 00 0000000000000000 0001000400000000 0000"))),
              0);
    EXPECT_EQ(rx.body<ofmsg_packet_in>()->data_len, 0u);
    EXPECT_EQ(rx.body<ofmsg_packet_in>()->data, nullptr);
}

TEST(RxFamilies, MultipartRequestsKeepTheirBodies) {
    LogCapture log;
    Rx rx;
    for (const char *type : {"0000", "000d"}) {
        ASSERT_EQ(
            rx.decode(message(OFPT_MULTIPART_REQUEST, hex(std::string(type) + "0001 00000000"))),
            0);
        EXPECT_EQ(rx.body<ofmsg_multipart_request>()->body, nullptr);
        EXPECT_EQ(rx.body<ofmsg_multipart_request>()->flags, 1);
    }
    const Bytes ps = message(OFPT_MULTIPART_REQUEST, hex("0004 0000 00000000 00000007 00000000"));
    ASSERT_EQ(rx.decode(ps), 0);
    EXPECT_EQ(rx.body<ofmsg_multipart_request>()->body, ps.data() + 16);  // into the message
    EXPECT_TRUE(log.has(OFLOG_INFO, "multipart request type OFPMP_PORT_STATS"));
    EXPECT_TRUE(log.has_at(OFLOG_INFO, "ofmsg_multipart_request_decode",
                           "ofmsg_multipart_request_decode setting port number to 7 \n"));
}

TEST(RxFamilies, FlowStatsReplyEntriesComeBackAndReencodeToTheSameBytes) {
    Rx rx;
    const std::string entry =
        "0700 00000001 00000002 0003 0004 0005 0000 00000000 0000000000000006 0000000000000007 "
        "0000000000000008 0001000400000000";
    const std::string out = "0004 0018 00000000 0000 0010 00000002 ffff 000000000000";
    const Bytes msg = message(OFPT_MULTIPART_REPLY,
                              hex("0001 0000 00000000 0038" + entry + "0050" + entry + out));
    ASSERT_EQ(rx.decode(msg), 0);
    auto *r = static_cast<ofmsg_flow_stats_reply *>(rx.body<ofmsg_multipart_reply>()->body);
    ASSERT_EQ(r->num_flows, 2u);
    EXPECT_EQ(r->flow_stats[0]->instructions, nullptr);
    EXPECT_EQ(r->flow_stats[1]->instructions->len, 24u);
    // The fields: the golden table pins the encoder that must give the same bytes back.
    const Bytes again = encode(OFPT_MULTIPART_REPLY, rx.body(), 1);
    EXPECT_EQ(to_hex(again), to_hex(msg));
    // An entry exactly the minimum size at the end is an entry, not a tail.
    ASSERT_EQ(rx.decode(message(OFPT_MULTIPART_REPLY, hex("0001 0000 00000000 0038" + entry))), 0);
    EXPECT_EQ(
        static_cast<ofmsg_flow_stats_reply *>(rx.body<ofmsg_multipart_reply>()->body)->num_flows,
        1u);
}

}  // namespace
