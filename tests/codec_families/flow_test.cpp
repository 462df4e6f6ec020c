// Flow-mod, packet-in and flow-removed: sizes, refusals, ownership and text forms.
#include <cstring>

#include "family_util.hpp"

using fam::Bytes;
using fam::hex;

namespace {

const std::string kFixed =
    "0000000000000001 0000000000000000 00 00 0000 0000 8000 ffffffff ffffffff ffffffff 0000 0000";

// The body's text: what ofmsg_print writes after the header's own "{...}".
std::string print(const Bytes &msg, const void *body) {
    const std::string text = ofmsg_print(msg.data(), body);
    return text.substr(text.find('}') + 1);
}

ofmsg_flow_match *in_port_match(uint32_t port) {
    ofmsg_flow_match *m = ofmsg_match_create();
    ofmsg_match_tlv_create_32_value(m, 0, ofoxm_header_value(OXM_OF_IN_PORT, 0), port);
    return m;
}

}  // namespace

TEST(FlowMod, FiftySixBytesWithAnEmptyMatchHasNoInstructions) {
    fam::Rx rx;
    ASSERT_EQ(rx.decode(fam::message(OFPT_FLOW_MOD, hex(kFixed + "0001000400000000"))), 0);
    const auto *fm = rx.body<ofmsg_flow_mod>();
    ASSERT_NE(fm, nullptr);
    EXPECT_EQ(fm->instructions, nullptr);
    EXPECT_EQ(fm->cookie, 1u);
    EXPECT_EQ(fm->priority, 0x8000);
    EXPECT_EQ(fm->buffer_id, 0xffffffffu);
}

TEST(FlowMod, InPortAndOneOutputIsEightyEightBytesBothWays) {
    ofmsg_flow_mod fm{};
    fm.cookie = 0x1122334455667788ull;
    fm.cookie_mask = 0xff;
    fm.table_id = 3;
    fm.command = OFPFC_MODIFY_STRICT;
    fm.idle_timeout = 10;
    fm.hard_timeout = 20;
    fm.priority = 300;
    fm.buffer_id = 0xffffffff;
    fm.out_port = 4;
    fm.out_group = 5;
    fm.flags = 1;
    fm.match = in_port_match(1);
    fm.instructions = ofmsg_instructions_add(
        nullptr, ofmsg_instruction_action_create(
                     ofmsg_instruction_action_add(nullptr, ofmsg_action_create_output(2, 0))));
    const Bytes wire = fam::encode(OFPT_FLOW_MOD, &fm, 9);
    EXPECT_EQ(fam::to_hex(wire),
              fam::to_hex(hex("040e005800000009 1122334455667788 00000000000000ff 03 02 000a "
                              "0014 012c ffffffff 00000004 00000005 0001 0000"
                              "0001000c 80000004 00000001 00000000"
                              "0004 0018 00000000 0000 0010 00000002 0000 000000000000")));
    EXPECT_EQ(
        print(wire, &fm),
        "{table=3, cmd=OFPFC_MODIFY_STRICT, cookie=0x1122334455667788, mask=0xffidle=10, "
        "hard=20, prio=300, buf=4294967295, port=4, group=5, flags=0x1, match={oxm{{type="
        "OXM_OF_IN_PORT, value=1}, insts={{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=2, "
        "max_len=0}}");
    fam::Rx rx;
    ASSERT_EQ(rx.decode(wire), 0);
    auto *back = rx.body<ofmsg_flow_mod>();
    EXPECT_EQ(back->command, static_cast<uint32_t>(OFPFC_MODIFY_STRICT));
    EXPECT_EQ(back->cookie, fm.cookie);
    EXPECT_EQ(back->instructions->len, 24u);
    ofmsg_flow_match_free(fm.match);
    ofmsg_flow_instructions_free(fm.instructions);
}

TEST(FlowMod, ShortOrBrokenMessagesAreRefused) {
    fam::LogCapture log;
    fam::Rx rx;
    Bytes m47 = fam::message(OFPT_FLOW_MOD, hex(kFixed));
    m47.pop_back();
    EXPECT_EQ(rx.decode(m47), OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(OFLOG_ERRS, "Decode Error "));
    // 48 bytes: the match header itself is missing.
    EXPECT_EQ(rx.decode(fam::message(OFPT_FLOW_MOD, hex(kFixed))), OFMSG_ERR_BAD_LEN);
    // A match whose padding is cut off.
    EXPECT_EQ(rx.decode(fam::message(OFPT_FLOW_MOD, hex(kFixed + "0001000c8000000400000001"))),
              OFMSG_ERR_BAD_LEN);
    EXPECT_EQ(rx.calls(), 0);
}

TEST(FlowMod, CommandNamesAndNullInstructionsText) {
    EXPECT_STREQ(ofmsg_ofp_flow_mod_command_to_string(0), "OFPFC_ADD");
    EXPECT_STREQ(ofmsg_ofp_flow_mod_command_to_string(4), "OFPFC_DELETE_STRICT");
    EXPECT_STREQ(ofmsg_ofp_flow_mod_command_to_string(5), "unknown");
    ofmsg_flow_mod fm{};
    fm.command = 9;
    fm.match = ofmsg_match_create();
    const Bytes wire = fam::encode(OFPT_FLOW_MOD, &fm);
    EXPECT_EQ(wire.size(), 56u);
    const std::string text = print(wire, &fm);
    EXPECT_NE(text.find("cmd=unknown"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 10), ", insts={}") << text;
    ofmsg_flow_match_free(fm.match);
}

