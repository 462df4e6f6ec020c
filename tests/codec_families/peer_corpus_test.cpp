// Messages written by other OpenFlow implementations: those inside the supported subset
// decode (and agree with the peer framework's JSON view), the rest are refused with a status.
// 32-bit targets list directories with large inode numbers only with 64-bit file offsets.
#define _FILE_OFFSET_BITS 64

#include <arpa/inet.h>
#include <dirent.h>

#include <cstring>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>

#include "../../fuzz/ofmsg_equal.hpp"
#include "family_util.hpp"

using fam::Bytes;

namespace {

const std::string kDir = OFAGENT_TESTDATA_DIR "/of13-peers";

bool family_type(uint8_t type) {
    return type == OFPT_EXPERIMENTER || type == OFPT_PACKET_IN || type == OFPT_FLOW_REMOVED ||
           type == OFPT_FLOW_MOD || type == OFPT_MULTIPART_REQUEST || type == OFPT_MULTIPART_REPLY;
}

Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> packet_files() {
    std::vector<std::string> names;
    if (DIR *d = opendir((kDir + "/packets").c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The messages of a file, back to back; a message cut short is kept as it stands.
std::vector<Bytes> split(const Bytes &file) {
    std::vector<Bytes> out;
    for (size_t pos = 0; pos + 8 <= file.size();) {
        size_t len = (size_t{file[pos + 2]} << 8) | file[pos + 3];
        if (len < 8) break;
        len = std::min(len, file.size() - pos);
        out.emplace_back(file.begin() + pos, file.begin() + pos + len);
        pos += len;
    }
    return out;
}

// The status each peer message of the codec families gets. Refusals were checked against
// the peer framework's view: they carry instructions (goto-table, meter), actions (group,
// push/pop, Nicira experimenter actions) or match fields (ARP, MPLS, PBB, Nicira registers)
// outside the subset, or a multipart type outside it; flow-removed is never decoded.
const std::map<std::string, int32_t> kOutcome = {
    {"4-0-ofp_desc_reply.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-11-ofp_flow_stats_request.packet", 0},
    {"4-12-ofp_flow_stats_reply.packet", OFMSG_ERR_INST_UNKNOWN},
    {"4-16-ofp_experimenter.packet", OFMSG_ERR_BAD_EXPERIMENTER},
    {"4-2-ofp_flow_mod.packet", OFMSG_ERR_INST_UNKNOWN},
    {"4-24-ofp_desc_request.packet", 0},
    {"4-25-ofp_aggregate_stats_request.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-26-ofp_aggregate_stats_reply.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-27-ofp_table_stats_request.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-28-ofp_table_stats_reply.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-29-ofp_port_stats_request.packet", 0},
    {"4-3-ofp_flow_mod.packet", OFMSG_ERR_INST_UNKNOWN},
    {"4-30-ofp_port_stats_reply.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-31-ofp_group_features_request.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-32-ofp_group_features_reply.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-33-ofp_group_desc_request.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-34-ofp_group_desc_reply.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-37-ofp_queue_stats_request.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-38-ofp_queue_stats_reply.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-4-ofp_packet_in.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"4-40-ofp_flow_removed.packet", OFMSG_ERR_BAD_LEN},
    {"4-46-ofp_flow_mod.packet", OFMSG_ERR_INST_UNKNOWN},
    {"4-47-ofp_meter_config_request.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-48-ofp_meter_config_reply.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-49-ofp_meter_stats_request.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-50-ofp_meter_stats_reply.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-51-ofp_meter_features_request.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-52-ofp_meter_features_reply.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-53-ofp_port_desc_request.packet", 0},
    {"4-54-ofp_port_desc_reply.packet", 0},
    {"4-55-ofp_table_features_request.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-56-ofp_table_features_reply.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-57-ofp_group_stats_request.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-58-ofp_group_stats_reply.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-59-ofp_packet_in.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"4-60-ofp_flow_mod.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"4-61-ofp_experimenter_request.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-62-ofp_experimenter_reply.packet", OFMSG_ERR_BAD_MULTIPART},
    {"4-63-onf_flow_monitor_request.packet", OFMSG_ERR_BAD_MULTIPART},
    {"libofproto-OFP13-flow_mod.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"libofproto-OFP13-flow_mod_conjunction.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"libofproto-OFP13-flow_mod_match_conj.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"libofproto-OFP13-flow_removed.packet", OFMSG_ERR_BAD_LEN},
    {"libofproto-OFP13-packet_in.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"ovs-ofctl-of13-action_conjunction.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"ovs-ofctl-of13-action_controller.packet", OFMSG_ERR_BAD_EXPERIMENTER},
    {"ovs-ofctl-of13-action_controller2.packet", OFMSG_ERR_BAD_EXPERIMENTER},
    {"ovs-ofctl-of13-action_ct.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"ovs-ofctl-of13-action_ct_clear.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"ovs-ofctl-of13-action_ct_exec.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"ovs-ofctl-of13-action_ct_nat.packet", OFMSG_ERR_BAD_EXPERIMENTER},
    {"ovs-ofctl-of13-action_ct_nat_v6.packet", OFMSG_ERR_BAD_EXPERIMENTER},
    {"ovs-ofctl-of13-action_dec_ttl_cnt_ids.packet", OFMSG_ERR_BAD_EXPERIMENTER},
    {"ovs-ofctl-of13-action_fintimeout.packet", OFMSG_ERR_BAD_EXPERIMENTER},
    {"ovs-ofctl-of13-action_learn.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"ovs-ofctl-of13-action_note.packet", OFMSG_ERR_BAD_EXPERIMENTER},
    {"ovs-ofctl-of13-action_output_trunc.packet", OFMSG_ERR_BAD_EXPERIMENTER},
    {"ovs-ofctl-of13-action_resubmit.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"ovs-ofctl-of13-action_sample.packet", OFMSG_ERR_BAD_EXPERIMENTER},
    {"ovs-ofctl-of13-action_sample2.packet", OFMSG_ERR_BAD_EXPERIMENTER},
    {"ovs-ofctl-of13-action_stack_pop.packet", OFMSG_ERR_BAD_EXPERIMENTER},
    {"ovs-ofctl-of13-action_stack_push.packet", OFMSG_ERR_BAD_EXPERIMENTER},
    {"ovs-ofctl-of13-match_conj.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"ovs-ofctl-of13-match_load_nx_register.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"ovs-ofctl-of13-match_move_nx_register.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"ovs-ofctl-of13-match_pkt_mark.packet", OFMSG_ERR_MATCH_BAD_FIELD},
    {"ovs-ofctl-of13-match_pkt_mark_masked.packet", OFMSG_ERR_MATCH_BAD_FIELD},
};

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every value of "key": in document order, as the text that follows up to , } or newline.
std::vector<std::string> json_values(const std::string &json, const std::string &key) {
    std::vector<std::string> out;
    const std::string needle = "\"" + key + "\": ";
    for (size_t pos = json.find(needle); pos != std::string::npos;
         pos = json.find(needle, pos + 1)) {
        size_t start = pos + needle.size(), end = json.find_first_of(",}\n", start);
        std::string v = json.substr(start, end - start);
        while (!v.empty() && v.back() == ' ')
            v.pop_back();
        if (v.size() >= 2 && v.front() == '"') v = v.substr(1, v.size() - 2);
        out.push_back(v);
    }
    return out;
}

std::string mac_text(const uint8_t *b) {
    char s[18];
    std::snprintf(s, sizeof s, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    return s;
}

void expect_port_desc_matches_json(const ofmsg_port_desc_reply *r, const std::string &json) {
    const auto nos = json_values(json, "port_no"), names = json_values(json, "name"),
               macs = json_values(json, "hw_addr"), states = json_values(json, "state"),
               currs = json_values(json, "curr"), speeds = json_values(json, "curr_speed"),
               peers = json_values(json, "peer");
    ASSERT_EQ(nos.size(), r->num_ports);
    for (uint32_t i = 0; i < r->num_ports; i++) {
        EXPECT_EQ(nos[i], std::to_string(r->ports[i]->port_no));
        EXPECT_EQ(names[i], r->ports[i]->name);
        EXPECT_EQ(macs[i], mac_text(r->ports[i]->hw_addr));
        EXPECT_EQ(states[i], std::to_string(r->ports[i]->state));
        EXPECT_EQ(currs[i], std::to_string(r->ports[i]->curr));
        EXPECT_EQ(speeds[i], std::to_string(r->ports[i]->curr_speed));
        EXPECT_EQ(peers[i], std::to_string(r->ports[i]->peer));
    }
}

void expect_request_matches_json(const ofmsg_multipart_request *req, const std::string &json) {
    EXPECT_EQ(json_values(json, "type").back(), std::to_string(req->type));
    EXPECT_EQ(json_values(json, "flags").at(0), std::to_string(req->flags));
    if (req->type == OFPMP_PORT_STATS) {
        uint32_t no;
        std::memcpy(&no, req->body, 4);
        EXPECT_EQ(json_values(json, "port_no").at(0), std::to_string(ntohl(no)));
    }
    if (req->type == OFPMP_FLOW) {
        auto *f = static_cast<const ofmsg_flow_stats_request *>(req->body);
        EXPECT_EQ(json_values(json, "table_id").at(0), std::to_string(f->table_id));
        EXPECT_EQ(json_values(json, "out_port").at(0), std::to_string(f->out_port));
        EXPECT_EQ(json_values(json, "out_group").at(0), std::to_string(f->out_group));
        EXPECT_EQ(json_values(json, "cookie").at(0), std::to_string(f->cookie));
        EXPECT_EQ(json_values(json, "cookie_mask").at(0), std::to_string(f->cookie_mask));
        EXPECT_EQ(json_values(json, "length").at(0), std::to_string(f->match->length + 4));
    }
}

}  // namespace

TEST(PeerCorpus, FamilyMessagesDecodeOrAreRefusedAsReviewed) {
    const std::vector<std::string> files = packet_files();
    if (files.empty()) GTEST_SKIP() << "peer corpus absent: " << kDir;
    int decoded = 0, refused = 0, json_checked = 0;
    for (const std::string &name : files) {
        for (const Bytes &msg : split(read_file(kDir + "/packets/" + name))) {
            if (!family_type(msg[1])) continue;
            SCOPED_TRACE(name);
            const auto it = kOutcome.find(name);
            ASSERT_NE(it, kOutcome.end()) << "no reviewed outcome for this message";
            fam::Rx rx;
            const int32_t st = rx.decode(msg);
            EXPECT_EQ(st, it->second);
            if (st != 0) {
                EXPECT_EQ(rx.calls(), 0);
                refused++;
                continue;
            }
            decoded++;
            const std::string json = read_text(kDir + "/json/" + name + ".json");
            if (msg[1] == OFPT_MULTIPART_REPLY) {
                auto *r = rx.body<ofmsg_multipart_reply>();
                ASSERT_EQ(r->type, static_cast<uint32_t>(OFPMP_PORT_DESC));
                if (!json.empty()) {
                    expect_port_desc_matches_json(
                        static_cast<const ofmsg_port_desc_reply *>(r->body), json);
                    json_checked++;
                }
                // Encodable as received: the bytes come back unchanged.
                EXPECT_EQ(fam::to_hex(fam::encode(OFPT_MULTIPART_REPLY, r, 0)), fam::to_hex(msg));
            } else if (msg[1] == OFPT_MULTIPART_REQUEST && !json.empty()) {
                expect_request_matches_json(rx.body<ofmsg_multipart_request>(), json);
                json_checked++;
            }
        }
    }
    EXPECT_EQ(decoded + refused, static_cast<int>(kOutcome.size()));
    EXPECT_GE(json_checked, 5);
    std::printf("peer corpus: %d decoded, %d refused, %d compared with JSON\n", decoded, refused,
                json_checked);
}

// Cut at every length, each peer message of the families is refused or decoded without a
// read past its end (ASan) and without leaking.
TEST(PeerCorpus, EveryPrefixOfAFamilyMessageIsHandledSafely) {
    const std::vector<std::string> files = packet_files();
    if (files.empty()) GTEST_SKIP() << "peer corpus absent: " << kDir;
    int prefixes = 0;
    for (const std::string &name : files) {
        for (const Bytes &msg : split(read_file(kDir + "/packets/" + name))) {
            if (!family_type(msg[1])) continue;
            for (size_t n = 8; n < msg.size(); n++) {
                Bytes cut(msg.begin(), msg.begin() + n);
                cut[2] = static_cast<uint8_t>(n >> 8);
                cut[3] = static_cast<uint8_t>(n);
                fam::Rx rx;
                const int32_t st = rx.decode(cut);
                EXPECT_EQ(rx.calls(), st == 0 ? 1 : 0);
                prefixes++;
            }
        }
    }
    EXPECT_GT(prefixes, 1000);
}
