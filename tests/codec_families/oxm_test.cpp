// OXM match: header values, builders, decoding faults, index-order encoding and the text form.
#include <cstring>

#include "codec/ofmsg_internal.hpp"
#include "family_util.hpp"

using fam::Bytes;
using fam::hex;

namespace {

// A flow-mod around the given ofp_match bytes (type, length, TLVs, padding) and instructions.
Bytes flow_mod(const std::string &match, const std::string &insts = "") {
    return fam::message(OFPT_FLOW_MOD, hex("0000000000000001 0000000000000000 00 00 0000 0000 8000"
                                           "ffffffff ffffffff ffffffff 0000 0000" +
                                           match + insts));
}

std::string print_match(const ofmsg_flow_match *m) {
    ofmsg_print_buf[0] = '\0';
    ofagent::ofmsg_flow_match_print(m, ofmsg_print_buf);
    return ofmsg_print_buf;
}

Bytes encode_match(const ofmsg_flow_match *m, int *ret) {
    Bytes out(64, 0xAA);
    const uint32_t padded = ofagent::ofmsg_flow_match_padded_len(m);
    *ret = ofagent::ofmsg_flow_match_encode(m, ofagent::wire::Writer(out.data(), padded));
    out.resize(padded);
    return out;
}

struct MatchDeleter {
    void operator()(ofmsg_flow_match *m) const { ofmsg_flow_match_free(m); }
};
using MatchPtr = std::unique_ptr<ofmsg_flow_match, MatchDeleter>;

}  // namespace

TEST(OxmLookups, HeaderValuesFollowTheFieldTable) {
    EXPECT_EQ(ofoxm_header_value(OXM_OF_METADATA, 0), 0u);
    EXPECT_EQ(ofoxm_header_value(OXM_OF_METADATA, 1), 0u);
    EXPECT_EQ(ofoxm_header_value(OXM_OF_VLAN_VID, 2), 0x80000C02u);
    EXPECT_EQ(ofoxm_header_value(OXM_OF_VLAN_VID, 1), 0x80000D04u);
    EXPECT_EQ(ofoxm_header_value(OXM_OF_IN_PORT, 1), 0x80000004u);
    EXPECT_EQ(ofoxm_header_value(OXM_OF_ETH_SRC, 1), 0x8000090Cu);
    EXPECT_EQ(ofoxm_header_value(OXM_OF_IPV6_DST, 1), 0x80003720u);
    EXPECT_EQ(ofoxm_header_value(OXM_OF_ICMPV6_CODE, 0), 0x80003C01u);
    EXPECT_EQ(ofoxm_header_value(OXM_OF_IP_ECN, 1), 0x80001201u);
    EXPECT_EQ(ofoxm_header_value(1, 0), 0u);  // IN_PHY_PORT is not supported
    EXPECT_EQ(ofoxm_header_value(127, 1), 0u);
    EXPECT_EQ(of_match_oxm_from_idx_to_oxm(4), 40u);
    EXPECT_EQ(of_match_oxm_from_idx_to_oxm(19), 40u);
    EXPECT_STREQ(ofagent::ofmsg_oxm_field_to_string(OXM_OF_VLAN_PCP), "OXM_OF_VLAN_PCP");
    EXPECT_STREQ(ofagent::ofmsg_oxm_field_to_string(OXM_OF_ICMPV4_CODE), "OXM_OF_ICMPV4_CODE");
    EXPECT_STREQ(ofagent::ofmsg_oxm_field_to_string(1), "unknown");
    // Every index maps to a field whose header, when there is one, names that field again.
    for (uint32_t idx = 0; idx < OFOXM_IDX_COUNT; idx++) {
        const uint32_t field = of_match_oxm_from_idx_to_oxm(idx);
        if (field == OFOXM_NO_FIELD) continue;
        EXPECT_EQ(ofoxm_from_oxm_to_idx(field), static_cast<int>(idx));
        const uint32_t h = ofoxm_header_value(field, 0);
        if (h) {
            EXPECT_EQ(OFOXM_FIELD(h), field);
        }
    }
}

TEST(OxmEncoding, EmptyMatchIsTypeLengthAndFourZeroBytes) {
    MatchPtr m(ofmsg_match_create());
    int ret = 0;
    EXPECT_EQ(fam::to_hex(encode_match(m.get(), &ret)), "0001000400000000");
    EXPECT_EQ(ret, 4);
}

