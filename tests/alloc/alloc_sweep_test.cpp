// Allocation failure: each operation is run once to count its allocations (K), then K more
// times, failing the 1st, 2nd, ... K-th. Every failing run must end cleanly: nothing leaked,
// no descriptor left open, and the failure reported (a decode status, an encoder's refusal
// with its outputs untouched, a null or -1 result, or an error log line) rather than a
// half-built record or a connection that silently cannot work.
// The match and action builders failing in turn are swept through Match and Actions, which
// use them as a C host does, in the C++ layer's suite.
#include <sys/socket.h>

#include <functional>
#include <string>

#include "alloc_hook.hpp"
#include "common/codec_util.hpp"
#include "transport/harness.hpp"

namespace {

using codec::Bytes;

// ---- Records and messages of every kind ------------------------------------------------------

const uint8_t kMac[6] = {2, 0, 0, 0, 0, 1}, kMacMask[6] = {0xff, 0xff, 0xff, 0, 0, 0};
const uint8_t kV6[16] = {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t kV6Mask[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// A heap record (calloc, as the releases expect) holding init.
template <class T>
T *make(const T &init = {}) {
    auto *p = static_cast<T *>(calloc(1, sizeof(T)));
    *p = init;
    return p;
}

// A TLV of every kind the match builders make.
ofmsg_flow_match *full_match() {
    ofmsg_flow_match *m = ofmsg_match_create();
    ofmsg_match_tlv_create_32_value(m, 0, ofoxm_header_value(OXM_OF_IN_PORT, 0), 7);
    ofmsg_match_tlv_create_eth_value_mask(m, 1, ofoxm_header_value(OXM_OF_ETH_DST, 1), kMac,
                                          kMacMask);
    ofmsg_match_tlv_create_eth_value(m, 2, ofoxm_header_value(OXM_OF_ETH_SRC, 0), kMac);
    ofmsg_match_tlv_create_16_value(m, 3, ofoxm_header_value(OXM_OF_ETH_TYPE, 0), 0x86dd);
    ofmsg_match_tlv_create_8_value(m, 5, ofoxm_header_value(OXM_OF_IP_PROTO, 0), 6);
    ofmsg_match_tlv_create_32_value_mask(m, 6, ofoxm_header_value(OXM_OF_IPV4_SRC, 1), 0x0a000000,
                                         0xff000000);
    ofmsg_match_tlv_create_ipv6_value_mask(m, 9, ofoxm_header_value(OXM_OF_IPV6_DST, 1), kV6,
                                           kV6Mask);
    ofmsg_match_tlv_create_16_value(m, 10, ofoxm_header_value(OXM_OF_TCP_SRC, 0), 80);
    const uint32_t metadata_masked = (OFPXMC_OPENFLOW_BASIC << 16) | (OXM_OF_METADATA << 9) | 0x110;
    ofmsg_match_tlv_create_64_value_mask(m, 18, metadata_masked, 0x1234, 0xffff);
    return m;
}

ofmsg_instruction_actions *list_of(std::initializer_list<ofmsg_action *> actions) {
    ofmsg_instruction_actions *list = nullptr;
    for (ofmsg_action *a : actions)
        list = ofmsg_instruction_action_add(list, a);
    return list;
}

// Every action kind, in two apply-actions instructions.
ofmsg_flow_instructions *full_instructions() {
    const uint16_t vid = 100;
    ofmsg_instruction_actions *a =
        list_of({ofmsg_action_create_output(2, 0xffff),
                 ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_ETH_SRC, 0), 6, kMac),
                 ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_VLAN_VID, 0), 2, &vid)});
    ofmsg_instruction_actions *b = list_of(
        {ofmsg_action_exp_create_flag(ZELTA_ACTION_EXP_SET_FLAG, 0x81),
         ofmsg_action_exp_create_zelta_output(3, 100), ofmsg_action_exp_create_set_appid(9)});
    ofmsg_flow_instructions *list =
        ofmsg_instructions_add(nullptr, ofmsg_instruction_action_create(a));
    return ofmsg_instructions_add(list, ofmsg_instruction_action_create(b));
}

ofstruct_port *port(uint32_t no) {
    auto *p = make<ofstruct_port>();
    p->port_no = no;
    p->name = strdup("eth0");
    p->curr_speed = 1000000;
    return p;
}

ofmsg_exp_tunnel_v4 *tunnel(uint32_t index) {
    return make<ofmsg_exp_tunnel_v4>({index, 0x0a000001 + index});
}

struct Record {
    std::string name;
    uint8_t type;
    void *body;
};

