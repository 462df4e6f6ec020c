// Writes one valid message of every decodable kind into a directory, as the fuzzer's own
// seeds: the encoders build them, so the seeds follow the codec's current wire formats.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ofmsg.h"

namespace {

int g_written;

void write_seed(const std::string &dir, const char *name, uint8_t type, const void *body) {
    uint8_t *buf = nullptr;
    uint32_t len = 0;
    if (ofmsg_tx_encode(type, body, 0x01020304, &buf, &len) != 0) {
        std::fprintf(stderr, "seed %s not encoded\n", name);
        return;
    }
    const std::string path = dir + "/gen-" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f) {
        if (std::fwrite(buf, 1, len, f) == len) g_written++;
        std::fclose(f);
    }
    std::free(buf);
}

ofmsg_flow_match *sample_match() {
    ofmsg_flow_match *m = ofmsg_match_create();
    if (!m) return nullptr;
    const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 1};
    ofmsg_match_tlv_create_32_value(m, 0, ofoxm_header_value(OXM_OF_IN_PORT, 0), 1);
    ofmsg_match_tlv_create_eth_value(m, 1, ofoxm_header_value(OXM_OF_ETH_DST, 0), mac);
    ofmsg_match_tlv_create_16_value(m, 3, ofoxm_header_value(OXM_OF_ETH_TYPE, 0), 0x0800);
    ofmsg_match_tlv_create_8_value(m, 5, ofoxm_header_value(OXM_OF_IP_PROTO, 0), 6);
    ofmsg_match_tlv_create_32_value_mask(m, 7, ofoxm_header_value(OXM_OF_IPV4_DST, 1), 0x0a000000,
                                         0xff000000);
    ofmsg_match_tlv_create_16_value(m, 11, ofoxm_header_value(OXM_OF_TCP_DST, 0), 6653);
    ofmsg_match_tlv_create_64_value(m, 18, ofoxm_header_value(OXM_OF_METADATA, 0), 7);
    return m;
}

ofmsg_flow_instructions *sample_instructions() {
    const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 2};
    const uint16_t vid = 0x1005;
    ofmsg_action *actions[] = {
        ofmsg_action_create_output(2, 128),
        ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_ETH_SRC, 0), 6, mac),
        ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_VLAN_VID, 0), 2, &vid),
        ofmsg_action_exp_create_flag(ZELTA_ACTION_EXP_SET_FLAG, 0x11),
        ofmsg_action_exp_create_zelta_output(3, 100),
        ofmsg_action_exp_create_set_appid(42),
    };
    ofmsg_instruction_actions *list = nullptr;
    for (ofmsg_action *a : actions)
        if (a) list = ofmsg_instruction_action_add(list, a);
    return list ? ofmsg_instructions_add(nullptr, ofmsg_instruction_action_create(list)) : nullptr;
}

void simple_seeds(const std::string &dir) {
    write_seed(dir, "hello", OFPT_HELLO, nullptr);
    write_seed(dir, "features_request", OFPT_FEATURES_REQUEST, nullptr);
    uint8_t data[8] = {4, 14, 0, 8, 0, 0, 0, 9};
    ofmsg_error err{1, 6, sizeof data, data};
    write_seed(dir, "error", OFPT_ERROR, &err);
    ofmsg_switch_features f{0x0000000000000abcULL, 256, 254, 0, 0x4f, 0};
    write_seed(dir, "features_reply", OFPT_FEATURES_REPLY, &f);
    char name[] = "eth0";
    ofstruct_port port{7, {2, 0, 0, 0, 0, 7}, name, 0, 4, 0x2808, 0x2800, 0x2808, 0, 5000, 10000};
    ofmsg_port_status ps{OFPPR_MODIFY, &port};
    write_seed(dir, "port_status", OFPT_PORT_STATUS, &ps);
}

void flow_seeds(const std::string &dir) {
    ofmsg_flow_mod fm{};
    fm.command = OFPFC_ADD;
    fm.priority = 100;
    fm.buffer_id = 0xffffffff;
    fm.match = sample_match();
    fm.instructions = sample_instructions();
    if (fm.match) write_seed(dir, "flow_mod", OFPT_FLOW_MOD, &fm);
    uint8_t frame[60] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0, 0, 1, 0x08, 0x06};
    ofmsg_packet_in pi{0xffffffff, sizeof frame, 0, 0, 0, fm.match, sizeof frame, frame};
    if (fm.match) write_seed(dir, "packet_in", OFPT_PACKET_IN, &pi);

    // Of the requests only port-description requests are ever sent; the peer corpus has
    // the other kinds.
    ofmsg_multipart_request pd_req{OFPMP_PORT_DESC, 0, nullptr};
    write_seed(dir, "mp_port_desc_request", OFPT_MULTIPART_REQUEST, &pd_req);

    ofmsg_flow_stat st{};
    st.priority = 5;
    st.match = fm.match;
    st.instructions = fm.instructions;
    ofmsg_flow_stat *stats[] = {&st, &st};
    ofmsg_flow_stats_reply fs{2, stats};
    ofmsg_multipart_reply flow_rep{OFPMP_FLOW, 0, &fs};
    if (fm.match) write_seed(dir, "mp_flow_reply", OFPT_MULTIPART_REPLY, &flow_rep);
    ofmsg_port_stats pst[2] = {{0x01000000, 10, 20}, {0x02000000, 30, 40}};
    ofmsg_port_stats_reply psr{2, pst};
    ofmsg_multipart_reply ps_rep{OFPMP_PORT_STATS, 0, &psr};
    write_seed(dir, "mp_port_stats_reply", OFPT_MULTIPART_REPLY, &ps_rep);

    if (fm.match) ofmsg_flow_match_free(fm.match);
    if (fm.instructions) ofmsg_flow_instructions_free(fm.instructions);
}

void exp_seeds(const std::string &dir) {
    ofmsg_exp_tunnel_v4 tun{5, 0x0a000001};
    ofmsg_exp_tunnel_v4_request req{1, &tun};
    ofmsg_exp e_req{ZELTA_EXP_TUNNEL_V4_REQ, &req};
    write_seed(dir, "exp_tunnel_request", OFPT_EXPERIMENTER, &e_req);
    ofmsg_exp_tunnel_v4 *tuns[] = {&tun, &tun};
    ofmsg_exp_tunnel_v4_reply rep{2, tuns};
    ofmsg_exp e_rep{ZELTA_EXP_TUNNEL_V4_REPLY, &rep};
    write_seed(dir, "exp_tunnel_reply", OFPT_EXPERIMENTER, &e_rep);
    ofmsg_exp_openflow_mac mac{1, {2, 0, 0, 0, 0, 3}, {2, 0, 0, 0, 0, 4}};
    ofmsg_exp e_mac{ZELTA_EXP_OPENFLOW_MAC, &mac};
    write_seed(dir, "exp_mac", OFPT_EXPERIMENTER, &e_mac);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    simple_seeds(dir);
    flow_seeds(dir);
    exp_seeds(dir);
    std::printf("%d generated seeds\n", g_written);
    return g_written > 0 ? 0 : 1;
}
