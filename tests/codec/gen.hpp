// Seeded generator of random valid records of every codec family (heap records, released
// with ofmsg_equal::release_body).
#pragma once

#include <cstdlib>
#include <random>

#include "ofmsg.h"

namespace codec {

class Gen {
   public:
    explicit Gen(uint32_t seed) : rng_(seed) {}
    uint32_t u32() { return static_cast<uint32_t>(rng_()); }
    uint64_t u64() { return (uint64_t{u32()} << 32) | u32(); }
    uint16_t u16() { return static_cast<uint16_t>(u32()); }
    uint8_t u8() { return static_cast<uint8_t>(u32()); }
    uint32_t below(uint32_t n) { return n ? u32() % n : 0; }
    bool coin() { return u32() & 1; }
    void fill(uint8_t *p, size_t n) {
        for (size_t i = 0; i < n; i++)
            p[i] = u8();
    }
    template <class T>
    static T *make() {
        return static_cast<T *>(std::calloc(1, sizeof(T)));
    }

    ofmsg_flow_match *match() {
        ofmsg_flow_match *m = ofmsg_match_create();
        for (uint32_t idx = 0; idx < OFOXM_IDX_COUNT; idx++) {
            const uint32_t field = of_match_oxm_from_idx_to_oxm(idx);
            if (field != OFOXM_NO_FIELD && coin()) add_tlv(m, idx, field, coin());
        }
        return m;
    }