TEST(PacketIn, EmptyMatchAndSixtyBytesIsNinetyFourLong) {
    Bytes data(60);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i * 7);
    ofmsg_packet_in pi{};
    pi.buffer_id = 0xffffffff;
    pi.total_len = 60;
    pi.reason = 1;
    pi.table_id = 2;
    pi.cookie = 0xabcdef;
    pi.match = ofmsg_match_create();
    pi.data_len = 60;
    pi.data = data.data();
    const Bytes wire = fam::encode(OFPT_PACKET_IN, &pi);
    ASSERT_EQ(wire.size(), 94u);
    EXPECT_EQ(wire[32], 0);
    EXPECT_EQ(wire[33], 0);
    EXPECT_EQ(print(wire, &pi), "{buffer=4294967295, tlen=60, reas=1, table=2, dlen=60 }");
    fam::Rx rx;
    ASSERT_EQ(rx.decode(wire), 0);
    auto *back = rx.body<ofmsg_packet_in>();
    EXPECT_EQ(back->data_len, 60u);
    EXPECT_EQ(Bytes(back->data, back->data + 60), data);
    EXPECT_EQ(back->cookie, 0xabcdefu);
    EXPECT_EQ(back->reason, 1u);
    ofmsg_flow_match_free(pi.match);
}

TEST(PacketIn, NoPacketBytesGivesNullDataAndCutPaddingIsRefused) {
    const std::string fixed = "ffffffff 0000 00 00 0000000000000000 0001000400000000";
    fam::Rx rx;
    ASSERT_EQ(rx.decode(fam::message(OFPT_PACKET_IN, hex(fixed + "0000"))), 0);
    EXPECT_EQ(rx.body<ofmsg_packet_in>()->data_len, 0u);
    EXPECT_EQ(rx.body<ofmsg_packet_in>()->data, nullptr);
    fam::LogCapture log;
    EXPECT_EQ(rx.decode(fam::message(OFPT_PACKET_IN, hex(fixed + "00"))), OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(OFLOG_ERRS, "Decode Error "));
    EXPECT_EQ(rx.decode(fam::message(OFPT_PACKET_IN, hex("ffffffff 0000 00 00 0000000000000000"))),
              OFMSG_ERR_BAD_LEN);
    EXPECT_EQ(rx.calls(), 0);
}

TEST(FlowRemoved, EmptyMatchEncodesToFiftySixBytesAndReleaseLeavesTheMatch) {
    auto *fr = static_cast<ofmsg_flow_removed *>(std::calloc(1, sizeof(ofmsg_flow_removed)));
    fr->cookie = 7;
    fr->priority = 100;
    fr->reason = OFPRR_DELETE;
    fr->table_id = 1;
    fr->duration_sec = 2;
    fr->duration_nsec = 3;
    fr->idle_timeout = 4;
    fr->hard_timeout = 5;
    fr->packet_count = 6;
    fr->byte_count = 600;
    fr->match = ofmsg_match_create();
    const Bytes wire = fam::encode(OFPT_FLOW_REMOVED, fr, 2);
    EXPECT_EQ(fam::to_hex(wire),
              fam::to_hex(hex("040b003800000002 0000000000000007 0064 02 01 00000002 00000003 "
                              "0004 0005 0000000000000006 0000000000000258 0001000400000000")));
    EXPECT_EQ(print(wire, fr),
              "{reason=OFPRR_DELETE, cookie=0x7, priority=100, table_id=1, duration_sec=2, "
              "duration_nsec=3, idle_timeout=4, hard_timeout=5, packet_count=6, byte_count=600, "
              "match={oxm{}}");
    fr->reason = 5;
    EXPECT_NE(print(wire, fr).find("{reason=unknown,"), std::string::npos);
    ofmsg_flow_match *match = fr->match;
    ofmsg_free(OFPT_FLOW_REMOVED, fr);
    EXPECT_EQ(match->type, OFPMT_OXM);  // still the host's, still alive (ASan would object)
    ofmsg_flow_match_free(match);
    EXPECT_STREQ(ofmsg_ofp_flow_removed_reason_to_string(0), "OFPRR_IDLE_TIMEOUT");
    EXPECT_STREQ(ofmsg_ofp_flow_removed_reason_to_string(4), "OFPRR_METER_DELETE");
}

TEST(FlowEncoders, RecordsWithoutAMatchOrBeyondSixtyFourKiBAreRefused) {
    ofmsg_flow_mod fm{};
    EXPECT_TRUE(fam::encode(OFPT_FLOW_MOD, &fm).empty());
    ofmsg_packet_in pi{};
    pi.match = ofmsg_match_create();
    pi.data_len = 70000;
    Bytes big(70000);
    pi.data = big.data();
    EXPECT_TRUE(fam::encode(OFPT_PACKET_IN, &pi).empty());
    pi.data_len = 65535 - 34;
    EXPECT_EQ(fam::encode(OFPT_PACKET_IN, &pi).size(), 65535u);
    ofmsg_flow_match_free(pi.match);
}
