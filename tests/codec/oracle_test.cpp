// An independent dissector reads what the encoders write: Wireshark's OpenFlow 1.3 dissector
// (through a pcap written by ofpcap) finds nothing malformed and the fields the records hold.
// Open vSwitch reads them in the interop tests (ovs_ofctl, ovs_switch, ovs_testcontroller).
#include "common/codec_util.hpp"
#include "gen.hpp"
#include "ofpcap.h"

using namespace codec;
using testtools::have_tool;
using testtools::run_tool;

namespace {

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    return out;
}

// Messages of one session, agent and controller taking turns, as a pcap.
void write_pcap(const std::string &path, const std::vector<Bytes> &messages) {
    ofpcap *w = ofpcap_open(path.c_str());
    ASSERT_NE(w, nullptr);
    for (size_t i = 0; i < messages.size(); i++) {
        const bool agent = i % 2 == 0;
        ASSERT_EQ(ofpcap_write(w, agent ? 0x7f000001 : 0x7f000002, agent ? 40000 : 6653,
                               agent ? 0x7f000002 : 0x7f000001, agent ? 6653 : 40000,
                               messages[i].data(), messages[i].size()),
                  0);
    }
    ASSERT_EQ(ofpcap_close(w), 0);
}

struct Sample {
    Bytes wire;
    std::vector<std::string> tshark;  // "field": "value" pairs in tshark's JSON
};

std::vector<Sample> simple_samples() {
    static uint8_t data[] = {0x04, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x09};
    ofmsg_error err{OFPET_BAD_REQUEST, OFPBRC_BAD_LEN, sizeof data, data};
    ofmsg_echo echo{};
    echo.payload64 = 0x0102030405060708ULL;
    ofmsg_switch_features f{0x00000000cafe0001ULL, 256, 254, 0, 0x4f, 0};
    char name[] = "uplink0";
    ofstruct_port port{
        3,       {2, 0x11, 0x22, 0x33, 0x44, 0x55}, name, 0, 4, 0x2808, 0x2808, 0x2808, 0, 10000000,
        10000000};
    ofmsg_port_status ps{OFPPR_MODIFY, &port};
    const std::string t = "\"openflow_v4.";
    return {
        {encode(OFPT_HELLO, nullptr, 0x101), {t + "type\": \"0\"", t + "xid\": \"257\""}},
        {encode(OFPT_FEATURES_REQUEST, nullptr, 2), {t + "type\": \"5\""}},
        {encode(OFPT_ERROR, &err, 3), {t + "error.type\": \"1\"", t + "error.code\": \"6\""}},
        {encode(OFPT_ECHO_REPLY, &echo, 4), {t + "type\": \"3\"", t + "length\": \"24\""}},
        {encode(OFPT_FEATURES_REPLY, &f, 5),
         {t + "switch_features.datapath_id\": \"0x00000000cafe0001\"",
          t + "switch_features.n_buffers\": \"256\"", t + "switch_features.n_tables\": \"254\"",
          t + "switch_features.capabilities\": \"0x0000004f\""}},
        {encode(OFPT_PORT_STATUS, &ps, 6),
         {t + "port_status.reason\": \"2\"", t + "port.port_no\": \"3\"",
          t + "port.hw_addr\": \"02:11:22:33:44:55\"", t + "port.name\": \"uplink0\"",
          t + "port.state.live\": \"1\"", t + "port.curr_speed\": \"10000000\""}},
    };
}