// A record of every kind the transmit path encodes, as large in parts as the codec goes.
std::vector<Record> records() {
    std::vector<Record> r;
    static uint8_t data[8] = {4, 14, 0, 8, 0, 0, 0, 9};
    r.push_back({"hello", OFPT_HELLO, nullptr});
    r.push_back({"features request", OFPT_FEATURES_REQUEST, nullptr});
    auto *err = make<ofmsg_error>();
    *err = {1, 6, sizeof data, static_cast<uint8_t *>(malloc(sizeof data))};
    memcpy(err->data, data, sizeof data);
    r.push_back({"error", OFPT_ERROR, err});
    auto *echo = make<ofmsg_echo>();
    echo->payload64 = 0x0102030405060708ULL;
    r.push_back({"echo reply", OFPT_ECHO_REPLY, echo});
    r.push_back({"features reply", OFPT_FEATURES_REPLY,
                 make<ofmsg_switch_features>({0xabc, 256, 254, 0, 0x4f, 0})});
    r.push_back(
        {"port status", OFPT_PORT_STATUS, make<ofmsg_port_status>({OFPPR_MODIFY, port(7)})});

    auto *req = make<ofmsg_exp_tunnel_v4_request>({1, tunnel(5)});
    auto *rep = make<ofmsg_exp_tunnel_v4_reply>();
    rep->num_tunnels = 3;
    rep->tunnels = static_cast<ofmsg_exp_tunnel_v4 **>(calloc(3, sizeof(void *)));
    for (uint32_t i = 0; i < 3; i++)
        rep->tunnels[i] = tunnel(i);
    auto *mac = make<ofmsg_exp_openflow_mac>({2, {2, 0, 0, 0, 0, 1}, {2, 0, 0, 0, 0, 2}});
    for (auto [name, kind, data_] : {std::tuple<const char *, uint32_t, void *>{
                                         "tunnel request", ZELTA_EXP_TUNNEL_V4_REQ, req},
                                     {"tunnel reply", ZELTA_EXP_TUNNEL_V4_REPLY, rep},
                                     {"station mac", ZELTA_EXP_OPENFLOW_MAC, mac}})
        r.push_back({std::string("experimenter ") + name, OFPT_EXPERIMENTER,
                     make<ofmsg_exp>({kind, data_})});

    auto *pi = make<ofmsg_packet_in>();
    pi->match = full_match();
    pi->data_len = 64;
    pi->data = static_cast<uint8_t *>(calloc(64, 1));
    r.push_back({"packet-in", OFPT_PACKET_IN, pi});
    auto *fr = make<ofmsg_flow_removed>();
    fr->match = full_match();  // not owned by the record: released below with it
    r.push_back({"flow-removed", OFPT_FLOW_REMOVED, fr});
    auto *fm = make<ofmsg_flow_mod>();
    fm->match = full_match();
    fm->instructions = full_instructions();
    r.push_back({"flow-mod", OFPT_FLOW_MOD, fm});

    r.push_back({"port-desc request", OFPT_MULTIPART_REQUEST,
                 make<ofmsg_multipart_request>({OFPMP_PORT_DESC, 0, nullptr})});
    auto reply = [&](const char *name, uint32_t type, void *body) {
        r.push_back({name, OFPT_MULTIPART_REPLY, make<ofmsg_multipart_reply>({type, 0, body})});
    };
    auto *desc = make<ofmsg_switch_desc_reply>();
    strcpy(desc->mfr_desc, "maker");
    reply("desc reply", OFPMP_DESC, desc);
    auto *fs = make<ofmsg_flow_stats_reply>();
    fs->num_flows = 2;
    fs->flow_stats = static_cast<ofmsg_flow_stat **>(calloc(2, sizeof(void *)));
    for (uint32_t i = 0; i < 2; i++) {
        fs->flow_stats[i] = make<ofmsg_flow_stat>();
        fs->flow_stats[i]->match = full_match();
        fs->flow_stats[i]->instructions = full_instructions();
    }
    reply("flow stats reply", OFPMP_FLOW, fs);
    auto *pst = make<ofmsg_port_stats_reply>();
    pst->num_ports = 2;
    pst->port_stats = static_cast<ofmsg_port_stats *>(calloc(2, sizeof(ofmsg_port_stats)));
    reply("port stats reply", OFPMP_PORT_STATS, pst);
    auto *pd = make<ofmsg_port_desc_reply>();
    pd->num_ports = 3;
    pd->ports = static_cast<ofstruct_port **>(calloc(3, sizeof(void *)));
    for (uint32_t i = 0; i < 3; i++)
        pd->ports[i] = port(i + 1);
    reply("port desc reply", OFPMP_PORT_DESC, pd);
    return r;
}

void release(const Record &r) {
    if (r.type == OFPT_FLOW_REMOVED)
        ofmsg_flow_match_free(static_cast<ofmsg_flow_removed *>(r.body)->match);
    ofmsg_equal::release_body(r.type, r.body);
}

