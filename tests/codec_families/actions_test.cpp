// Instructions and actions: wire sizes, experimenter layouts, refusals and the text form.
#include <cstring>

#include "codec/ofmsg_internal.hpp"
#include "family_util.hpp"

using fam::Bytes;
using fam::hex;

namespace {

const std::string kEmptyMatch = "0001000400000000";

Bytes flow_mod(const std::string &insts) {
    return fam::message(OFPT_FLOW_MOD, hex("0000000000000001 0000000000000000 00 00 0000 0000 8000"
                                           "ffffffff ffffffff ffffffff 0000 0000" +
                                           kEmptyMatch + insts));
}

// The list with one apply-actions instruction holding the given actions (taken over).
ofmsg_flow_instructions *apply(std::initializer_list<ofmsg_action *> actions) {
    ofmsg_instruction_actions *list = nullptr;
    for (ofmsg_action *a : actions)
        list = ofmsg_instruction_action_add(list, a);
    return ofmsg_instructions_add(nullptr, ofmsg_instruction_action_create(list));
}

// Bytes of the instruction list as the flow-mod encoder writes them.
std::string encode_insts(ofmsg_flow_instructions *insts) {
    ofmsg_flow_mod fm{};
    fm.match = ofmsg_match_create();
    fm.instructions = insts;
    const Bytes wire = fam::encode(OFPT_FLOW_MOD, &fm);
    ofmsg_flow_match_free(fm.match);
    ofmsg_flow_instructions_free(insts);
    return wire.size() < 56 ? "refused" : fam::to_hex(Bytes(wire.begin() + 56, wire.end()));
}

std::string canon(const std::string &spaced) {
    return fam::to_hex(hex(spaced));
}

std::string print_insts(const ofmsg_flow_instructions *insts) {
    ofmsg_print_buf[0] = '\0';
    ofagent::ofmsg_flow_instructions_print(insts, ofmsg_print_buf);
    return ofmsg_print_buf;
}

}  // namespace

TEST(ActionWire, ApplyActionsWithOneOutputIsTwentyFourBytesAndConsumesTheCount) {
    const Bytes wire = hex("0004 0018 00000000 0000 0010 00000002 ffff 000000000000");
    ofmsg_flow_instructions *insts = nullptr;
    uint32_t remaining = 24;
    ASSERT_EQ(ofagent::ofmsg_flow_instructions_decode(
                  &insts, ofagent::wire::Reader(wire.data(), wire.size()), &remaining),
              0);
    EXPECT_EQ(remaining, 0u);
    ASSERT_EQ(insts->num_inst, 1u);
    EXPECT_EQ(insts->len, 24u);
    EXPECT_EQ(insts->instructions[0]->len, 24);
    auto *out = static_cast<ofmsg_action_output *>(insts->instructions[0]->body->actions[0]->body);
    EXPECT_EQ(out->port, 2u);
    EXPECT_EQ(out->max_len, 0xffff);
    EXPECT_EQ(print_insts(insts),
              "{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_OUTPUT{port=2, max_len=65535}");
    EXPECT_EQ(encode_insts(insts), fam::to_hex(wire));
}

TEST(ActionWire, SetFieldsOfSixTwoAndOneBytesAreSixteenLong) {
    const uint8_t mac[6] = {0xaa, 0xbb, 0xcc, 0, 0, 1};
    const uint16_t vid = 0x1005;
    const uint8_t pcp = 3, dscp = 46, ecn = 1;
    ofmsg_action *a[] = {
        ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_ETH_DST, 0), 6, mac),
        ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_VLAN_VID, 0), 2, &vid),
        ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_VLAN_PCP, 0), 1, &pcp),
        ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_IP_DSCP, 0), 1, &dscp),
        ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_IP_ECN, 0), 1, &ecn)};
    for (ofmsg_action *x : a)
        EXPECT_EQ(x->len, 16);
    ofmsg_flow_instructions *insts = apply({a[0], a[1], a[2], a[3], a[4]});
    EXPECT_EQ(print_insts(insts),
              "{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_SET_FIELD {Field=OXM_OF_ETH_DST, value=  "
              "aa:bb:cc:00:00:01 } {Type=OFPAT_SET_FIELD {Field=OXM_OF_VLAN_VID, value=4101}"
              " {Type=OFPAT_SET_FIELD {Field=OXM_OF_VLAN_PCP, value=3}"
              " {Type=OFPAT_SET_FIELD {Field=OXM_OF_IP_DSCP, value=46}"
              " {Type=OFPAT_SET_FIELD {Field=OXM_OF_IP_ECN, value=1}");
    EXPECT_EQ(encode_insts(insts), canon("0004005800000000"
                                         "0019001080000606aabbcc0000010000"
                                         "001900108000 0c02 1005 000000000000"
                                         "001900108000 0e01 03 00000000000000"
                                         "001900108000 1001 2e 00000000000000"
                                         "001900108000 1201 01 00000000000000"));
}

