// Builds the bench messages. The flow-mods come from the peer; the others are encoded here
// from records, since the peer cannot be asked to produce them as a switch would.
#include "messages.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "ofmsg.h"

namespace bench {
namespace {

std::vector<uint8_t> from_hex(const std::string &hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

std::vector<uint8_t> encode(uint8_t type, const void *body) {
    uint8_t *buf = nullptr;
    uint32_t len = 0;
    if (ofmsg_tx_encode(type, body, 0x1234, &buf, &len) != 0) {
        std::fprintf(stderr, "bench: cannot encode a message of type %u\n", type);
        std::exit(1);
    }
    std::vector<uint8_t> out(buf, buf + len);
    std::free(buf);
    return out;
}

ofmsg_flow_match *in_port_match(uint32_t port) {
    ofmsg_flow_match *m = ofmsg_match_create();
    ofmsg_match_tlv_create_32_value(m, 0, ofoxm_header_value(OXM_OF_IN_PORT, 0), port);
    return m;
}

ofmsg_flow_instructions *output_to(uint32_t port) {
    ofmsg_instruction_actions *acts =
        ofmsg_instruction_action_add(nullptr, ofmsg_action_create_output(port, 0xffff));
    return ofmsg_instructions_add(nullptr, ofmsg_instruction_action_create(acts));
}

}  // namespace

std::vector<Message> ovs_flow_mods(const std::string &path) {
    std::vector<Message> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        out.push_back({line.substr(0, tab), from_hex(line.substr(tab + 1))});
    }
    return out;
}

Message packet_in_message(uint32_t data_len) {
    std::vector<uint8_t> frame(data_len);
    for (uint32_t i = 0; i < data_len; i++)
        frame[i] = static_cast<uint8_t>(i * 7 + 1);
    ofmsg_packet_in pin{};
    pin.buffer_id = 0xffffffffu;
    pin.total_len = static_cast<uint16_t>(data_len);
    pin.reason = 0;
    pin.cookie = 0xffffffffffffffffull;
    pin.match = in_port_match(3);
    pin.data_len = data_len;
    pin.data = frame.data();
    Message m{"packet_in_" + std::to_string(data_len), encode(OFPT_PACKET_IN, &pin)};
    ofmsg_flow_match_free(pin.match);
    return m;
}

Message port_desc_reply_message(uint32_t ports) {
    std::vector<ofstruct_port> recs(ports);
    std::vector<ofstruct_port *> ptrs(ports);
    std::vector<std::string> names(ports);
    for (uint32_t i = 0; i < ports; i++) {
        ofstruct_port &p = recs[i];
        p = ofstruct_port{};
        p.port_no = i + 1;
        const uint8_t mac[6] = {
            0x02, 0, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        std::memcpy(p.hw_addr, mac, sizeof mac);
        names[i] = "eth" + std::to_string(i + 1);
        p.name = names[i].data();
        p.state = 4;
        p.curr = p.advertised = p.supported = 0x2820;
        p.curr_speed = p.max_speed = 1000000;
        ptrs[i] = &p;
    }
    ofmsg_port_desc_reply list{ports, ptrs.data()};
    ofmsg_multipart_reply reply{OFPMP_PORT_DESC, 0, &list};
    return {"port_desc_" + std::to_string(ports), encode(OFPT_MULTIPART_REPLY, &reply)};
}

Message flow_stats_reply_message(uint32_t entries) {
    std::vector<ofmsg_flow_stat> recs(entries);
    std::vector<ofmsg_flow_stat *> ptrs(entries);
    for (uint32_t i = 0; i < entries; i++) {
        ofmsg_flow_stat &s = recs[i];
        s = ofmsg_flow_stat{};
        s.duration_sec = 100 + i;
        s.priority = static_cast<uint16_t>(1000 + i);
        s.cookie = i;
        s.packet_count = 10ull * i;
        s.byte_count = 640ull * i;
        s.match = in_port_match(i % 48 + 1);
        ofmsg_match_tlv_create_16_value(s.match, 3, ofoxm_header_value(OXM_OF_ETH_TYPE, 0), 0x0800);
        ofmsg_match_tlv_create_32_value(s.match, 7, ofoxm_header_value(OXM_OF_IPV4_DST, 0),
                                        0x0a000000u + i);
        s.instructions = output_to(i % 48 + 2);
        ptrs[i] = &s;
    }
    ofmsg_flow_stats_reply list{entries, ptrs.data()};
    ofmsg_multipart_reply reply{OFPMP_FLOW, 0, &list};
    Message m{"flow_stats_" + std::to_string(entries), encode(OFPT_MULTIPART_REPLY, &reply)};
    for (ofmsg_flow_stat &s : recs) {
        ofmsg_flow_match_free(s.match);
        ofmsg_flow_instructions_free(s.instructions);
    }
    return m;
}

void release_body(uint8_t type, void *body) {
    if (body == nullptr) return;
    if (type == OFPT_MULTIPART_REPLY) {
        auto *r = static_cast<ofmsg_multipart_reply *>(body);
        if (r->type == OFPMP_FLOW && r->body) {
            auto *l = static_cast<ofmsg_flow_stats_reply *>(r->body);
            for (uint32_t i = 0; l->flow_stats && i < l->num_flows; i++) {
                if (l->flow_stats[i]->match) ofmsg_flow_match_free(l->flow_stats[i]->match);
                if (l->flow_stats[i]->instructions)
                    ofmsg_flow_instructions_free(l->flow_stats[i]->instructions);
            }
        }
    }
    ofmsg_free(type, body);
}

namespace {

void *g_captured;

void capture(void *body, ofmsg *) {
    g_captured = body;
}

}  // namespace

void *decode_body(const std::vector<uint8_t> &bytes) {
    ofmsg_rx_cb table[OFMSG_NUM_TYPES] = {};
    for (ofmsg_rx_cb &cb : table)
        cb = capture;
    ofmsg_rx_cb saved[OFMSG_NUM_TYPES];
    std::memcpy(saved, msg_handler_cbs, sizeof saved);
    ofmsg_register_callbacks(table);
    g_captured = nullptr;
    const int32_t status =
        ofmsg_rx_decode(nullptr, bytes.data(), static_cast<uint32_t>(bytes.size()));
    ofmsg_register_callbacks(saved);
    return status == 0 ? g_captured : nullptr;
}

}  // namespace bench
