// Receive path: golden messages in hex with the status, the delivered record and the log
// lines they must produce.
#include <cstring>
#include <string>

#include "codec_test_util.hpp"

using namespace codec_test;

namespace {

const int ERRS = OFLOG_ERRS, INFO = OFLOG_INFO, DBUG = OFLOG_DBUG;

std::string repeat(const std::string &s, int n) {
    std::string out;
    for (int i = 0; i < n; i++)
        out += s;
    return out;
}

TEST(RxFailures, MessageShorterThanHeaderIsBadLen) {
    LogCapture log;
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 00 00 08 00 00 00")), OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(ERRS, "Bad message received, buflen:7"));
    EXPECT_EQ(rx.decode({}), OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(ERRS, "Bad message received, buflen:0"));
    EXPECT_EQ(ofmsg_rx_decode(nullptr, nullptr, 8), OFMSG_ERR_BAD_LEN);
    EXPECT_EQ(rx.delivered().calls, 0);
}

TEST(RxFailures, WrongVersionIsHelloIncompatibleLoggedInHex) {
    LogCapture log;
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("01 00 00 08 00 00 00 01")), OFMSG_ERR_HELLO_INCOMPATIBLE);
    EXPECT_TRUE(log.has(ERRS, "Bad message received, version: 1"));
    EXPECT_EQ(rx.decode(hex("1a 00 00 08 00 00 00 01")), OFMSG_ERR_HELLO_INCOMPATIBLE);
    EXPECT_TRUE(log.has(ERRS, "Bad message received, version: 1a"));
    EXPECT_EQ(log.lines().size(), 2u);  // refused before the arrival line
    EXPECT_EQ(rx.delivered().calls, 0);
}

TEST(RxFailures, BarrierRequestHasNoStepAndShowsAllItsBytes) {
    LogCapture log;
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 14 00 08 00 00 00 01")), OFMSG_ERR_UNHANDLED_TYPE);
    EXPECT_EQ(OFMSG_ERR_UNHANDLED_TYPE, ofmsg_decode_status(OFPET_BAD_REQUEST, 10));
    EXPECT_TRUE(log.has(INFO, "Received msg type:OFPT_BARRIER_REQUEST, len:8"));
    EXPECT_TRUE(
        log.has(ERRS, "Error in parsing message, remaining buflen:8 content:0414000800000001"));
    EXPECT_EQ(rx.delivered().calls, 0);
}

TEST(RxFailures, EveryTypeWithoutStepIsRefusedWithCode10) {
    RxHarness rx;
    for (int type : {3, 7, 8, 13, 15, 16, 17, 20, 21, 22, 25, 29, 30, 200, 255}) {
        std::vector<uint8_t> msg = hex("04 00 00 08 00 00 00 02");
        msg[1] = static_cast<uint8_t>(type);
        EXPECT_EQ(rx.decode(msg), OFMSG_ERR_UNHANDLED_TYPE) << "type " << type;
    }
    EXPECT_EQ(rx.delivered().calls, 0);
}

TEST(RxFailures, TypeAbove29IsNamedUnknownOnArrival) {
    LogCapture log;
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 1e 00 08 00 00 00 01")), OFMSG_ERR_UNHANDLED_TYPE);
    EXPECT_TRUE(log.has(INFO, "Received msg type:unknown, len:8"));
}

TEST(RxFailures, HexOfUnconsumedBytesStopsAt255Bytes) {
    LogCapture log;
    RxHarness rx;
    std::vector<uint8_t> msg(300);
    for (size_t i = 0; i < msg.size(); i++)
        msg[i] = static_cast<uint8_t>(i);
    msg[0] = 4;
    msg[1] = OFPT_BARRIER_REQUEST;
    EXPECT_EQ(rx.decode(msg), OFMSG_ERR_UNHANDLED_TYPE);
    const std::string expected =
        "Error in parsing message, remaining buflen:300 content:" + to_hex(msg.data(), 255);
    EXPECT_TRUE(log.has(ERRS, expected));
}

TEST(RxFailures, StepThatConsumedEverythingBeforeFailingShowsEom) {
    LogCapture log;
    RxHarness rx;
    // An experimenter message of the extension with a type outside its five: the step has
    // taken the 16 header bytes when it refuses.
    EXPECT_EQ(rx.decode(hex("04 04 00 10 00 00 00 01 00 4d 2a 91 00 00 00 09")),
              OFMSG_ERR_BAD_EXP_TYPE);
    EXPECT_TRUE(log.has(ERRS, "Error in parsing message, remaining buflen:0 content:<eom>"));
    log.clear();
    // With bytes after those 16, the hex starts at offset 16.
    EXPECT_EQ(rx.decode(hex("04 04 00 14 00 00 00 01 00 4d 2a 91 00 00 00 09 de ad be ef")),
              OFMSG_ERR_BAD_EXP_TYPE);
    EXPECT_TRUE(log.has(ERRS, "Error in parsing message, remaining buflen:4 content:deadbeef"));
    EXPECT_EQ(rx.delivered().calls, 0);
}

