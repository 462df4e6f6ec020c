// Independent decoders judge what the encoders write: Wireshark's OpenFlow 1.3 dissector
// (through a pcap written by ofpcap) and Open vSwitch's ofp-print.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "codec_test_util.hpp"
#include "ofpcap.h"

using namespace codec_test;

namespace {

bool tool_present(const char *name) {
    const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

std::string run(const std::string &cmd) {
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

struct Sample {
    const char *name;
    std::vector<uint8_t> bytes;
    std::vector<std::string> tshark_fields;  // "field": "value" pairs that must appear
    std::vector<std::string> ovs_text;       // fragments of ovs-ofctl's text
};

std::vector<Sample> encoded_samples() {
    std::vector<Sample> s;
    s.push_back({"hello",
                 encode(OFPT_HELLO, nullptr, 0x101),
                 {"\"openflow_v4.type\": \"0\"", "\"openflow_v4.xid\": \"257\""},
                 {"OFPT_HELLO (OF1.3) (xid=0x101)"}});
    s.push_back({"features_request",
                 encode(OFPT_FEATURES_REQUEST, nullptr, 2),
                 {"\"openflow_v4.type\": \"5\""},
                 {"OFPT_FEATURES_REQUEST (OF1.3) (xid=0x2)"}});
    static uint8_t data[] = {0x04, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x09};
    ofmsg_error err{OFPET_BAD_REQUEST, OFPBRC_BAD_LEN, sizeof data, data};
    s.push_back({"error",
                 encode(OFPT_ERROR, &err, 3),
                 {"\"openflow_v4.error.type\": \"1\"", "\"openflow_v4.error.code\": \"6\""},
                 {"OFPT_ERROR (OF1.3) (xid=0x3): OFPBRC_BAD_LEN"}});
    ofmsg_echo echo{};
    echo.payload64 = 0x0102030405060708ULL;
    s.push_back({"echo_reply",
                 encode(OFPT_ECHO_REPLY, &echo, 4),
                 {"\"openflow_v4.type\": \"3\"", "\"openflow_v4.length\": \"24\""},
                 {"OFPT_ECHO_REPLY (OF1.3) (xid=0x4): 16 bytes of payload"}});
    ofmsg_switch_features f{0x00000000cafe0001ULL, 256, 254, 0, 0x4f, 0};
    s.push_back({"features_reply",
                 encode(OFPT_FEATURES_REPLY, &f, 5),
                 {"\"openflow_v4.switch_features.datapath_id\": \"0x00000000cafe0001\"",
                  "\"openflow_v4.switch_features.n_buffers\": \"256\"",
                  "\"openflow_v4.switch_features.n_tables\": \"254\"",
                  "\"openflow_v4.switch_features.capabilities\": \"0x0000004f\""},
                 {"OFPT_FEATURES_REPLY (OF1.3) (xid=0x5): dpid:00000000cafe0001",
                  "n_tables:254, n_buffers:256"}});
    static char name[] = "uplink0";
    static ofstruct_port port{3,       {0x02, 0x11, 0x22, 0x33, 0x44, 0x55},
                              name,    0,
                              4,       0x2808,
                              0x2808,  0x2808,
                              0,       10000000,
                              10000000};
    ofmsg_port_status ps{OFPPR_MODIFY, &port};
    s.push_back(
        {"port_status",
         encode(OFPT_PORT_STATUS, &ps, 6),
         {"\"openflow_v4.port_status.reason\": \"2\"", "\"openflow_v4.port.port_no\": \"3\"",
          "\"openflow_v4.port.hw_addr\": \"02:11:22:33:44:55\"",
          "\"openflow_v4.port.name\": \"uplink0\"",
          "\"openflow_v4.port.curr_speed\": \"10000000\""},
         {"OFPT_PORT_STATUS (OF1.3) (xid=0x6): MOD: 3(uplink0): addr:02:11:22:33:44:55",
          "state:      LIVE"}});
    return s;
}

class ExternalOracle : public ::testing::Test {
   protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ofagent-codec-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        if (!getenv("KEEP")) std::system(("rm -rf " + dir_).c_str());
    }
    std::string dir_;
};

TEST_F(ExternalOracle, WiresharkDissectsEncodedMessagesAsWritten) {
    if (!tool_present("tshark")) GTEST_SKIP() << "tshark not installed";
    const std::string path = dir_ + "/codec.pcap";
    ofpcap *pcap = ofpcap_open(path.c_str());
    ASSERT_NE(pcap, nullptr);
    const auto samples = encoded_samples();
    const uint32_t agent = 0x7f000001, controller = 0x7f000002;
    for (size_t i = 0; i < samples.size(); i++) {
        ASSERT_FALSE(samples[i].bytes.empty()) << samples[i].name;
        // Alternate directions so that both sides of the session carry messages.
        const bool from_agent = i % 2 == 0;
        ASSERT_EQ(ofpcap_write(pcap, from_agent ? agent : controller, from_agent ? 40000 : 6653,
                               from_agent ? controller : agent, from_agent ? 6653 : 40000,
                               samples[i].bytes.data(), samples[i].bytes.size()),
                  0);
    }
    // The largest message needs two TCP segments, which the dissector reassembles.
    // Its data is the failed request, a long echo request, as dissectors expect.
    static uint8_t data[65535 - 12] = {0x04, 0x02, 0xff, 0xf3, 0x00, 0x00, 0x00, 0x07};
    ofmsg_error big{OFPET_BAD_REQUEST, OFPBRC_BAD_LEN, sizeof data, data};
    const auto big_msg = encode(OFPT_ERROR, &big, 7);
    ASSERT_EQ(big_msg.size(), 65535u);
    ASSERT_EQ(ofpcap_write(pcap, agent, 40000, controller, 6653, big_msg.data(), big_msg.size()),
              0);
    ASSERT_EQ(ofpcap_close(pcap), 0);

    const std::string json =
        run("tshark -r " + path + " -T json --no-duplicate-keys -J openflow_v4 2>/dev/null");
    ASSERT_FALSE(json.empty()) << "tshark gave no output";
    EXPECT_NE(json.find("\"openflow_v4.length\": \"65535\""), std::string::npos);
    for (const Sample &s : samples)
        for (const std::string &field : s.tshark_fields)
            EXPECT_NE(json.find(field), std::string::npos) << s.name << ": " << field;
    // Malformed frames, and warnings such as TCP sequence faults, would show here.
    const std::string malformed = run("tshark -r " + path +
                                      " -Y '_ws.malformed || _ws.expert.severity >= 6291456' "
                                      "-T fields -e frame.number 2>/dev/null");
    EXPECT_EQ(malformed, "") << "frames flagged by tshark";
    // Three handshake frames, one frame per message and three for the largest one (two
    // segments with the peer's acknowledgement between them), all in one TCP stream.
    const std::string frames = run("tshark -r " + path + " -T fields -e tcp.stream 2>/dev/null");
    EXPECT_EQ(std::count(frames.begin(), frames.end(), '\n'),
              static_cast<long>(3 + samples.size() + 3));
    EXPECT_EQ(frames.find('1'), std::string::npos);
}

TEST_F(ExternalOracle, OpenVswitchPrintsEncodedMessagesWithoutDecodeErrors) {
    if (!tool_present("ovs-ofctl")) GTEST_SKIP() << "ovs-ofctl not installed";
    for (const Sample &s : encoded_samples()) {
        ASSERT_FALSE(s.bytes.empty()) << s.name;
        const std::string out = run("timeout 10 ovs-ofctl ofp-print " +
                                    to_hex(s.bytes.data(), s.bytes.size()) + " 2>&1");
        EXPECT_EQ(out.find("decode error"), std::string::npos) << s.name << ":\n" << out;
        for (const std::string &text : s.ovs_text)
            EXPECT_NE(out.find(text), std::string::npos) << s.name << ": " << text << "\n" << out;
    }
}

}  // namespace