// Random messages of every family, each with the "type|xid" row tshark should give for it. The
// fields inside are pinned by the golden table and by Open vSwitch's own flows (OvsFlows); here
// the dissector checks their lengths and paddings over random contents.
void family_corpus(std::vector<Bytes> &messages, std::vector<std::string> &rows) {
    Gen g(4242);
    uint32_t xid = 100;
    auto add = [&](uint8_t type, void *body) {
        messages.push_back(encode(type, body, ++xid));
        EXPECT_FALSE(messages.back().empty()) << "refused: type " << int(type);
        rows.push_back(std::to_string(type) + "|" + std::to_string(xid));
        ofmsg_equal::release_body(type, body);
    };
    for (int i = 0; i < 150; i++)
        add(OFPT_FLOW_MOD, g.flow_mod());
    for (int i = 0; i < 75; i++) {
        ofmsg_packet_in *pi = g.packet_in();
        if (pi->data_len >= 14) {  // an Ethernet frame of a local experimental type
            pi->data[12] = 0x88;
            pi->data[13] = 0xb5;
        } else {
            std::free(pi->data);
            pi->data = nullptr;
            pi->data_len = 0;
        }
        add(OFPT_PACKET_IN, pi);
    }
    for (int i = 0; i < 50; i++) {
        add(OFPT_MULTIPART_REPLY, g.flow_stats_reply(6));
        add(OFPT_MULTIPART_REPLY, g.port_desc_reply());
        add(OFPT_EXPERIMENTER, g.exp());
        auto *fr = Gen::make<ofmsg_flow_removed>();
        fr->cookie = g.u64();
        fr->reason = g.below(5);
        ofmsg_flow_match *match = fr->match = g.match();
        add(OFPT_FLOW_REMOVED, fr);  // the release leaves the match to its holder
        ofmsg_flow_match_free(match);
    }
}

}  // namespace

TEST(Oracle, TsharkDissectsEveryEncodedMessageAsTheRecordsSay) {
    if (!have_tool("tshark")) GTEST_SKIP() << "tshark not installed";
    testtools::TempDir dir;
    // The simple messages, and the largest message: two TCP segments that the dissector
    // reassembles; its data is the failed request, a long echo request, as dissectors expect.
    const auto samples = simple_samples();
    std::vector<Bytes> simple;
    for (const Sample &s : samples)
        simple.push_back(s.wire);
    static uint8_t data[65535 - 12] = {0x04, 0x02, 0xff, 0xf3, 0x00, 0x00, 0x00, 0x07};
    ofmsg_error big{OFPET_BAD_REQUEST, OFPBRC_BAD_LEN, sizeof data, data};
    simple.push_back(encode(OFPT_ERROR, &big, 7));
    ASSERT_EQ(simple.back().size(), 65535u);
    const std::string pcap = dir.path() + "/simple.pcap", tshark = "tshark -r " + dir.path();
    write_pcap(pcap, simple);
    const std::string json =
        run_tool(tshark + "/simple.pcap -T json --no-duplicate-keys -J openflow_v4 2>/dev/null");
    EXPECT_NE(json.find("\"openflow_v4.length\": \"65535\""), std::string::npos);
    for (const Sample &s : samples)
        for (const std::string &field : s.tshark)
            EXPECT_NE(json.find(field), std::string::npos) << field;
    // Three handshake frames, one per message and three for the largest one (two segments
    // with the acknowledgement between them), all in one TCP stream.
    const std::string streams =
        run_tool(tshark + "/simple.pcap -T fields -e tcp.stream 2>/dev/null");
    EXPECT_EQ(lines(streams), std::vector<std::string>(3 + samples.size() + 3, "0"));

    std::vector<Bytes> messages;
    std::vector<std::string> rows;
    family_corpus(messages, rows);
    write_pcap(dir.path() + "/families.pcap", messages);
    EXPECT_EQ(lines(run_tool(tshark + "/families.pcap -Y openflow_v4 -T fields -E separator='|' "
                                      "-e openflow_v4.type -e openflow_v4.xid 2>/dev/null")),
              rows);
    // Malformed frames, and in the simple session warnings such as TCP sequence faults.
    EXPECT_EQ(run_tool(tshark + "/families.pcap -Y _ws.malformed 2>/dev/null"), "");
    EXPECT_EQ(run_tool(tshark + "/simple.pcap -Y '_ws.malformed || _ws.expert.severity >= 6291456' "
                                "-T fields -e frame.number 2>/dev/null"),
              "");
}