TEST(RxFailures, FlowRemovedAlwaysFailsWithItsWholeLengthLeftAndNoHex) {
    LogCapture log;
    RxHarness rx;
    const auto msg = hex("04 0b 00 10 00 00 00 01" + repeat("00", 8));
    EXPECT_EQ(rx.decode(msg), OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(ERRS, "Error in parsing message, remaining buflen:16"));
    EXPECT_EQ(log.count(ERRS, "Error in parsing message, remaining buflen:16"), 1u);
    EXPECT_EQ(rx.delivered().calls, 0);
}

TEST(RxFailures, LeftoverBytesAfterFeaturesRequestAreBadLen) {
    LogCapture log;
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 05 00 10 00 00 00 01 00 00 00 00 00 00 00 00")), OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(ERRS, "Error in parsing message, remaining buflen:8"));
    EXPECT_EQ(rx.delivered().calls, 0);
}

TEST(RxFailures, ShortSetConfigWrapsTheRemainingCount) {
    LogCapture log;
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 09 00 08 00 00 00 01")), OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(ERRS, "Error in parsing message, remaining buflen:4294967292"));
    EXPECT_EQ(rx.decode(hex("04 09 00 0c 00 00 00 01 00 00 00 80")), 0);
    EXPECT_EQ(rx.delivered().calls, 1);
    EXPECT_EQ(rx.delivered().body, nullptr);
}

TEST(RxFailures, ShortStructuresAreBadLenLoggedTwice) {
    LogCapture log;
    RxHarness rx;
    const auto features = hex("04 06 00 1f 00 00 00 01" + repeat("00", 23));
    EXPECT_EQ(rx.decode(features), OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(ERRS, "Decode Error "));
    EXPECT_TRUE(log.has(ERRS, "Error in parsing message, remaining buflen:31 content:" +
                                  to_hex(features.data(), features.size())));
    log.clear();
    EXPECT_EQ(rx.decode(hex("04 0c 00 4f 00 00 00 01" + repeat("00", 71))), OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(ERRS, "Decode Error "));
    EXPECT_EQ(rx.delivered().calls, 0);
}

TEST(RxHello, BareHelloIsDeliveredWithoutBodyWithXidAndContext) {
    RxHarness rx;
    int ctx = 0;
    EXPECT_EQ(rx.decode(hex("04 00 00 08 12 34 56 78"), &ctx), 0);
    EXPECT_EQ(rx.delivered().calls, 1);
    EXPECT_EQ(rx.delivered().body, nullptr);
    EXPECT_EQ(rx.delivered().xid, 0x12345678u);
    EXPECT_EQ(rx.delivered().ctx, &ctx);
    EXPECT_TRUE(rx.delivered().record_points_at_body);
}

TEST(RxHello, VersionBitmapWithVersion4IsWalkedAndLogged) {
    LogCapture log;
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 00 00 10 00 00 00 01 00 01 00 08 00 00 00 10")), 0);
    EXPECT_EQ(rx.delivered().calls, 1);
    EXPECT_TRUE(log.has(DBUG, " len before = 8 struc len 8 , buflen 16 \n"));
    EXPECT_TRUE(log.has(DBUG, " len after = 16 \n"));
    EXPECT_TRUE(log.has(DBUG, "len:16, buflen 16 buflen 16 "));
    EXPECT_TRUE(log.has(DBUG, "after len:16, buflen 0 buflen 0"));
}

TEST(RxHello, BitmapWithoutVersion4IsIncompatible) {
    LogCapture log;
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 00 00 10 00 00 00 01 00 01 00 08 00 00 00 02")),
              OFMSG_ERR_HELLO_INCOMPATIBLE);
    EXPECT_TRUE(log.has(ERRS, "Version unsupported: 2"));
    EXPECT_EQ(rx.delivered().calls, 0);
}

TEST(RxHello, OnlyTheFirstBitmapIsLookedAt) {
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 00 00 18 00 00 00 01 00 01 00 08 00 00 00 12"
                            "00 01 00 08 00 00 00 02")),
              0);
    EXPECT_EQ(rx.delivered().calls, 1);
}