TEST(OxmEncoding, SingleInPortTakesSixteenBytesAndReturnsTwelve) {
    MatchPtr m(ofmsg_match_create());
    ofmsg_match_tlv_create_32_value(m.get(), 0, ofoxm_header_value(OXM_OF_IN_PORT, 0), 7);
    EXPECT_EQ(m->length, 8);
    int ret = 0;
    EXPECT_EQ(fam::to_hex(encode_match(m.get(), &ret)), "0001000c800000040000000700000000");
    EXPECT_EQ(ret, 12);
}

TEST(OxmEncoding, TlvsAreWrittenInIndexOrderNotArrivalOrder) {
    fam::Rx rx;
    // IPV4_DST 10.0.0.1 arrives before ETH_TYPE 0x0800.
    ASSERT_EQ(rx.decode(flow_mod("0001 0012 80001804 0a000001 80000a02 0800 000000000000")), 0);
    const Bytes again = fam::encode(OFPT_FLOW_MOD, rx.body<ofmsg_flow_mod>());
    ASSERT_EQ(again.size(), 72u);
    EXPECT_EQ(fam::to_hex(Bytes(again.begin() + 48, again.end())),
              "0001001280000a02080080001804"
              "0a000001000000000000");
}

TEST(OxmEncoding, HostTlvInTheWrongSlotIsRefusedNotEmitted) {
    MatchPtr m(ofmsg_match_create());
    ofmsg_match_tlv_create_16_value(m.get(), 3, ofoxm_header_value(OXM_OF_ETH_TYPE, 0), 0x800);
    m->tlvs[3]->header = ofoxm_header_value(OXM_OF_TCP_SRC, 0);  // corrupted by hand
    int ret = 0;
    encode_match(m.get(), &ret);
    EXPECT_LT(ret, 0);
    ofmsg_flow_mod fm{};
    fm.match = m.get();
    uint8_t *buf = reinterpret_cast<uint8_t *>(1);
    uint32_t len = 77;
    EXPECT_LT(ofmsg_tx_encode(OFPT_FLOW_MOD, &fm, 1, &buf, &len), 0);
    EXPECT_EQ(buf, reinterpret_cast<uint8_t *>(1));
    EXPECT_EQ(len, 77u);
}

TEST(OxmBuilders, ReplacingASlotKeepsLengthEqualToTheHeldTlvs) {
    MatchPtr m(ofmsg_match_create());
    const uint8_t a[6] = {1, 2, 3, 4, 5, 6}, mask[6] = {0xff, 0xff, 0xff, 0, 0, 0};
    ofmsg_match_tlv_create_eth_value_mask(m.get(), 1, ofoxm_header_value(OXM_OF_ETH_DST, 1), a,
                                          mask);
    EXPECT_EQ(m->length, 16);
    ofmsg_match_tlv_create_eth_value(m.get(), 1, ofoxm_header_value(OXM_OF_ETH_DST, 0), a);
    EXPECT_EQ(m->length, 10);
    ofmsg_match_tlv_create_32_value(m.get(), 6, ofoxm_header_value(OXM_OF_IPV4_SRC, 0), 1);
    ofmsg_match_tlv_create_32_value(m.get(), 6, ofoxm_header_value(OXM_OF_IPV4_SRC, 0), 2);
    EXPECT_EQ(m->length, 18);
    // The message built from it has no gap: decoding consumes every byte.
    ofmsg_flow_mod fm{};
    fm.match = m.get();
    fam::Rx rx;
    const Bytes wire = fam::encode(OFPT_FLOW_MOD, &fm);
    EXPECT_EQ(wire.size(), 48u + 24u);
    ASSERT_EQ(rx.decode(wire), 0);
    EXPECT_EQ(rx.body<ofmsg_flow_mod>()->match->length, 18);
}

TEST(OxmBuilders, BadIndexOrWrongKindLeavesTheMatchUnchanged) {
    MatchPtr m(ofmsg_match_create());
    ofmsg_match_tlv_create_32_value(m.get(), 19, ofoxm_header_value(OXM_OF_IN_PORT, 0), 1);
    ofmsg_match_tlv_create_32_value(m.get(), 4, ofoxm_header_value(OXM_OF_IN_PORT, 0), 1);
    ofmsg_match_tlv_create_16_value(m.get(), 0, ofoxm_header_value(OXM_OF_IN_PORT, 0), 1);
    ofmsg_match_tlv_create_32_value(m.get(), 0, ofoxm_header_value(OXM_OF_IPV4_SRC, 0), 1);
    EXPECT_EQ(m->length, 0);
    for (auto *t : m->tlvs)
        EXPECT_EQ(t, nullptr);
}

