// Receive path refusals: every malformed or unsupported message gets its status, reaches no
// callback, and leaves its log lines.
#include "common/codec_util.hpp"

using namespace codec;

namespace {

const std::string kInPortMatch = "0001000c 80000004 00000001 00000000";
// One apply-actions instruction with an output to port 2.
const std::string kOutputInst = "0004 0018 00000000 0000 0010 00000002 ffff 000000000000";

// The frame's line for bytes that no step consumed.
std::string leftover(unsigned n) {
    return "Error in parsing message, remaining buflen:" + std::to_string(n);
}

std::string rep(const std::string &s, int n) {
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

// One ofp_flow_stats entry of the given length with an empty (or the given) match.
std::string flow_stat(const std::string &insts, unsigned len, const std::string &m = kEmptyMatch) {
    char head[5];
    std::snprintf(head, sizeof head, "%04x", len);
    return head + std::string("0700 00000001 00000002 0003 0004 0005 0000 00000000 ") +
           "0000000000000006 0000000000000007 0000000000000008" + m + insts;
}

struct Row {
    const char *name;
    Bytes msg;
    int32_t status;
    // Log lines that must appear: 'E', 'I' or 'D', optionally "function|" (the function the
    // line's tag names), then the message; "!E..." must not appear.
    std::vector<std::string> lines;
};

Row raw(const char *name, const std::string &h, int32_t st, std::vector<std::string> lines) {
    return {name, hex(h), st, std::move(lines)};
}
Row msg(const char *name, uint8_t type, const std::string &body, int32_t st,
        std::vector<std::string> lines) {
    return {name, message(type, hex(body)), st, std::move(lines)};
}
Row flow_mod(const char *name, const std::string &after_fixed, int32_t st,
             std::vector<std::string> lines) {
    return msg(name, OFPT_FLOW_MOD, kFlowModFixed + after_fixed, st, std::move(lines));
}
Row insts(const char *name, const std::string &i, int32_t st, std::vector<std::string> lines) {
    return flow_mod(name, kEmptyMatch + i, st, std::move(lines));
}

std::vector<Row> rows() {
    const std::string short_features = "04 06 00 1f 00 00 00 01" + rep("00", 23);
    const std::string exp = "004d2a91 ";
    Bytes long_barrier = hex("04 14");  // its header's length is not compared with the buffer
    for (int i = 2; i < 300; i++)
        long_barrier.push_back(uint8_t(i));
    return {
        raw("seven bytes", "04 00 00 08 00 00 00", OFMSG_ERR_BAD_LEN,
            {"EBad message received, buflen:7"}),
        raw("nothing", "", OFMSG_ERR_BAD_LEN, {"EBad message received, buflen:0"}),
        raw("version 1", "01 00 00 08 00 00 00 01", OFMSG_ERR_HELLO_INCOMPATIBLE,
            {"EBad message received, version: 1", "!IReceived msg type:OFPT_HELLO, len:8"}),
        raw("version 0x1a", "1a 00 00 08 00 00 00 01", OFMSG_ERR_HELLO_INCOMPATIBLE,
            {"EBad message received, version: 1a"}),
        raw("barrier request", "04 14 00 08 00 00 00 01", OFMSG_ERR_UNHANDLED_TYPE,
            {"IReceived msg type:OFPT_BARRIER_REQUEST, len:8",
             "Eofmsg_rx_decode|Error in parsing message, remaining buflen:8 "
             "content:0414000800000001"}),
        {"300 unconsumed bytes, written up to 255",
         long_barrier,
         OFMSG_ERR_UNHANDLED_TYPE,
         {"E" + leftover(300) + " content:" + to_hex(long_barrier.data(), 255)}},
        raw("type 30", "04 1e 00 08 00 00 00 01", OFMSG_ERR_UNHANDLED_TYPE,
            {"IReceived msg type:unknown, len:8"}),
        raw("experimenter type 9 consumed whole", "04 04 00 10 00 00 00 01 00 4d 2a 91 00 00 00 09",
            OFMSG_ERR_BAD_EXP_TYPE,
            {"EError in parsing message, remaining buflen:0 content:<eom>"}),
        raw("experimenter type 9 with a tail",
            "04 04 00 14 00 00 00 01 00 4d 2a 91 00 00 00 09 de ad be ef", OFMSG_ERR_BAD_EXP_TYPE,
            {"EError in parsing message, remaining buflen:4 content:deadbeef"}),
        msg("flow removed", OFPT_FLOW_REMOVED, rep("00", 8), OFMSG_ERR_BAD_LEN,
            {"EError in parsing message, remaining buflen:16"}),
        msg("features request with a body", OFPT_FEATURES_REQUEST, rep("00", 8), OFMSG_ERR_BAD_LEN,
            {"EError in parsing message, remaining buflen:8"}),
        msg("set config without body wraps the count", OFPT_SET_CONFIG, "", OFMSG_ERR_BAD_LEN,
            {"EError in parsing message, remaining buflen:4294967292"}),
        raw("features reply of 31 bytes", short_features, OFMSG_ERR_BAD_LEN,
            {"EDecode Error ", "EError in parsing message, remaining buflen:31 content:" +
                                   to_hex(hex(short_features))}),
        msg("port status of 79 bytes", OFPT_PORT_STATUS, rep("00", 71), OFMSG_ERR_BAD_LEN,
            {"EDecode Error "}),
        msg("hello bitmap without 1.3", OFPT_HELLO, "0001 0008 00000002",
            OFMSG_ERR_HELLO_INCOMPATIBLE, {"EVersion unsupported: 2"}),
        msg("hello element of 12 in 8", OFPT_HELLO, "0001 000c 00000010", OFMSG_ERR_BAD_LEN,
            {"EDecode Error "}),
        msg("hello element of 0", OFPT_HELLO, "0001 0000 00000010", OFMSG_ERR_BAD_LEN,
            {"EDecode Error "}),
        msg("hello bitmap of 4", OFPT_HELLO, "0001 0004", OFMSG_ERR_BAD_LEN, {"EDecode Error "}),
        msg("hello with 2 stray bytes", OFPT_HELLO, "0001", OFMSG_ERR_BAD_LEN, {"EDecode Error "}),
        msg("hello element type 2", OFPT_HELLO, "0002 0008 00000010", OFMSG_ERR_HELLO_INCOMPATIBLE,
            {"EUnknown hello extension 2"}),
        msg("echo without payload", OFPT_ECHO_REQUEST, "", OFMSG_ERR_BAD_LEN,
            {"EDecode Error buflen 8, total size 24 "}),
        msg("echo of 32 bytes", OFPT_ECHO_REQUEST, rep("00", 24), OFMSG_ERR_BAD_LEN,
            {"EError in parsing message, remaining buflen:8"}),
        msg("error of 11 bytes", OFPT_ERROR, "000100", OFMSG_ERR_SHORT_ERROR_MSG,
            {"EDecode Error "}),
        // Flow-mod and packet-in.
        raw("flow mod of 47 bytes",
            "040e002f00000001" + kFlowModFixed.substr(0, kFlowModFixed.size() - 2),
            OFMSG_ERR_BAD_LEN, {"EDecode Error "}),
        flow_mod("flow mod without match", "", OFMSG_ERR_BAD_LEN, {}),
        flow_mod("match padding cut", "0001000c8000000400000001", OFMSG_ERR_BAD_LEN, {}),
        msg("packet in with one pad byte", OFPT_PACKET_IN,
            "ffffffff 0000 00 00 0000000000000000" + kEmptyMatch + "00", OFMSG_ERR_BAD_LEN,
            {"EDecode Error "}),
        msg("packet in without match", OFPT_PACKET_IN, "ffffffff 0000 00 00 0000000000000000",
            OFMSG_ERR_BAD_LEN, {}),
        // Instructions and actions.
        insts("experimenter action subtype 3",
              "0004 0018 00000000 ffff 0010 004d2a91 0003 0008 00000001",
              OFMSG_ERR_ACTION_BAD_EXP_TYPE, {"EUnknown (unsupported) EXPERIMENTER action type 3"}),
        insts("foreign experimenter action",
              "0004 0018 00000000 ffff 0010 00002320 0003 0008 00000001",
              OFMSG_ERR_BAD_EXPERIMENTER,
              {"Eofmsg_action_decode|Not supported experimenter type "}),
        insts("action length 12", "0004 0014 00000000 0000 000c 00000002 ffff 0000",
              OFMSG_ERR_BAD_LEN, {"Eofmsg_action_decode| "}),
        // An action longer than its layout consumes only the layout: the rest is left over.
        insts("output of 24 bytes", "0004 0020 00000000 0000 0018 00000002 ffff" + rep("00", 14),
              OFMSG_ERR_BAD_LEN, {"Eofmsg_rx_decode|" + leftover(8), "!E "}),
        insts("zelta output of 32 bytes",
              "0004 0028 00000000 ffff 0020 004d2a91 0004 0010 00000003 00000005" + rep("00", 12),
              OFMSG_ERR_BAD_LEN, {"Eofmsg_rx_decode|" + leftover(8), "!E "}),
        insts("two bytes after the last instruction", kOutputInst + "0000", OFMSG_ERR_BAD_LEN,
              {"Eofmsg_rx_decode|" + leftover(2), "!E "}),
        insts("set-field of 12 bytes", "0004 0014 00000000 0019 000c 80001001 2e000000",
              OFMSG_ERR_BAD_LEN, {"E "}),
        insts("goto-table instruction", "0001 0008 01 000000", OFMSG_ERR_INST_UNKNOWN,
              {"EUnsupported instruction type 1"}),
        insts("group action", "0004 0010 00000000 0016 0008 00000001", OFMSG_ERR_ACTION_BAD_TYPE,
              {"EUnsupported action type 22"}),
        insts("set-field of ipv4_src", "0004 0018 00000000 0019 0010 80001604 0a000001 00000000",
              OFMSG_ERR_ACTION_BAD_SET_TYPE, {"EUnsupported set-field field 11"}),
        insts("set-field eth_dst of 4 bytes",
              "0004 0018 00000000 0019 0010 80000604 0a000001 00000000",
              OFMSG_ERR_ACTION_BAD_SET_LEN, {"ESet-field OXM_OF_ETH_DST payload length 4"}),
        insts("set-field past its action", "0004 0010 00000000 0019 0008 80000606",
              OFMSG_ERR_ACTION_BAD_SET_LEN, {"ESet-field OXM_OF_ETH_DST payload length 6"}),
        insts("instruction past the message", "0004 0020 00000000 0000 0010 00000002 ffff 0000",
              OFMSG_ERR_BAD_LEN, {"Eofmsg_flow_instructions_decode| "}),
        insts("action past its instruction",
              "0004 0010 00000000 0000 0010 00000002 ffff " + rep("00", 6), OFMSG_ERR_BAD_LEN,
              {"Eofmsg_instruction_actions_decode|Decode Error "}),
        insts("three stray bytes after the list", kOutputInst + "000000", OFMSG_ERR_BAD_LEN,
              {"Eofmsg_rx_decode|" + leftover(3), "!E "}),
        insts("three stray bytes inside the instruction",
              "0004 001b 00000000 0000 0010 00000002 ffff 0000 00000000 000000", OFMSG_ERR_BAD_LEN,
              {"Eofmsg_rx_decode|" + leftover(3), "!E "}),
        insts("zelta output of 16 bytes",
              "0004 0018 00000000 ffff 0010 004d2a91 0004 0010 00000003", OFMSG_ERR_BAD_LEN,
              {"Eofmsg_action_decode| "}),
        insts("flag with short subtype length",
              "0004 0018 00000000 ffff 0010 004d2a91 0001 0003 00000001", OFMSG_ERR_BAD_LEN,
              {"E "}),
        // Matches.
        flow_mod("match wire type 0", "0000 0004 00000000", OFMSG_ERR_BAD_LEN, {"DDecode Error "}),
        flow_mod("match length 3", "0001 0003 00000000", OFMSG_ERR_BAD_LEN, {"EDecode Error "}),
        flow_mod("match past the message", "0001 0040 80000004 00000001", OFMSG_ERR_BAD_LEN,
                 {"EDecode Error ", "Eofmsg_flow_mod_decode| "}),
        flow_mod("tlv with zero payload", "0001 0008 80000000", OFMSG_ERR_BAD_LEN,
                 {"Eofmsg_flow_match_decode|Decode Error "}),
        flow_mod("tlv past the match", "0001 000c 80000008 00000001 00000000", OFMSG_ERR_BAD_LEN,
                 {"EDecode Error "}),
        flow_mod("tlv one byte past the match", "0001 000b 80000004 00000001 00000000",
                 OFMSG_ERR_BAD_LEN, {"EDecode Error "}),
        flow_mod("stray bytes in the match", "0001 000a 80000a02 0800 0000 000000",
                 OFMSG_ERR_BAD_LEN, {"EDecode Error "}),
        flow_mod("in_port of 2 bytes", "0001 000a 80000002 0001 000000000000",
                 OFMSG_ERR_MATCH_BAD_LEN, {"EOXM OXM_OF_IN_PORT payload length 2", "E "}),
        flow_mod("eth_type with mask bit", "0001 000c 80000b04 0800ffff 00000000",
                 OFMSG_ERR_MATCH_BAD_LEN, {"EOXM OXM_OF_ETH_TYPE payload length 4"}),
        flow_mod("ipv4 masked of 4 bytes", "0001 000c 80001704 0a000000 00000000",
                 OFMSG_ERR_MATCH_BAD_LEN, {"EOXM OXM_OF_IPV4_SRC payload length 4"}),
        flow_mod("repeated field", "0001 0010 80000a02 0800 80000a02 86dd",
                 OFMSG_ERR_MATCH_DUP_FIELD, {"EOXM OXM_OF_ETH_TYPE repeated"}),
        flow_mod("vlan_vid in a match", "0001 000a 80000c02 1001 000000000000",
                 OFMSG_ERR_MATCH_BAD_FIELD,
                 {"Eofmsg_flow_match_decode|field:6",
                  "Eofoxm_from_oxm_to_idx|Invalid/Unknown OXM field type 6"}),
        flow_mod("foreign class", "0001 000a 00010002 0001 000000000000", OFMSG_ERR_MATCH_BAD_FIELD,
                 {"EUnsupported OXM class 0x1"}),
        // Multipart.
        msg("port stats request without port", OFPT_MULTIPART_REQUEST,
            "0004 0000 00000000 00000007", OFMSG_ERR_BAD_LEN, {"EDecode Error "}),
        msg("table request", OFPT_MULTIPART_REQUEST, "0003 0000 00000000", OFMSG_ERR_BAD_MULTIPART,
            {"Imultipart request type OFPMP_TABLE", "!EDecode Error "}),
        msg("flow stats request cut", OFPT_MULTIPART_REQUEST,
            "0001 0000 00000000 ff 000000 fffffffd", OFMSG_ERR_BAD_LEN,
            {"Eofmsg_multipart_request_decode|Decode Error "}),
        msg("flow stat entry of 48", OFPT_MULTIPART_REPLY,
            "0001 0000 00000000" + flow_stat("", 56).replace(0, 4, "0030") + rep("00", 8),
            OFMSG_ERR_BAD_LEN,
            {"Eofmsg_multipart_reply_flow_stats_decode|flow stat invalid length"}),
        // An entry whose instructions fail still takes its whole length from the count.
        msg("second flow stat with goto-table", OFPT_MULTIPART_REPLY,
            "0001 0000 00000000" + flow_stat("", 56) + flow_stat("0001 0008 01000000", 64),
            OFMSG_ERR_INST_UNKNOWN,
            {"EError in parsing message, remaining buflen:0 content:<eom>"}),
        msg("first flow stat with goto-table", OFPT_MULTIPART_REPLY,
            "0001 0000 00000000" + flow_stat("0001 0008 01000000", 64) + flow_stat("", 56),
            OFMSG_ERR_INST_UNKNOWN,
            {"EError in parsing message, remaining buflen:56 content:" +
             to_hex(hex(flow_stat("", 56)))}),
        msg("flow stat match past its entry", OFPT_MULTIPART_REPLY,
            "0001 0000 00000000" + flow_stat("", 56, "0001004000000000"), OFMSG_ERR_BAD_LEN,
            {"Eofmsg_flow_stat_decode|invalid length "}),
        // Bytes after the last whole entry are left over, whatever their size.
        msg("flow stats with a 20-byte tail", OFPT_MULTIPART_REPLY,
            "0001 0000 00000000" + flow_stat(kOutputInst, 88, kInPortMatch) + rep("00", 20),
            OFMSG_ERR_BAD_LEN, {"Eofmsg_rx_decode|" + leftover(20)}),
        msg("port desc reply of 130 bytes", OFPT_MULTIPART_REPLY,
            "000d 0000 00000000" + rep("00", 130), OFMSG_ERR_BAD_LEN,
            {"Eofmsg_rx_decode|" + leftover(2)}),
        msg("port stats reply", OFPT_MULTIPART_REPLY, "0004 0000 00000000", OFMSG_ERR_BAD_MULTIPART,
            {}),
        msg("desc reply", OFPT_MULTIPART_REPLY, "0000 0000 00000000", OFMSG_ERR_BAD_MULTIPART, {}),
        // Experimenter.
        msg("experimenter shorter than 16", OFPT_EXPERIMENTER, exp, OFMSG_ERR_BAD_LEN,
            {"EDecode Error "}),
        msg("foreign experimenter", OFPT_EXPERIMENTER, "00002320 00000007",
            OFMSG_ERR_BAD_EXPERIMENTER, {"ENot supported experimenter type "}),
        msg("tunnel v6 request", OFPT_EXPERIMENTER, exp + "00000002 00", OFMSG_ERR_BAD_EXP_TYPE,
            {}),
        msg("experimenter type 5", OFPT_EXPERIMENTER, exp + "00000005", OFMSG_ERR_BAD_EXP_TYPE, {}),
        msg("tunnel request of 20", OFPT_EXPERIMENTER, exp + "00000000 0000", OFMSG_ERR_BAD_LEN,
            {"Eofmsg_exp_tunnel_v4_request_decode|Decode Error "}),
        msg("tunnel request of 28", OFPT_EXPERIMENTER, exp + "00000000 00000000 00000000 00000001",
            OFMSG_ERR_BAD_LEN, {"Eofmsg_exp_tunnel_v4_decode|Decode Error "}),
        msg("tunnel request of 40", OFPT_EXPERIMENTER, exp + "00000000" + rep("00000001", 6),
            OFMSG_ERR_BAD_LEN, {}),
        msg("tunnel reply of 20", OFPT_EXPERIMENTER, exp + "00000001 00000001", OFMSG_ERR_BAD_LEN,
            {}),
        msg("tunnel reply with a half entry", OFPT_EXPERIMENTER,
            exp + "00000001 00000001 01020304 00000002", OFMSG_ERR_BAD_LEN, {}),
        msg("mac of 31", OFPT_EXPERIMENTER, exp + "00000004 00 000102030405 060708090a0b 0000",
            OFMSG_ERR_BAD_LEN, {"Eofmsg_exp_openflow_mac_decode|Decode Error "}),
        msg("mac of 40", OFPT_EXPERIMENTER,
            exp + "00000004 00 000102030405 060708090a0b 000000 0000000000000000",
            OFMSG_ERR_BAD_LEN, {}),
    };
}

TEST(RxRefusal, EveryRowGetsItsStatusAndLogLinesAndNoDelivery) {
    for (const Row &r : rows()) {
        SCOPED_TRACE(r.name);
        Rx rx;
        LogCapture log;
        EXPECT_EQ(rx.decode(r.msg), r.status);
        EXPECT_EQ(rx.calls(), 0);
        for (const std::string &l : r.lines) {
            const bool absent = l[0] == '!';
            const char lv = l[absent ? 1 : 0];
            const int level = lv == 'E' ? OFLOG_ERRS : lv == 'I' ? OFLOG_INFO : OFLOG_DBUG;
            std::string text = l.substr(absent ? 2 : 1);
            const size_t bar = text.find('|');
            const bool found = bar == std::string::npos
                                   ? log.has(level, text)
                                   : log.has_at(level, text.substr(0, bar), text.substr(bar + 1));
            EXPECT_EQ(found, !absent) << l << "\n" << log.dump();
        }
    }
}

TEST(RxRefusal, NullBufferAndTypesWithoutAStepAreRefused) {
    Rx rx;
    EXPECT_EQ(ofmsg_rx_decode(nullptr, nullptr, 8), OFMSG_ERR_BAD_LEN);
    for (int type : {3, 7, 8, 13, 15, 16, 17, 20, 21, 22, 25, 29, 30, 200, 255})
        EXPECT_EQ(rx.decode(message(static_cast<uint8_t>(type), {})), OFMSG_ERR_UNHANDLED_TYPE)
            << type;
    EXPECT_EQ(rx.calls(), 0);
}

}  // namespace