struct Message {
    std::string name;
    Bytes bytes;
};

// Every kind the receive path decodes: the encodable records encoded, and the multipart
// requests that are only ever received written out.
std::vector<Message> messages() {
    std::vector<Message> m;
    Bytes match_bytes;
    for (const Record &r : records()) {
        const Bytes b = codec::encode(r.type, r.body);
        if (r.type == OFPT_FLOW_REMOVED) match_bytes.assign(b.begin() + 48, b.end());
        const uint32_t mp = r.type == OFPT_MULTIPART_REPLY
                                ? static_cast<const ofmsg_multipart_reply *>(r.body)->type
                                : uint32_t{OFPMP_FLOW};
        if (r.type != OFPT_ECHO_REPLY && r.type != OFPT_FLOW_REMOVED &&
            (mp == OFPMP_FLOW || mp == OFPMP_PORT_DESC))
            m.push_back({r.name, b});
        release(r);
    }
    const Bytes bitmap_hello = codec::hex("0001 0008 00000010");
    m.push_back({"hello with a version bitmap", codec::message(OFPT_HELLO, bitmap_hello)});
    m.push_back({"echo request", codec::message(OFPT_ECHO_REQUEST, Bytes(16, 0x5a))});
    m.push_back({"set-config", codec::message(OFPT_SET_CONFIG, Bytes(4, 0))});
    m.push_back({"desc request", codec::message(OFPT_MULTIPART_REQUEST, Bytes(8, 0))});
    m.push_back({"port stats request",
                 codec::message(OFPT_MULTIPART_REQUEST, codec::hex("0004 0000 00000000 00000003 "
                                                                   "00000000"))});
    Bytes flow_req = codec::hex("0001 0000 00000000 01000000 ffffffff ffffffff 00000000");
    flow_req.resize(flow_req.size() + 16, 0);  // cookie and mask
    flow_req.insert(flow_req.end(), match_bytes.begin(), match_bytes.end());
    m.push_back({"flow stats request", codec::message(OFPT_MULTIPART_REQUEST, flow_req)});
    return m;
}

void *g_body;
int g_calls;

void capture(void *body, ofmsg *) {
    g_body = body;
    g_calls++;
}

TEST(AllocFailure, EveryReceiveKindFailsWithNoMemoryAndKeepsNothing) {
    ofmsg_rx_cb table[OFMSG_NUM_TYPES];
    for (auto &cb : table)
        cb = capture;
    ofmsg_register_callbacks(table);
    uint64_t total = 0;
    for (const Message &m : messages()) {
        struct Out {
            int32_t status;
            int calls;
        };
        auto decode = [&] {
            g_body = nullptr;
            g_calls = 0;
            Out o{ofmsg_rx_decode(nullptr, m.bytes.data(), uint32_t(m.bytes.size())), g_calls};
            ofmsg_equal::release_body(m.bytes[1], g_body);  // holds nothing once released
            return o;
        };
        SCOPED_TRACE("receive " + m.name);
        total += alloc_hook::sweep(decode, [](const Out &o, uint64_t n) {
            EXPECT_EQ(o.status, n ? OFMSG_ERR_NO_MEMORY : OFMSG_DECODE_OK);
            EXPECT_EQ(o.calls, n ? 0 : 1);
            EXPECT_EQ(alloc_hook::live(), 0u);
        });
    }
    std::printf("[ sweep    ] %zu receive kinds, %llu allocations failed in turn\n",
                messages().size(), static_cast<unsigned long long>(total));
    EXPECT_GT(total, 100u);  // the sweep reached the records' parts, not just their heads
    ofmsg_register_callbacks(nullptr);
}

TEST(AllocFailure, EveryEncodeKindRefusesWithItsOutputsUntouchedAndLogs) {
    testtools::LogCapture log;
    for (const Record &r : records()) {
        struct Out {
            int rc;
            bool untouched;
            bool logged;
        };
        auto encode = [&] {
            static uint8_t sentinel;
            uint8_t *buf = &sentinel;
            uint32_t len = 77;
            log.clear();
            const int rc = ofmsg_tx_encode(r.type, r.body, 5, &buf, &len);
            const bool untouched = buf == &sentinel && len == 77;
            if (!untouched) free(buf);
            bool logged = false;
            for (const auto &l : log.lines())
                logged = logged || l.level == OFLOG_ERRS;
            return Out{rc, untouched, logged};
        };
        SCOPED_TRACE(r.name);
        alloc_hook::sweep(encode, [](const Out &o, uint64_t n) {
            EXPECT_EQ(o.rc < 0, n != 0);
            EXPECT_EQ(o.untouched, n != 0);
            EXPECT_EQ(o.logged, n != 0);
            EXPECT_EQ(alloc_hook::live(), 0u);
        });
        release(r);
    }
}

}  // namespace