TEST(RxHello, ElementLengthFaultsAreBadLen) {
    LogCapture log;
    RxHarness rx;
    // Claims 12 bytes in a 16-byte message; length 0; length 4 for a bitmap; 2 stray bytes.
    for (const char *m : {"04 00 00 10 00 00 00 01 00 01 00 0c 00 00 00 10",
                          "04 00 00 10 00 00 00 01 00 01 00 00 00 00 00 10",
                          "04 00 00 0c 00 00 00 01 00 01 00 04", "04 00 00 0a 00 00 00 01 00 01"}) {
        log.clear();
        EXPECT_EQ(rx.decode(hex(m)), OFMSG_ERR_BAD_LEN) << m;
        EXPECT_TRUE(log.has(ERRS, "Decode Error ")) << m;
    }
    EXPECT_EQ(rx.delivered().calls, 0);
}

TEST(RxHello, UnknownElementTypeIsIncompatible) {
    LogCapture log;
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 00 00 10 00 00 00 01 00 02 00 08 00 00 00 10")),
              OFMSG_ERR_HELLO_INCOMPATIBLE);
    EXPECT_TRUE(log.has(ERRS, "Unknown hello extension 2"));
}

TEST(RxEcho, OnlyA16BytePayloadIsDecoded) {
    LogCapture log;
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 02 00 08 00 00 00 01")), OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(ERRS, "Decode Error buflen 8, total size 24 "));

    EXPECT_EQ(rx.decode(hex("04 02 00 18 00 00 00 09 01 02 03 04 05 06 07 08"
                            "a1 a2 a3 a4 b1 b2 b3 b4")),
              0);
    ASSERT_EQ(rx.delivered().calls, 1);
    auto *echo = static_cast<ofmsg_echo *>(rx.delivered().body);
    EXPECT_EQ(echo->payload64, 0x0102030405060708ULL);
    const uint8_t a[4] = {0xa1, 0xa2, 0xa3, 0xa4}, b[4] = {0xb1, 0xb2, 0xb3, 0xb4};
    EXPECT_EQ(std::memcmp(&echo->payload32a, a, 4), 0);  // kept in wire order
    EXPECT_EQ(std::memcmp(&echo->payload32b, b, 4), 0);
    EXPECT_TRUE(rx.delivered().record_points_at_body);

    log.clear();
    EXPECT_EQ(rx.decode(hex("04 02 00 20 00 00 00 01" + repeat("00", 24))), OFMSG_ERR_BAD_LEN);
    EXPECT_TRUE(log.has(ERRS, "Error in parsing message, remaining buflen:8"));
    EXPECT_EQ(rx.delivered().calls, 0);  // the body was released, not delivered
}

TEST(RxError, TwelveBytesGiveNoDataElevenAreShort) {
    LogCapture log;
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 01 00 0c 00 00 00 01 00 01 00 06")), 0);
    auto *err = static_cast<ofmsg_error *>(rx.delivered().body);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->type, 1u);
    EXPECT_EQ(err->code, 6u);
    EXPECT_EQ(err->data_len, 0u);
    EXPECT_EQ(err->data, nullptr);

    EXPECT_EQ(rx.decode(hex("04 01 00 0b 00 00 00 01 00 01 00")), OFMSG_ERR_SHORT_ERROR_MSG);
    EXPECT_TRUE(log.has(ERRS, "Decode Error "));
    EXPECT_EQ(rx.delivered().calls, 0);
}

TEST(RxError, DataIsCopiedFromOffset12) {
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 01 00 14 00 00 00 01 ff fe 12 34 04 0e 00 08 00 00 00 09")), 0);
    auto *err = static_cast<ofmsg_error *>(rx.delivered().body);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->type, 0xfffeu);
    EXPECT_EQ(err->code, 0x1234u);
    ASSERT_EQ(err->data_len, 8u);
    EXPECT_EQ(to_hex(err->data, 8), "040e000800000009");
}

TEST(RxFeatures, ReplyFieldsComeInHostOrder) {
    LogCapture log;
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 06 00 20 00 00 00 05 00 00 01 02 03 04 05 06 00 00 01 00"
                            "fe 02 ff ff 00 00 00 4f 00 00 00 01")),
              0);
    auto *f = static_cast<ofmsg_switch_features *>(rx.delivered().body);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->datapath_id, 0x0000010203040506ULL);
    EXPECT_EQ(f->n_buffers, 256u);
    EXPECT_EQ(f->n_tables, 254u);
    EXPECT_EQ(f->auxiliary_id, 2u);
    EXPECT_EQ(f->capabilities, 0x4fu);
    EXPECT_EQ(f->reserved, 1u);
    EXPECT_TRUE(rx.delivered().record_points_at_body);
    EXPECT_TRUE(log.has(INFO, "Received msg type:OFPT_FEATURES_REPLY, len:32"));
    EXPECT_TRUE(log.has(INFO,
                        "Message decoded: {type=OFPT_FEATURES_REPLY, length=32, xid = 5}"
                        "{dpid=0x10203040506, buffs=256, tabs=254, aux_id=2, caps=0x4f}"));
}

