// Transmit path: exact bytes of the simple encoders, round trips through the receive path,
// and refusals that leave the caller's outputs untouched.
#include <cstdlib>
#include <cstring>
#include <string>

#include "../../fuzz/ofmsg_equal.hpp"
#include "codec_test_util.hpp"

using namespace codec_test;

namespace {

std::string enc_hex(uint8_t type, const void *body, uint32_t xid) {
    const auto bytes = encode(type, body, xid);
    return to_hex(bytes.data(), bytes.size());
}

TEST(TxHeaderOnly, HelloAndFeaturesRequestIgnoreTheBody) {
    LogCapture log;
    const int garbage = 0x5a5a5a5a;
    EXPECT_EQ(enc_hex(OFPT_HELLO, &garbage, 5), "0400000800000005");
    EXPECT_TRUE(log.has(OFLOG_DBUG, " "));
    EXPECT_TRUE(
        log.has(OFLOG_INFO, "Message encoded: len:8, {type=OFPT_HELLO, length=8, xid = 5}"));
    EXPECT_EQ(enc_hex(OFPT_FEATURES_REQUEST, nullptr, 0xdeadbeef), "04050008deadbeef");
}

TEST(TxError, TypeCodeAndDataFollowTheHeader) {
    uint8_t data[4] = {0xca, 0xfe, 0xba, 0xbe};
    ofmsg_error e{1, 6, 4, data};
    EXPECT_EQ(enc_hex(OFPT_ERROR, &e, 0x11223344),
              "04010010112233440001"
              "0006cafebabe");
    ofmsg_error empty{0, 0, 0, nullptr};
    EXPECT_EQ(enc_hex(OFPT_ERROR, &empty, 1),
              "04010"
              "00c0000000100000000");
}

TEST(TxError, ErrorWithDataRoundTrips) {
    RxHarness rx;
    uint8_t data[40];
    for (int i = 0; i < 40; i++)
        data[i] = static_cast<uint8_t>(i * 7);
    ofmsg_error e{3, 0x1234, sizeof data, data};
    EXPECT_EQ(rx.decode(encode(OFPT_ERROR, &e, 77)), 0);
    ASSERT_EQ(rx.delivered().calls, 1);
    EXPECT_EQ(rx.delivered().xid, 77u);
    EXPECT_TRUE(ofmsg_equal::error_eq(&e, static_cast<ofmsg_error *>(rx.delivered().body)));
}

TEST(TxEcho, RequestIsAnsweredWithTheSamePayload) {
    LogCapture log;
    RxHarness rx;
    const auto req = hex("04 02 00 18 0a 0b 0c 0d 01 02 03 04 05 06 07 08 11 12 13 14 21 22 23 24");
    ASSERT_EQ(rx.decode(req), 0);
    log.clear();
    const auto reply = encode(OFPT_ECHO_REPLY, rx.delivered().body, rx.delivered().xid);
    auto expected = req;
    expected[1] = OFPT_ECHO_REPLY;
    EXPECT_EQ(to_hex(reply.data(), reply.size()), to_hex(expected.data(), expected.size()));
    EXPECT_EQ(log.count(OFLOG_DBUG, " "), 3u);  // the frame's entry, the encoder's start and end
}

TEST(TxEcho, RequestTypeCannotBeEncoded) {
    ofmsg_echo echo{};
    uint8_t *buf = reinterpret_cast<uint8_t *>(&echo);
    uint32_t len = 1234;
    EXPECT_LT(ofmsg_tx_encode(OFPT_ECHO_REQUEST, &echo, 1, &buf, &len), 0);
    EXPECT_EQ(buf, reinterpret_cast<uint8_t *>(&echo));
    EXPECT_EQ(len, 1234u);
}

TEST(TxFeatures, ReplyBytesAndRoundTrip) {
    ofmsg_switch_features f{0x0001020304050607ULL, 0x11223344, 254, 3, 0x4f, 0xa5a5a5a5};
    const auto bytes = encode(OFPT_FEATURES_REPLY, &f, 9);
    EXPECT_EQ(to_hex(bytes.data(), bytes.size()),
              "0406002000000009"
              "0001020304050607"
              "11223344fe030000"
              "0000004fa5a5a5a5");
    RxHarness rx;
    ASSERT_EQ(rx.decode(bytes), 0);
    EXPECT_TRUE(
        ofmsg_equal::features_eq(&f, static_cast<ofmsg_switch_features *>(rx.delivered().body)));
}

ofstruct_port sample_port(char *name) {
    return ofstruct_port{0xfffffffe, {0x02, 0x11, 0x22, 0x33, 0x44, 0x55},
                         name,       0x1,
                         0x4,        0x2808,
                         0x2800,     0x280f,
                         0x8,        10000000,
                         40000000};
}

TEST(TxPortStatus, SixteenCharacterNameRoundTripsWhole) {
    char name[] = "0123456789abcdef";
    ofstruct_port port = sample_port(name);
    ofmsg_port_status ps{OFPPR_DELETE, &port};
    const auto bytes = encode(OFPT_PORT_STATUS, &ps, 4);
    ASSERT_EQ(bytes.size(), 80u);
    EXPECT_EQ(to_hex(bytes.data() + 8, 8), "0100000000000000");
    EXPECT_EQ(to_hex(bytes.data() + 16, 16),
              "fffffffe00000000"
              "0211223344550000");
    RxHarness rx;
    ASSERT_EQ(rx.decode(bytes), 0);
    auto *back = static_cast<ofmsg_port_status *>(rx.delivered().body);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(ofmsg_equal::port_status_eq(&ps, back));
    EXPECT_STREQ(back->desc->name, name);
}

TEST(TxPortStatus, LongNameIsCutAtSixteenAndMissingNameIsZeroes) {
    char long_name[] = "a-port-name-longer-than-sixteen";
    ofstruct_port port = sample_port(long_name);
    ofmsg_port_status ps{OFPPR_ADD, &port};
    auto bytes = encode(OFPT_PORT_STATUS, &ps, 4);
    ASSERT_EQ(bytes.size(), 80u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes.data() + 32), 16), "a-port-name-long");
    port.name = nullptr;
    bytes = encode(OFPT_PORT_STATUS, &ps, 4);
    ASSERT_EQ(bytes.size(), 80u);
    EXPECT_EQ(to_hex(bytes.data() + 32, 16), std::string(32, '0'));
}

