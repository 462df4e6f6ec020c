// Messages written by other OpenFlow implementations: every one is decoded or refused with
// a documented status, nothing leaks, and the decoded records agree with the other
// implementation's own JSON view of the same bytes.
// 64-bit directory offsets, or readdir fails with EOVERFLOW on 32-bit targets.
#define _FILE_OFFSET_BITS 64
#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "codec_test_util.hpp"

using namespace codec_test;

namespace {

const std::string kPeers = OFAGENT_TESTDATA_DIR "/of13-peers";

std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Back-to-back messages split by their header length; a length that is too small or runs
// past the file leaves the rest as one (possibly truncated) message.
std::vector<std::vector<uint8_t>> split_messages(const std::string &bytes) {
    std::vector<std::vector<uint8_t>> out;
    size_t off = 0;
    while (off < bytes.size()) {
        size_t len = bytes.size() - off;
        if (len >= 8) {
            const size_t claimed =
                (static_cast<uint8_t>(bytes[off + 2]) << 8) | static_cast<uint8_t>(bytes[off + 3]);
            if (claimed >= 8 && claimed <= len) len = claimed;
        }
        out.emplace_back(bytes.begin() + off, bytes.begin() + off + len);
        off += len;
    }
    return out;
}

// Minimal JSON look-ups: the value after "key": in the text.
bool json_number(const std::string &json, const std::string &key, unsigned long long &v) {
    const size_t at = json.find("\"" + key + "\": ");
    if (at == std::string::npos) return false;
    const char *p = json.c_str() + at + key.size() + 4;
    char *end = nullptr;
    v = std::strtoull(p, &end, 10);
    return end != p;
}

void append_utf8(std::string &out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xc0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        out += static_cast<char>(0xe0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

bool json_string(const std::string &json, const std::string &key, std::string &v) {
    const size_t at = json.find("\"" + key + "\": \"");
    if (at == std::string::npos) return false;
    v.clear();
    for (size_t i = at + key.size() + 5; i < json.size() && json[i] != '"'; i++) {
        if (json[i] == '\\' && i + 5 < json.size() && json[i + 1] == 'u') {
            append_utf8(v, static_cast<unsigned>(std::stoul(json.substr(i + 2, 4), nullptr, 16)));
            i += 5;
        } else {
            v += json[i];
        }
    }
    return true;
}

std::string base64_decode(const std::string &in) {
    static const std::string chars =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    for (char c : in) {
        const size_t v = chars.find(c);
        if (v == std::string::npos) break;
        acc = (acc << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xff);
        }
    }
    return out;
}

std::string mac_text(const uint8_t *m) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return buf;
}

bool documented(int32_t st) {
    const int32_t all[] = {OFMSG_ERR_HELLO_INCOMPATIBLE,
                           OFMSG_ERR_BAD_MULTIPART,
                           OFMSG_ERR_BAD_EXPERIMENTER,
                           OFMSG_ERR_BAD_EXP_TYPE,
                           OFMSG_ERR_BAD_LEN,
                           OFMSG_ERR_UNHANDLED_TYPE,
                           OFMSG_ERR_ACTION_BAD_TYPE,
                           OFMSG_ERR_ACTION_BAD_EXP_TYPE,
                           OFMSG_ERR_ACTION_BAD_SET_TYPE,
                           OFMSG_ERR_ACTION_BAD_SET_LEN,
                           OFMSG_ERR_INST_UNKNOWN,
                           OFMSG_ERR_MATCH_BAD_LEN,
                           OFMSG_ERR_MATCH_BAD_FIELD,
                           OFMSG_ERR_MATCH_DUP_FIELD,
                           OFMSG_ERR_SHORT_ERROR_MSG};
    return std::find(std::begin(all), std::end(all), st) != std::end(all);
}

// The status the receive path must give a peer message of a type this suite decodes itself.
int32_t expected_spine_status(const std::string &file, uint8_t type) {
    // Peer messages the codec refuses by design: a hello offering versions without 1.3, and
    // echo requests whose payload is not the 16 bytes this codec answers.
    static const std::map<std::string, int32_t> refused = {
        {"4-10-ofp_hello.packet", OFMSG_ERR_HELLO_INCOMPATIBLE},
        {"4-13-ofp_echo_request.packet", OFMSG_ERR_BAD_LEN},
        {"libofproto-OFP13-echo_request.packet", OFMSG_ERR_BAD_LEN},
    };
    if (type == OFPT_FLOW_REMOVED) return OFMSG_ERR_BAD_LEN;
    const auto it = refused.find(file);
    return it == refused.end() ? 0 : it->second;
}

bool spine_type(uint8_t type) {
    switch (type) {
        case OFPT_HELLO:
        case OFPT_ERROR:
        case OFPT_ECHO_REQUEST:
        case OFPT_FEATURES_REQUEST:
        case OFPT_FEATURES_REPLY:
        case OFPT_SET_CONFIG:
        case OFPT_PORT_STATUS:
        case OFPT_FLOW_REMOVED:
            return true;
        default:
            return false;
    }
}

bool family_type(uint8_t type) {
    return type == OFPT_EXPERIMENTER || type == OFPT_PACKET_IN || type == OFPT_FLOW_MOD ||
           type == OFPT_MULTIPART_REQUEST || type == OFPT_MULTIPART_REPLY;
}

void compare_error(const std::string &json, const ofmsg_error *e) {
    unsigned long long type = 0, code = 0;
    std::string data;
    ASSERT_TRUE(json_number(json, "type", type));
    ASSERT_TRUE(json_string(json, "data", data));
    EXPECT_EQ(e->type, type);
    std::string got(reinterpret_cast<const char *>(e->data), e->data_len);
    unsigned long long exp_type = 0, experimenter = 0;
    if (json_number(json, "exp_type", exp_type) &&
        json_number(json, "experimenter", experimenter)) {
        // An experimenter error carries exp_type in the code and the id before the data.
        EXPECT_EQ(e->code, exp_type);
        ASSERT_GE(got.size(), 4u);
        EXPECT_EQ(std::stoul(to_hex(e->data, 4), nullptr, 16), experimenter);
        got = got.substr(4);
    } else {
        ASSERT_TRUE(json_number(json, "code", code));
        EXPECT_EQ(e->code, code);
    }
    EXPECT_EQ(got, base64_decode(data));
}

void compare_features(const std::string &json, const ofmsg_switch_features *f) {
    unsigned long long v = 0;
    ASSERT_TRUE(json_number(json, "datapath_id", v));
    EXPECT_EQ(f->datapath_id, v);
    ASSERT_TRUE(json_number(json, "n_buffers", v));
    EXPECT_EQ(f->n_buffers, v);
    ASSERT_TRUE(json_number(json, "n_tables", v));
    EXPECT_EQ(f->n_tables, v);
    ASSERT_TRUE(json_number(json, "auxiliary_id", v));
    EXPECT_EQ(f->auxiliary_id, v);
    ASSERT_TRUE(json_number(json, "capabilities", v));
    EXPECT_EQ(f->capabilities, v);
}

void compare_port_status(const std::string &json, const ofmsg_port_status *ps) {
    unsigned long long v = 0;
    ASSERT_TRUE(json_number(json, "reason", v));
    EXPECT_EQ(ps->reason, v);
    const ofstruct_port *p = ps->desc;
    ASSERT_NE(p, nullptr);
    const std::pair<const char *, uint32_t> fields[] = {
        {"port_no", p->port_no}, {"config", p->config},         {"state", p->state},
        {"curr", p->curr},       {"advertised", p->advertised}, {"supported", p->supported},
        {"peer", p->peer},       {"curr_speed", p->curr_speed}, {"max_speed", p->max_speed}};
    for (const auto &[key, got] : fields) {
        ASSERT_TRUE(json_number(json, key, v)) << key;
        EXPECT_EQ(got, v) << key;
    }
    std::string s;
    ASSERT_TRUE(json_string(json, "hw_addr", s));
    EXPECT_EQ(mac_text(p->hw_addr), s);
    ASSERT_TRUE(json_string(json, "name", s));
    EXPECT_EQ(std::string(p->name), s);
}

// Returns true when a JSON view was compared.
bool compare_with_json(const std::string &file, uint8_t type, const void *body) {
    const std::string json = read_file(kPeers + "/json/" + file + ".json");
    if (json.empty() || !body) return false;
    switch (type) {
        case OFPT_ERROR:
            compare_error(json, static_cast<const ofmsg_error *>(body));
            return true;
        case OFPT_FEATURES_REPLY:
            compare_features(json, static_cast<const ofmsg_switch_features *>(body));
            return true;
        case OFPT_PORT_STATUS:
            compare_port_status(json, static_cast<const ofmsg_port_status *>(body));
            return true;
        default:
            return false;
    }
}

TEST(PeerCorpus, EveryMessageIsDecodedOrRefusedAndAgreesWithThePeerView) {
    const auto files = list_dir(kPeers + "/packets");
    if (files.empty()) GTEST_SKIP() << "peer corpus absent at " << kPeers << "/packets";
    int decoded = 0, refused = 0, compared = 0, spine_decoded = 0;
    for (const std::string &file : files) {
        const auto messages = split_messages(read_file(kPeers + "/packets/" + file));
        for (const auto &msg : messages) {
            SCOPED_TRACE(file);
            RxHarness rx;
            const int32_t st = rx.decode(msg);
            const uint8_t type = msg.size() > 1 ? msg[1] : 0;
            if (st == 0) {
                decoded++;
                EXPECT_EQ(rx.delivered().calls, 1);
            } else {
                refused++;
                EXPECT_TRUE(documented(st)) << std::hex << st;
                EXPECT_EQ(rx.delivered().calls, 0);
            }
            if (msg.size() < 8 || file.find("truncated") != std::string::npos) {
                EXPECT_NE(st, 0);
            } else if (spine_type(type)) {
                EXPECT_EQ(st, expected_spine_status(file, type));
                spine_decoded += st == 0;
                if (st == 0) compared += compare_with_json(file, type, rx.delivered().body);
            } else if (!family_type(type)) {
                EXPECT_EQ(st, OFMSG_ERR_UNHANDLED_TYPE) << "type " << int(type);
            }
        }
    }
    std::printf(
        "peer corpus: %d decoded (%d by the simple steps, %d compared with JSON), "
        "%d refused\n",
        decoded, spine_decoded, compared, refused);
    EXPECT_GE(spine_decoded, 10);
    EXPECT_GE(compared, 6);
}

}  // namespace