// 8- and 16-bit kinds carry no mask on the wire: the mask builders keep the mask in the value
// buffer but announce and encode a plain TLV, so the length byte matches the bytes written.
TEST(OxmBuilders, EightAndSixteenBitMasksEncodeAsPlainValues) {
    MatchPtr m(ofmsg_match_create());
    ofmsg_match_tlv_create_8_value_mask(m.get(), 5, 0x80001502u, 6, 0x0f);
    ofmsg_match_tlv_create_16_value_mask(m.get(), 10, 0x80001B04u, 80, 0xfff0);
    EXPECT_EQ(m->tlvs[5]->header, 0x80001401u);
    EXPECT_EQ(m->tlvs[10]->header, 0x80001A02u);
    EXPECT_EQ(m->length, 5 + 6);
    int ret = 0;
    EXPECT_EQ(fam::to_hex(encode_match(m.get(), &ret)),
              "0001000f800014010680001a020050"
              "00");
    EXPECT_EQ(ret, 15);

    ofmsg_flow_mod fm{};
    fm.match = m.get();
    fam::Rx rx;
    ASSERT_EQ(rx.decode(fam::encode(OFPT_FLOW_MOD, &fm)), 0);
    const ofmsg_flow_match *back = rx.body<ofmsg_flow_mod>()->match;
    EXPECT_EQ(back->length, 11);
    EXPECT_EQ(back->tlvs[5]->value[0], 6);
    uint16_t port;
    std::memcpy(&port, back->tlvs[10]->value, 2);
    EXPECT_EQ(port, 80);
}

TEST(OxmDecoding, EmptyMatchTakesEightBytesFromTheCount) {
    const Bytes wire = hex("0001000400000000");
    ofagent::wire::Reader match(wire.data(), wire.size());
    ofmsg_flow_match *m = nullptr;
    uint32_t remaining = 8;
    ASSERT_EQ(ofagent::ofmsg_flow_match_decode(match, &m, &remaining), 0);
    EXPECT_EQ(remaining, 0u);
    EXPECT_EQ(m->length, 0);
    EXPECT_EQ(m->type, OFPMT_OXM);
    for (auto *t : m->tlvs)
        EXPECT_EQ(t, nullptr);
    ofmsg_flow_match_free(m);
}