TEST(TxRefusals, UnencodableTypesAndIncompleteBodiesLeaveOutputsUntouched) {
    LogCapture log;
    ofmsg_switch_features f{};
    ofmsg_port_status no_desc{OFPPR_ADD, nullptr};
    ofmsg_error missing_data{1, 1, 4, nullptr};
    static uint8_t big[70000];
    ofmsg_error too_long{1, 1, sizeof big, big};
    struct Case {
        uint8_t type;
        const void *body;
    } cases[] = {{OFPT_ECHO_REQUEST, &f},
                 {OFPT_SET_CONFIG, &f},
                 {OFPT_GET_CONFIG_REQUEST, &f},
                 {OFPT_BARRIER_REQUEST, &f},
                 {30, &f},
                 {255, &f},
                 {OFPT_FEATURES_REPLY, nullptr},
                 {OFPT_PORT_STATUS, &no_desc},
                 {OFPT_ERROR, &missing_data},
                 {OFPT_ERROR, &too_long}};
    for (const Case &c : cases) {
        uint8_t sentinel = 0;
        uint8_t *buf = &sentinel;
        uint32_t len = 99;
        EXPECT_LT(ofmsg_tx_encode(c.type, c.body, 1, &buf, &len), 0) << int(c.type);
        EXPECT_EQ(buf, &sentinel);
        EXPECT_EQ(len, 99u);
    }
    EXPECT_LT(ofmsg_tx_encode(OFPT_HELLO, nullptr, 1, nullptr, nullptr), 0);
    for (const LogLine &l : log.lines())
        EXPECT_EQ(l.message.find("Message encoded"), std::string::npos);
}

TEST(TxRefusals, LargestErrorMessageStillFits) {
    static uint8_t data[65535 - 12];
    ofmsg_error e{1, 1, sizeof data, data};
    const auto bytes = encode(OFPT_ERROR, &e, 1);
    ASSERT_EQ(bytes.size(), 65535u);
    EXPECT_EQ(to_hex(bytes.data(), 4), "0401ffff");
}

}  // namespace
