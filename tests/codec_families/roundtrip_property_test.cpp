// Round-trip properties over seeded random records of every family: a record encodes, decodes
// back to an equal record, and the decoded record encodes to the very same bytes.
#include <cstring>
#include <random>

#include "family_gen.hpp"
#include "family_util.hpp"
#include "../../fuzz/ofmsg_equal.hpp"

namespace {

using fam::Bytes;
using fam::Gen;

// Encodes record, decodes the bytes, compares, and re-encodes the decoded record. Returns an
// empty string on success, else what went wrong.
std::string round_trip(uint8_t type, void *record) {
    const Bytes wire = fam::encode(type, record, 0x5a5a);
    if (wire.empty()) return "encode refused";
    fam::Rx rx;
    const int32_t st = rx.decode(wire);
    if (st != 0) return "decode status " + std::to_string(st) + " of " + fam::to_hex(wire);
    if (!ofmsg_equal::body_eq(type, record, rx.body<void>()))
        return "decoded record differs for " + fam::to_hex(wire);
    const Bytes again = fam::encode(type, rx.body<void>(), 0x5a5a);
    if (again != wire) return "re-encoding differs: " + fam::to_hex(again);
    return "";
}

template <class Make>
void run_property(uint8_t type, uint32_t seed, int cases, Make make) {
    Gen gen(seed);
    const int n = fam::scaled(cases);
    for (int i = 0; i < n; i++) {
        void *record = make(gen);
        const std::string fault = round_trip(type, record);
        fam::release_body(type, record);
        ASSERT_EQ(fault, "") << "seed " << seed << " case " << i;
    }
}

}  // namespace

TEST(RoundTrip, RandomFlowModsOverAllFieldsAndActionKinds) {
    run_property(OFPT_FLOW_MOD, 1001, 3000, [](Gen &g) -> void * { return g.flow_mod(); });
}

TEST(RoundTrip, RandomPacketInsWithRandomData) {
    run_property(OFPT_PACKET_IN, 1002, 3000, [](Gen &g) -> void * { return g.packet_in(); });
}

TEST(RoundTrip, RandomFlowStatsRepliesWithManyEntries) {
    run_property(OFPT_MULTIPART_REPLY, 1003, 1000,
                 [](Gen &g) -> void * { return g.flow_stats_reply(30); });
}

TEST(RoundTrip, RandomPortDescReplies) {
    run_property(OFPT_MULTIPART_REPLY, 1004, 2000,
                 [](Gen &g) -> void * { return g.port_desc_reply(); });
}

TEST(RoundTrip, RandomExperimenterMessages) {
    run_property(OFPT_EXPERIMENTER, 1005, 3000, [](Gen &g) -> void * { return g.exp(); });
}

TEST(RoundTrip, PortDescRequestIsSixteenBytesBothWays) {
    ofmsg_multipart_request req{OFPMP_PORT_DESC, 0x1234, nullptr};
    fam::Rx rx;
    const Bytes wire = fam::encode(OFPT_MULTIPART_REQUEST, &req);
    ASSERT_EQ(wire.size(), 16u);
    ASSERT_EQ(rx.decode(wire), 0);
    EXPECT_TRUE(ofmsg_equal::body_eq(OFPT_MULTIPART_REQUEST, &req, rx.body<void>()));
}

// The flow-removed is not decoded on receive: its match area is checked against a match
// decoded from the same bytes placed into a flow-mod.
TEST(RoundTrip, RandomFlowRemovedMatchesSitWhereAFlowModWouldCarryThem) {
    Gen g(1006);
    for (int i = 0, n = fam::scaled(1000); i < n; i++) {
        ofmsg_flow_removed fr{};
        fr.cookie = g.u64();
        fr.match = g.match();
        const Bytes wire = fam::encode(OFPT_FLOW_REMOVED, &fr);
        ASSERT_EQ(wire.size(), 48u + ((fr.match->length + 4u + 7u) & ~7u));
        Bytes fm = fam::message(OFPT_FLOW_MOD, Bytes(40, 0));
        fm.insert(fm.end(), wire.begin() + 48, wire.end());
        fm[2] = static_cast<uint8_t>(fm.size() >> 8);
        fm[3] = static_cast<uint8_t>(fm.size());
        fam::Rx rx;
        ASSERT_EQ(rx.decode(fm), 0);
        EXPECT_TRUE(ofmsg_equal::match_eq(fr.match, rx.body<ofmsg_flow_mod>()->match));
        ofmsg_flow_match_free(fr.match);
    }
}