TEST(OxmDecoding, FaultsAreRefusedWithTheirStatusAndLogLines) {
    struct Case {
        const char *name;
        std::string match;
        int32_t status;
        int level;
        const char *line;
    } cases[] = {
        {"wire type 0", "0000 0004 00000000", OFMSG_ERR_BAD_LEN, OFLOG_DBUG, "Decode Error "},
        {"length 3", "0001 0003 00000000", OFMSG_ERR_BAD_LEN, OFLOG_ERRS, "Decode Error "},
        {"length past the message", "0001 0040 80000004 00000001", OFMSG_ERR_BAD_LEN, OFLOG_ERRS,
         "Decode Error "},
        {"zero payload", "0001 0008 80000000", OFMSG_ERR_BAD_LEN, OFLOG_ERRS, "Decode Error "},
        {"tlv past the match", "0001 000c 80000008 00000001 00000000", OFMSG_ERR_BAD_LEN,
         OFLOG_ERRS, "Decode Error "},
        {"stray bytes", "0001 000a 80000a02 0800 0000 000000", OFMSG_ERR_BAD_LEN, OFLOG_ERRS,
         "Decode Error "},
        {"in_port of 2 bytes", "0001 000a 80000002 0001 000000000000", OFMSG_ERR_MATCH_BAD_LEN,
         OFLOG_ERRS, "OXM OXM_OF_IN_PORT payload length 2"},
        {"eth_type with mask bit and 4 bytes", "0001 000c 80000b04 0800ffff 00000000",
         OFMSG_ERR_MATCH_BAD_LEN, OFLOG_ERRS, "OXM OXM_OF_ETH_TYPE payload length 4"},
        {"ipv4 masked with 4 bytes", "0001 000c 80001704 0a000000 00000000",
         OFMSG_ERR_MATCH_BAD_LEN, OFLOG_ERRS, "OXM OXM_OF_IPV4_SRC payload length 4"},
        {"repeated field", "0001 0010 80000a02 0800 80000a02 86dd", OFMSG_ERR_MATCH_DUP_FIELD,
         OFLOG_ERRS, "OXM OXM_OF_ETH_TYPE repeated"},
        {"vlan_vid in a match", "0001 000a 80000c02 1001 000000000000", OFMSG_ERR_MATCH_BAD_FIELD,
         OFLOG_ERRS, "field:6"},
        {"foreign class", "0001 000a 00010002 0001 000000000000", OFMSG_ERR_MATCH_BAD_FIELD,
         OFLOG_ERRS, "Unsupported OXM class 0x1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fam::LogCapture log;
        fam::Rx rx;
        EXPECT_EQ(rx.decode(flow_mod(c.match)), c.status);
        EXPECT_EQ(rx.calls(), 0);
        EXPECT_TRUE(log.has(c.level, c.line)) << log.dump();
        if (c.line == std::string("field:6")) {
            EXPECT_TRUE(log.has(OFLOG_ERRS, "Invalid/Unknown OXM field type 6"));
        }
        if (c.level == OFLOG_ERRS) {
            EXPECT_TRUE(log.has(OFLOG_ERRS, " "));  // the flow-mod step's own line
        }
    }
}

TEST(OxmDecoding, MaskedFieldsKeepValueThenMaskInHostOrder) {
    fam::Rx rx;
    ASSERT_EQ(rx.decode(flow_mod("0001 0034 80001708 c0a80100 ffffff00"
                                 "80000510 0000000000000010 00000000000000f0"
                                 "8000070c 0a0b0c0d0e0f ffffff000000 00000000")),
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
    EXPECT_EQ(m->tlvs[1]->value[5], 0x0f);
    EXPECT_EQ(m->tlvs[1]->value[6], 0xff);
}

TEST(OxmPrinting, TlvsAreNotClosedAndOnlyTheMatchIsBraced) {
    MatchPtr m(ofmsg_match_create());
    ofmsg_match_tlv_create_32_value(m.get(), 0, ofoxm_header_value(OXM_OF_IN_PORT, 0), 1);
    ofmsg_match_tlv_create_16_value(m.get(), 3, ofoxm_header_value(OXM_OF_ETH_TYPE, 0), 0x800);
    EXPECT_EQ(print_match(m.get()),
              "oxm{{type=OXM_OF_IN_PORT, value=1{type=OXM_OF_ETH_TYPE, value=2048}");
    m->type = 2;
    EXPECT_EQ(print_match(m.get()), "");
}

TEST(OxmPrinting, AddressesMasksAndMetadataHaveTheirOwnForms) {
    MatchPtr m(ofmsg_match_create());
    const uint8_t mac[6] = {0, 0x11, 0x22, 0x33, 0x44, 0x55}, mmask[6] = {0xff, 0xff, 0, 0, 0, 0};
    uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8}, v6m[16] = {0xff, 0xff, 0xff, 0xff};
    v6[15] = 1;
    ofmsg_match_tlv_create_eth_value_mask(m.get(), 2, ofoxm_header_value(OXM_OF_ETH_SRC, 1), mac,
                                          mmask);
    ofmsg_match_tlv_create_32_value_mask(m.get(), 7, ofoxm_header_value(OXM_OF_IPV4_DST, 1),
                                         0x0a000001, 0xffff0000);
    ofmsg_match_tlv_create_ipv6_value_mask(m.get(), 8, ofoxm_header_value(OXM_OF_IPV6_SRC, 1), v6,
                                           v6m);
    ofmsg_match_tlv_create_8_value(m.get(), 14, ofoxm_header_value(OXM_OF_ICMPV4_TYPE, 0), 8);
    ofmsg_match_tlv_create_64_value_mask(m.get(), 18, 0x80000510u, 0xabc, 0xfff);
    EXPECT_EQ(print_match(m.get()),
              "oxm{{type=OXM_OF_ETH_SRC, value= 00:11:22:33:44:55  , mask= ff:ff:00:00:00:00 "
              "{type=OXM_OF_IPV4_DST, value=10.0.0.1, mask=255.255.0.0"
              "{type=OXM_OF_IPV6_SRC, value=2001:db8::1, mask=ffff:ffff::"
              "{type=OXM_OF_ICMPV4_TYPE, value=8{type=OXM_OF_METADATA, value=0xabc}");
}
