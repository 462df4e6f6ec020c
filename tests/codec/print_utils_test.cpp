// Names, header checks, transaction ids, the release frame and the exact print texts.
#include <cstdlib>
#include <cstring>
#include <string>

#include "codec_test_util.hpp"

using namespace codec_test;

namespace {

TEST(TypeNames, StandardNamesUpTo29ThenUnknown) {
    EXPECT_STREQ(ofmsg_ofp_type_to_string(0), "OFPT_HELLO");
    EXPECT_STREQ(ofmsg_ofp_type_to_string(7), "OFPT_GET_CONFIG_REQUEST");
    EXPECT_STREQ(ofmsg_ofp_type_to_string(22), "OFPT_QUEUE_GET_CONFIG_REQUEST");
    EXPECT_STREQ(ofmsg_ofp_type_to_string(29), "OFPT_METER_MOD");
    EXPECT_STREQ(ofmsg_ofp_type_to_string(30), "unknown");
    EXPECT_STREQ(ofmsg_ofp_type_to_string(255), "unknown");
    EXPECT_STREQ(ofmsg_ofp_type_to_string(0x10000), "unknown");
}

TEST(SupportedSets, HostViewOfTypesAndMultipartKinds) {
    for (uint32_t t = 0; t < 40; t++) {
        const bool expected = t == 0 || t == 1 || t == 4 || t == 5 || t == 6 || t == 10 ||
                              t == 12 || t == 14 || t == 18 || t == 19;
        EXPECT_EQ(ofmsg_ofpt_type_supported(t), expected) << t;
    }
    for (uint32_t t = 0; t < 20; t++)
        EXPECT_EQ(ofmsg_ofpmp_type_supported(t), t == 1 || t == 13);
    EXPECT_FALSE(ofmsg_ofpmp_type_supported(0xffff));
}

TEST(HeaderChecks, VersionAndTypeAreCheckedLengthIsReturned) {
    LogCapture log;
    EXPECT_TRUE(ofmsg_validate_header(hex("04 1d 00 08 00 00 00 01").data()));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(ofmsg_validate_header(hex("04 1e 00 08 00 00 00 01").data()));
    EXPECT_TRUE(log.has(OFLOG_ERRS, "Invalid of header: version 4, type 30"));
    EXPECT_FALSE(ofmsg_validate_header(hex("01 00 00 08 00 00 00 01").data()));
    EXPECT_TRUE(log.has(OFLOG_ERRS, "Invalid of header: version 1, type 0"));

    EXPECT_EQ(ofmsg_payload_len(hex("04 00 00 18 00 00 00 01").data()), 24);
    EXPECT_EQ(ofmsg_payload_len(hex("04 13 ff ff 00 00 00 01").data()), 65535);
    log.clear();
    EXPECT_EQ(ofmsg_payload_len(hex("05 00 00 18 00 00 00 01").data()), -1);
    EXPECT_EQ(log.lines().size(), 1u);  // logged once, by the check
}

TEST(DecodeStatus, PairsAreNegativeAndCarryTypeAndCode) {
    EXPECT_EQ(ofmsg_decode_status(1, 6), static_cast<int32_t>(0x80010006u));
    EXPECT_EQ(ofmsg_decode_status(0, 0), static_cast<int32_t>(0x80000000u));
    EXPECT_LT(ofmsg_decode_status(0, 0), 0);
    EXPECT_EQ(ofmsg_decode_status(2, 3), OFMSG_ERR_ACTION_BAD_EXP_TYPE);
}

TEST(ByteOrder, SixtyFourBitConversionReadsMostSignificantByteFirst) {
    const uint8_t wire[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint64_t raw;
    std::memcpy(&raw, wire, 8);
    EXPECT_EQ(ofmsg_ntoh64(raw), 0x0102030405060708ULL);
    const uint64_t back = ofmsg_hton64(0x0102030405060708ULL);
    EXPECT_EQ(std::memcmp(&back, wire, 8), 0);
}

TEST(Xid, GeneratorSeedsOnceAndNeverAgain) {
    (void)ofmsg_generate_xid();  // seeds on first use
    srand(42);
    const int expected = rand();
    srand(42);
    EXPECT_EQ(ofmsg_generate_xid(), static_cast<int32_t>(expected));
}

TEST(Release, NullBodyIsIgnoredAndOwnedBlocksAreFreed) {
    for (uint32_t t = 0; t < 256; t++)
        ofmsg_free(t, nullptr);
    auto *f = static_cast<ofmsg_switch_features *>(calloc(1, sizeof(ofmsg_switch_features)));
    ofmsg_free(OFPT_FEATURES_REPLY, f);
    auto *e = static_cast<ofmsg_error *>(calloc(1, sizeof(ofmsg_error)));
    e->data_len = 3;
    e->data = static_cast<uint8_t *>(malloc(3));
    ofmsg_free(0x100 | OFPT_ERROR, e);  // only the low 8 bits select the type
    auto *ps = static_cast<ofmsg_port_status *>(calloc(1, sizeof(ofmsg_port_status)));
    ps->desc = static_cast<ofstruct_port *>(calloc(1, sizeof(ofstruct_port)));
    ps->desc->name = strdup("p1");
    ofmsg_free(OFPT_PORT_STATUS, ps);  // LeakSanitizer checks all of them
    SUCCEED();
}

TEST(Print, HeaderOnlyTypesPrintTheHeader) {
    EXPECT_STREQ(ofmsg_print(hex("04 00 00 08 00 00 00 07").data(), nullptr),
                 "{type=OFPT_HELLO, length=8, xid = 7}");
    EXPECT_STREQ(ofmsg_print(hex("04 14 00 08 ff ff ff ff").data(), nullptr),
                 "{type=OFPT_BARRIER_REQUEST, length=8, xid = -1}");
    EXPECT_STREQ(ofmsg_print(hex("04 63 01 00 80 00 00 00").data(), nullptr),
                 "{type=unknown, length=256, xid = -2147483648}");
}

TEST(Print, ErrorKeepsItsOddQuotes) {
    ofmsg_error e{4, 11, 9, nullptr};
    EXPECT_STREQ(ofmsg_print(hex("04 01 00 15 00 00 00 02").data(), &e),
                 "{type=OFPT_ERROR, length=21, xid = 2}{type=4\", code=11\", dlen=\"9\"}");
}

TEST(Print, FeaturesReply) {
    ofmsg_switch_features f{0xfedcba9876543210ULL, 0, 254, 1, 0x47, 0};
    EXPECT_STREQ(ofmsg_print(hex("04 06 00 20 00 00 00 03").data(), &f),
                 "{type=OFPT_FEATURES_REPLY, length=32, xid = 3}"
                 "{dpid=0xfedcba9876543210, buffs=0, tabs=254, aux_id=1, caps=0x47}");
}

TEST(Print, PortStatusWithReasonNames) {
    char name[] = "eth1";
    ofstruct_port p{
        3,       {0x02, 0, 0, 0xab, 0xcd, 0xef}, name, 1, 4, 0x2808, 0x2800, 0x2808, 0, 1000000,
        10000000};
    ofmsg_port_status ps{OFPPR_MODIFY, &p};
    const auto hdr = hex("04 0c 00 50 00 00 00 01");
    EXPECT_STREQ(ofmsg_print(hdr.data(), &ps),
                 "{type=OFPT_PORT_STATUS, length=80, xid = 1}{reason=OFPPR_MODIFY, desc={no=3, "
                 "hw_addr= 02:00:00:ab:cd:ef , name=eth1, config=0x1, state=0x4, curr=0x2808, "
                 "adv=0x2800, supp=0x2808, peer=0x0, curr_spd=\"1000000kbps\", "
                 "max_spd=\"10000000kbps\"}}");
    ps.reason = 7;
    EXPECT_NE(std::string(ofmsg_print(hdr.data(), &ps)).find("{reason=unknown, desc={no=3"),
              std::string::npos);
    ps.reason = OFPPR_ADD;
    EXPECT_NE(std::string(ofmsg_print(hdr.data(), &ps)).find("{reason=OFPPR_ADD,"),
              std::string::npos);
    ps.reason = OFPPR_DELETE;
    EXPECT_NE(std::string(ofmsg_print(hdr.data(), &ps)).find("{reason=OFPPR_DELETE,"),
              std::string::npos);
}

TEST(Print, LongMessagesStopAtTheBufferEndTerminated) {
    // 200 port descriptions print far beyond 8192 characters.
    char name[] = "a-long-port-name";
    ofstruct_port port{1, {1, 2, 3, 4, 5, 6}, name, 0, 0, 0, 0, 0, 0, 0, 0};
    ofstruct_port *ports[200];
    for (auto &p : ports)
        p = &port;
    ofmsg_port_desc_reply pd{200, ports};
    ofmsg_multipart_reply mp{OFPMP_PORT_DESC, 0, &pd};
    const char *text = ofmsg_print(hex("04 13 32 10 00 00 00 01").data(), &mp);
    EXPECT_EQ(text, ofmsg_print_buf);
    EXPECT_EQ(std::strlen(text), static_cast<size_t>(OFMSG_PRINT_BUF_SIZE - 1));
    EXPECT_EQ(std::string(text).rfind("{type=OFPT_MULTIPART_REPLY, length=12816, xid = 1}", 0), 0u);
    // A short print afterwards leaves nothing of the long one behind.
    EXPECT_STREQ(ofmsg_print(hex("04 00 00 08 00 00 00 07").data(), nullptr),
                 "{type=OFPT_HELLO, length=8, xid = 7}");
    EXPECT_EQ(ofmsg_print_buf[OFMSG_PRINT_BUF_SIZE - 2], '\0');
}

}  // namespace