TEST(ActionWire, ExperimenterActionsFollowTheirSubtypeLayouts) {
    ofmsg_flow_instructions *insts =
        apply({ofmsg_action_exp_create_set_appid(7), ofmsg_action_exp_create_zelta_output(3, 100),
               ofmsg_action_exp_create_flag(ZELTA_ACTION_EXP_SET_FLAG, 0x81),
               ofmsg_action_exp_create_flag(ZELTA_ACTION_EXP_OVERWRITE_FLAG, 0x2)});
    EXPECT_EQ(print_insts(insts),
              "{Type=OFPIT_APPLY_ACTIONS {Type=OFPAT_EXPERIMENTER {Type=SET_APPID{appid=7}"
              " {Type=OFPAT_EXPERIMENTER {Type=ZELTA OUTPUT{port=3, max_packet_count=100}"
              " {Type=OFPAT_EXPERIMENTER {Type=SET FLAG{soflagbits:81}"
              " {Type=OFPAT_EXPERIMENTER {Type=OVERWRITE FLAG{soflagbits:2}");
    const std::string expect = canon(
        "0004 0050 00000000"
        "ffff 0010 004d2a91 0005 0008 0007 0000"
        "ffff 0018 004d2a91 0004 0010 00000003 00000064 00000000"
        "ffff 0010 004d2a91 0001 0008 00000081"
        "ffff 0010 004d2a91 0002 0008 00000002");
    EXPECT_EQ(encode_insts(insts), expect);
}

TEST(ActionWire, RemoveFlagHasABuilderButIsNeverEncoded) {
    ofmsg_action *a = ofmsg_action_exp_create_flag(ZELTA_ACTION_EXP_REMOVE_FLAG, 1);
    EXPECT_EQ(a->len, 16);
    EXPECT_STREQ(ofmsg_zelta_action_exp_type_to_string(ZELTA_ACTION_EXP_REMOVE_FLAG),
                 "REMOVE_FLAG");
    EXPECT_EQ(encode_insts(apply({a})), "refused");
}

TEST(ActionBuilders, ListsGrowByOneAndSumTheirLengths) {
    ofmsg_instruction_actions *list = nullptr;
    list = ofmsg_instruction_action_add(list, ofmsg_action_create_output(1, 0));
    list = ofmsg_instruction_action_add(list, ofmsg_action_exp_create_zelta_output(1, 2));
    const uint8_t pcp = 1;
    list = ofmsg_instruction_action_add(
        list, ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_VLAN_PCP, 0), 1, &pcp));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->num_actions, 3u);
    EXPECT_EQ(list->len, 16u + 24u + 16u);
    ofmsg_instruction *inst = ofmsg_instruction_action_create(list);
    EXPECT_EQ(inst->len, 64);
    EXPECT_EQ(inst->type, OFPIT_APPLY_ACTIONS);
    ofmsg_flow_instructions *insts = ofmsg_instructions_add(nullptr, inst);
    EXPECT_EQ(ofmsg_instructions_add(insts, nullptr), nullptr);  // nothing to add
    EXPECT_EQ(insts->num_inst, 1u);
    EXPECT_EQ(insts->len, 64u);
    ofmsg_flow_instructions_free(insts);
}

TEST(ActionNames, TypesAndSubtypesHaveTheirNames) {
    EXPECT_STREQ(ofagent::ofmsg_ofp_instruction_type_to_string(4), "OFPIT_APPLY_ACTIONS");
    EXPECT_STREQ(ofagent::ofmsg_ofp_instruction_type_to_string(1), "unknown");
    EXPECT_STREQ(ofagent::ofmsg_ofp_action_type_to_string(0), "OFPAT_OUTPUT");
    EXPECT_STREQ(ofagent::ofmsg_ofp_action_type_to_string(25), "OFPAT_SET_FIELD");
    EXPECT_STREQ(ofagent::ofmsg_ofp_action_type_to_string(0xffff), "OFPAT_EXPERIMENTER");
    EXPECT_STREQ(ofagent::ofmsg_ofp_action_type_to_string(22), "unknown");
    EXPECT_STREQ(ofmsg_zelta_action_exp_type_to_string(1), "SET FLAG");
    EXPECT_STREQ(ofmsg_zelta_action_exp_type_to_string(2), "OVERWRITE FLAG");
    EXPECT_STREQ(ofmsg_zelta_action_exp_type_to_string(4), "ZELTA OUTPUT");
    EXPECT_STREQ(ofmsg_zelta_action_exp_type_to_string(5), "SET_APPID");
    EXPECT_STREQ(ofmsg_zelta_action_exp_type_to_string(6), "unknown");
}