TEST(RxFeatures, RequestOfEightBytesIsDeliveredWithoutBody) {
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 05 00 08 00 00 00 03")), 0);
    EXPECT_EQ(rx.delivered().calls, 1);
    EXPECT_EQ(rx.delivered().body, nullptr);
}

const char *kPortStatus =
    "04 0c 00 50 00 00 00 07 02 00 00 00 00 00 00 00"  // reason MODIFY
    "00 00 00 07 00 00 00 00 f2 0b a4 d0 3f 70 00 00"  // port 7, hw_addr
    "70 6f 72 74 2d 73 65 76 65 6e 00 ff ff ff ff ff"  // "port-seven", junk after the NUL
    "00 00 00 01 00 00 00 04 00 00 28 08 00 00 28 00"
    "00 00 28 08 00 00 00 00 00 00 13 88 00 00 27 10";

TEST(RxPortStatus, PortDescriptionIsDecodedWithNameUpToItsNul) {
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex(kPortStatus)), 0);
    auto *ps = static_cast<ofmsg_port_status *>(rx.delivered().body);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->reason, 2u);
    ASSERT_NE(ps->desc, nullptr);
    const ofstruct_port &p = *ps->desc;
    EXPECT_EQ(p.port_no, 7u);
    EXPECT_EQ(to_hex(p.hw_addr, 6), "f20ba4d03f70");
    EXPECT_STREQ(p.name, "port-seven");
    EXPECT_EQ(p.config, 1u);
    EXPECT_EQ(p.state, 4u);
    EXPECT_EQ(p.curr, 0x2808u);
    EXPECT_EQ(p.advertised, 0x2800u);
    EXPECT_EQ(p.supported, 0x2808u);
    EXPECT_EQ(p.peer, 0u);
    EXPECT_EQ(p.curr_speed, 5000u);
    EXPECT_EQ(p.max_speed, 10000u);
}

TEST(RxPortStatus, NameFillingAllSixteenBytesIsKeptWhole) {
    RxHarness rx;
    auto msg = hex(kPortStatus);
    std::memcpy(msg.data() + 32, "abcdefghijklmnop", 16);
    EXPECT_EQ(rx.decode(msg), 0);
    auto *ps = static_cast<ofmsg_port_status *>(rx.delivered().body);
    ASSERT_NE(ps, nullptr);
    EXPECT_STREQ(ps->desc->name, "abcdefghijklmnop");
}

TEST(RxDelivery, BodyWithoutCallbackIsReleasedAtOnce) {
    LogCapture log;
    RxHarness rx(false);
    EXPECT_EQ(rx.decode(hex(kPortStatus)), 0);  // LeakSanitizer proves the release
    EXPECT_EQ(rx.decode(hex("04 01 00 10 00 00 00 01 00 01 00 06 01 02 03 04")), 0);
    EXPECT_EQ(rx.delivered().calls, 0);
    EXPECT_EQ(log.count(INFO,
                        "Message decoded: {type=OFPT_ERROR, length=16, xid = 1}"
                        "{type=1\", code=6\", dlen=\"4\"}"),
              1u);
}

TEST(RxDelivery, ReplacedTableWithNullHelloSlotStopsHelloDelivery) {
    RxHarness rx;
    EXPECT_EQ(rx.decode(hex("04 00 00 08 00 00 00 01")), 0);
    EXPECT_EQ(rx.delivered().calls, 1);
    ofmsg_rx_cb table[OFMSG_NUM_TYPES];
    std::memcpy(table, msg_handler_cbs, sizeof table);
    table[OFPT_HELLO] = nullptr;
    ofmsg_register_callbacks(table);
    EXPECT_EQ(rx.decode(hex("04 00 00 08 00 00 00 01")), 0);
    EXPECT_EQ(rx.delivered().calls, 0);
    EXPECT_EQ(msg_handler_cbs[OFPT_HELLO], nullptr);
    EXPECT_NE(msg_handler_cbs[OFPT_ERROR], nullptr);
}

TEST(RxDelivery, HeaderLengthFieldIsNotComparedWithBufferLength) {
    RxHarness rx;
    // Length field says 0x50, the buffer holds 8 bytes: the buffer length rules.
    EXPECT_EQ(rx.decode(hex("04 00 00 50 00 00 00 01")), 0);
    EXPECT_EQ(rx.delivered().calls, 1);
}

}  // namespace