    ofmsg_action *action() {
        static const uint32_t one_byte[] = {OXM_OF_VLAN_PCP, OXM_OF_IP_DSCP, OXM_OF_IP_ECN};
        uint8_t v[6];
        fill(v, 6);
        switch (below(8)) {
            case 0:
                return ofmsg_action_create_output(u32(), u16());
            case 1:
                return ofmsg_action_create_set_field(
                    ofoxm_header_value(coin() ? OXM_OF_ETH_DST : OXM_OF_ETH_SRC, 0), 6, v);
            case 2:
                return ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_VLAN_VID, 0), 2, v);
            case 3:
                return ofmsg_action_create_set_field(ofoxm_header_value(one_byte[below(3)], 0), 1,
                                                     v);
            case 4:
            case 5:
                return ofmsg_action_exp_create_flag(static_cast<uint16_t>(1 + below(2)), u32());
            case 6:
                return ofmsg_action_exp_create_zelta_output(u32(), u32());
            default:
                return ofmsg_action_exp_create_set_appid(u16());
        }
    }

    ofmsg_flow_instructions *instructions() {
        if (below(4) == 0) return nullptr;
        ofmsg_flow_instructions *list = nullptr;
        for (uint32_t i = 0, n = 1 + below(2); i < n; i++) {
            ofmsg_instruction_actions *actions = nullptr;
            for (uint32_t j = 0, k = below(9); j < k; j++)
                actions = ofmsg_instruction_action_add(actions, action());
            list = ofmsg_instructions_add(list, ofmsg_instruction_action_create(actions));
        }
        return list;
    }

    ofmsg_flow_mod *flow_mod() {
        auto *fm = make<ofmsg_flow_mod>();
        *fm = {u64(), u64(), u8(),  below(256), u16(),   u16(),         u16(),
               u32(), u32(), u32(), u16(),      match(), instructions()};
        return fm;
    }

    ofmsg_packet_in *packet_in() {
        auto *pi = make<ofmsg_packet_in>();
        *pi = {u32(), u16(), below(256), u8(), u64(), match(), below(4) ? below(1600) : 0, nullptr};
        if (pi->data_len) {
            pi->data = static_cast<uint8_t *>(std::malloc(pi->data_len));
            fill(pi->data, pi->data_len);
        }
        return pi;
    }

    ofmsg_multipart_reply *flow_stats_reply(uint32_t max_entries) {
        auto *fs = make<ofmsg_flow_stats_reply>();
        fs->num_flows = below(max_entries + 1);
        fs->flow_stats =
            static_cast<ofmsg_flow_stat **>(std::calloc(fs->num_flows + 1, sizeof(void *)));
        for (uint32_t i = 0; i < fs->num_flows; i++) {
            auto *s = fs->flow_stats[i] = make<ofmsg_flow_stat>();
            *s = {u8(),  u32(), u32(), u16(),   u16(),         u16(),
                  u64(), u64(), u64(), match(), instructions()};
        }
        return reply(OFPMP_FLOW, fs);
    }

    ofmsg_multipart_reply *port_desc_reply() {
        auto *pd = make<ofmsg_port_desc_reply>();
        pd->num_ports = below(12);
        pd->ports = static_cast<ofstruct_port **>(std::calloc(pd->num_ports + 1, sizeof(void *)));
        for (uint32_t i = 0; i < pd->num_ports; i++) {
            auto *p = pd->ports[i] = make<ofstruct_port>();
            const uint32_t n = below(17);
            p->name = static_cast<char *>(std::calloc(n + 1, 1));
            for (uint32_t c = 0; c < n; c++)
                p->name[c] = static_cast<char>('!' + below(90));
            p->port_no = u32();
            fill(p->hw_addr, 6);
            for (uint32_t *w : {&p->config, &p->state, &p->curr, &p->advertised, &p->supported,
                                &p->peer, &p->curr_speed, &p->max_speed})
                *w = u32();
        }
        return reply(OFPMP_PORT_DESC, pd);
    }

    ofmsg_exp *exp() {
        auto *e = make<ofmsg_exp>();
        const uint32_t kind = below(3);
        if (kind == 0) {
            auto *r = make<ofmsg_exp_tunnel_v4_request>();
            *r = {below(256), coin() ? tunnel() : nullptr};
            *e = {ZELTA_EXP_TUNNEL_V4_REQ, r};
        } else if (kind == 1) {
            auto *r = make<ofmsg_exp_tunnel_v4_reply>();
            r->num_tunnels = below(20);
            if (r->num_tunnels)
                r->tunnels = static_cast<ofmsg_exp_tunnel_v4 **>(
                    std::calloc(r->num_tunnels, sizeof(void *)));
            for (uint32_t i = 0; i < r->num_tunnels; i++)
                r->tunnels[i] = tunnel();
            *e = {ZELTA_EXP_TUNNEL_V4_REPLY, r};
        } else {
            auto *m = make<ofmsg_exp_openflow_mac>();
            m->opcode = below(256);
            fill(m->station_mac, 6);
            fill(m->bss_mac, 6);
            *e = {ZELTA_EXP_OPENFLOW_MAC, m};
        }
        return e;
    }

   private:
    static uint32_t header(uint32_t field, bool masked, uint32_t len) {
        return 0x80000000u | (field << 9) | (masked ? 0x100u : 0u) | len;
    }

    void add_tlv(ofmsg_flow_match *m, uint32_t idx, uint32_t field, bool masked) {
        uint8_t v[16], k[16];
        fill(v, 16);
        fill(k, 16);
        switch (field) {
            case OXM_OF_IN_PORT:
            case OXM_OF_IPV4_SRC:
            case OXM_OF_IPV4_DST:
                return masked ? ofmsg_match_tlv_create_32_value_mask(m, idx, header(field, 1, 8),
                                                                     u32(), u32())
                              : ofmsg_match_tlv_create_32_value(m, idx, header(field, 0, 4), u32());
            case OXM_OF_METADATA:
                return masked ? ofmsg_match_tlv_create_64_value_mask(m, idx, header(field, 1, 16),
                                                                     u64(), u64())
                              : ofmsg_match_tlv_create_64_value(m, idx, header(field, 0, 8), u64());
            case OXM_OF_ETH_DST:
            case OXM_OF_ETH_SRC:
                return masked ? ofmsg_match_tlv_create_eth_value_mask(m, idx, header(field, 1, 12),
                                                                      v, k)
                              : ofmsg_match_tlv_create_eth_value(m, idx, header(field, 0, 6), v);
            case OXM_OF_IPV6_SRC:
            case OXM_OF_IPV6_DST:
                return masked ? ofmsg_match_tlv_create_ipv6_value_mask(m, idx, header(field, 1, 32),
                                                                       v, k)
                              : ofmsg_match_tlv_create_ipv6_value(m, idx, header(field, 0, 16), v);
            case OXM_OF_ETH_TYPE:
            case OXM_OF_TCP_SRC:
            case OXM_OF_TCP_DST:
            case OXM_OF_UDP_SRC:
            case OXM_OF_UDP_DST:
                // The masked builder of this kind keeps the mask but encodes a plain value.
                return masked ? ofmsg_match_tlv_create_16_value_mask(m, idx, header(field, 0, 2),
                                                                     u16(), u16())
                              : ofmsg_match_tlv_create_16_value(m, idx, header(field, 0, 2), u16());
            default:
                return masked ? ofmsg_match_tlv_create_8_value_mask(m, idx, header(field, 0, 1),
                                                                    u8(), u8())
                              : ofmsg_match_tlv_create_8_value(m, idx, header(field, 0, 1), u8());
        }
    }

    ofmsg_exp_tunnel_v4 *tunnel() {
        auto *t = make<ofmsg_exp_tunnel_v4>();
        *t = {u32(), u32()};
        return t;
    }

    static ofmsg_multipart_reply *reply(uint32_t type, void *body) {
        auto *r = make<ofmsg_multipart_reply>();
        *r = {type, 0, body};
        return r;
    }

    std::mt19937 rng_;
};

}  // namespace codec