TEST(ActionDecoding, UnsupportedOrMalformedInputIsRefusedWithItsStatus) {
    struct Case {
        const char *name;
        std::string insts;
        int32_t status;
        const char *line;
    } cases[] = {
        {"experimenter subtype 3", "0004 0018 00000000 ffff 0010 004d2a91 0003 0008 00000001",
         OFMSG_ERR_ACTION_BAD_EXP_TYPE, "Unknown (unsupported) EXPERIMENTER action type 3"},
        {"foreign experimenter before its subtype",
         "0004 0018 00000000 ffff 0010 00002320 0003 0008 00000001", OFMSG_ERR_BAD_EXPERIMENTER,
         "Not supported experimenter type "},
        {"action length 12", "0004 0014 00000000 0000 000c 00000002 ffff 0000", OFMSG_ERR_BAD_LEN,
         " "},
        {"output of 24 bytes", "0004 0020 00000000 0000 0018 00000002 ffff 0000 0000000000000000",
         OFMSG_ERR_BAD_LEN, " "},
        {"goto-table instruction", "0001 0008 01 000000", OFMSG_ERR_INST_UNKNOWN,
         "Unsupported instruction type 1"},
        {"group action", "0004 0010 00000000 0016 0008 00000001", OFMSG_ERR_ACTION_BAD_TYPE,
         "Unsupported action type 22"},
        {"set-field of ipv4_src", "0004 0018 00000000 0019 0010 80001604 0a000001 00000000",
         OFMSG_ERR_ACTION_BAD_SET_TYPE, "Unsupported set-field field 11"},
        {"set-field eth_dst of 4 bytes", "0004 0018 00000000 0019 0010 80000604 0a000001 00000000",
         OFMSG_ERR_ACTION_BAD_SET_LEN, "Set-field OXM_OF_ETH_DST payload length 4"},
        {"set-field running past its action", "0004 0010 00000000 0019 0008 80000606",
         OFMSG_ERR_ACTION_BAD_SET_LEN, "Set-field OXM_OF_ETH_DST payload length 6"},
        {"instruction longer than the message", "0004 0020 00000000 0000 0010 00000002 ffff 0000",
         OFMSG_ERR_BAD_LEN, " "},
        {"action longer than its instruction",
         "0004 0010 00000000 0000 0010 00000002 ffff 000000000000", OFMSG_ERR_BAD_LEN,
         "Decode Error "},
        {"three stray bytes after the list",
         "0004 0018 00000000 0000 0010 00000002 ffff 0000 "
         "00000000 000000",
         OFMSG_ERR_BAD_LEN, " "},
        {"zelta output of 16 bytes", "0004 0018 00000000 ffff 0010 004d2a91 0004 0010 00000003",
         OFMSG_ERR_BAD_LEN, " "},
        {"flag with short subtype length",
         "0004 0018 00000000 ffff 0010 004d2a91 0001 0003 00000001", OFMSG_ERR_BAD_LEN, " "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fam::LogCapture log;
        fam::Rx rx;
        EXPECT_EQ(rx.decode(flow_mod(c.insts)), c.status);
        EXPECT_EQ(rx.calls(), 0);
        EXPECT_TRUE(log.has(OFLOG_ERRS, c.line)) << log.dump();
    }
}

TEST(ActionDecoding, ApplyActionsWithoutActionsKeepsAnEmptyInstruction) {
    fam::Rx rx;
    ASSERT_EQ(rx.decode(flow_mod("0004 0008 00000000")), 0);
    const ofmsg_flow_instructions *insts = rx.body<ofmsg_flow_mod>()->instructions;
    ASSERT_NE(insts, nullptr);
    EXPECT_EQ(insts->num_inst, 1u);
    EXPECT_EQ(insts->instructions[0]->body, nullptr);
    EXPECT_EQ(insts->len, 8u);
    const Bytes again = fam::encode(OFPT_FLOW_MOD, rx.body<ofmsg_flow_mod>(), 1);
    EXPECT_EQ(fam::to_hex(again), fam::to_hex(flow_mod("0004 0008 00000000")));
}
