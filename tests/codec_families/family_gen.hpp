// Seeded generator of random valid records for every codec family (heap records, released
// with fam::release_body).
#pragma once

#include <cstdlib>
#include <random>

#include "ofmsg.h"

namespace fam {

class Gen {
   public:
    explicit Gen(uint32_t seed) : rng_(seed) {}
    uint32_t u32() { return static_cast<uint32_t>(rng_()); }
    uint64_t u64() { return (uint64_t{u32()} << 32) | u32(); }
    uint32_t below(uint32_t n) { return n ? u32() % n : 0; }
    bool coin() { return u32() & 1; }
    void fill(uint8_t *p, size_t n) {
        for (size_t i = 0; i < n; i++)
            p[i] = static_cast<uint8_t>(u32());
    }

    ofmsg_flow_match *match() {
        ofmsg_flow_match *m = ofmsg_match_create();
        for (uint32_t idx = 0; idx < OFOXM_IDX_COUNT; idx++) {
            const uint32_t field = of_match_oxm_from_idx_to_oxm(idx);
            if (field == OFOXM_NO_FIELD || !coin()) continue;
            add_tlv(m, idx, field);
        }
        return m;
    }

    ofmsg_action *action() {
        switch (below(8)) {
            case 0:
                return ofmsg_action_create_output(u32(), static_cast<uint16_t>(u32()));
            case 1: {
                uint8_t mac[6];
                fill(mac, 6);
                return ofmsg_action_create_set_field(
                    ofoxm_header_value(coin() ? OXM_OF_ETH_DST : OXM_OF_ETH_SRC, 0), 6, mac);
            }
            case 2: {
                const uint16_t vid = static_cast<uint16_t>(u32());
                return ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_VLAN_VID, 0), 2,
                                                     &vid);
            }
            case 3: {
                static const uint32_t fields[] = {OXM_OF_VLAN_PCP, OXM_OF_IP_DSCP, OXM_OF_IP_ECN};
                const uint8_t v = static_cast<uint8_t>(u32());
                return ofmsg_action_create_set_field(ofoxm_header_value(fields[below(3)], 0), 1,
                                                     &v);
            }
            case 4:
            case 5:
                return ofmsg_action_exp_create_flag(static_cast<uint16_t>(1 + below(2)), u32());
            case 6:
                return ofmsg_action_exp_create_zelta_output(u32(), u32());
            default:
                return ofmsg_action_exp_create_set_appid(static_cast<uint16_t>(u32()));
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
        auto *fm = static_cast<ofmsg_flow_mod *>(std::calloc(1, sizeof(ofmsg_flow_mod)));
        fm->cookie = u64();
        fm->cookie_mask = u64();
        fm->table_id = static_cast<uint8_t>(u32());
        fm->command = below(256);
        fm->idle_timeout = static_cast<uint16_t>(u32());
        fm->hard_timeout = static_cast<uint16_t>(u32());
        fm->priority = static_cast<uint16_t>(u32());
        fm->buffer_id = u32();
        fm->out_port = u32();
        fm->out_group = u32();
        fm->flags = static_cast<uint16_t>(u32());
        fm->match = match();
        fm->instructions = instructions();
        return fm;
    }

    ofmsg_packet_in *packet_in() {
        auto *pi = static_cast<ofmsg_packet_in *>(std::calloc(1, sizeof(ofmsg_packet_in)));
        pi->buffer_id = u32();
        pi->total_len = static_cast<uint16_t>(u32());
        pi->reason = below(256);
        pi->table_id = static_cast<uint8_t>(u32());
        pi->cookie = u64();
        pi->match = match();
        pi->data_len = below(4) ? below(1600) : 0;
        if (pi->data_len) {
            pi->data = static_cast<uint8_t *>(std::malloc(pi->data_len));
            fill(pi->data, pi->data_len);
        }
        return pi;
    }

    ofmsg_multipart_reply *flow_stats_reply(uint32_t max_entries) {
        auto *fs =
            static_cast<ofmsg_flow_stats_reply *>(std::calloc(1, sizeof(ofmsg_flow_stats_reply)));
        fs->num_flows = below(max_entries + 1);
        fs->flow_stats =
            static_cast<ofmsg_flow_stat **>(std::calloc(fs->num_flows + 1, sizeof(void *)));
        for (uint32_t i = 0; i < fs->num_flows; i++) {
            auto *s = static_cast<ofmsg_flow_stat *>(std::calloc(1, sizeof(ofmsg_flow_stat)));
            s->table_id = static_cast<uint8_t>(u32());
            s->duration_sec = u32();
            s->duration_nsec = u32();
            s->priority = static_cast<uint16_t>(u32());
            s->idle_timeout = static_cast<uint16_t>(u32());
            s->hard_timeout = static_cast<uint16_t>(u32());
            s->cookie = u64();
            s->packet_count = u64();
            s->byte_count = u64();
            s->match = match();
            s->instructions = instructions();
            fs->flow_stats[i] = s;
        }
        return reply(OFPMP_FLOW, fs);
    }

    ofmsg_multipart_reply *port_desc_reply() {
        auto *pd =
            static_cast<ofmsg_port_desc_reply *>(std::calloc(1, sizeof(ofmsg_port_desc_reply)));
        pd->num_ports = below(12);
        pd->ports = static_cast<ofstruct_port **>(std::calloc(pd->num_ports + 1, sizeof(void *)));
        for (uint32_t i = 0; i < pd->num_ports; i++) {
            auto *p = static_cast<ofstruct_port *>(std::calloc(1, sizeof(ofstruct_port)));
            p->port_no = u32();
            fill(p->hw_addr, 6);
            const uint32_t n = below(17);
            p->name = static_cast<char *>(std::calloc(n + 1, 1));
            for (uint32_t c = 0; c < n; c++)
                p->name[c] = static_cast<char>('!' + below(90));
            uint32_t *words[] = {&p->config,    &p->state, &p->curr,       &p->advertised,
                                 &p->supported, &p->peer,  &p->curr_speed, &p->max_speed};
            for (uint32_t *w : words)
                *w = u32();
            pd->ports[i] = p;
        }
        return reply(OFPMP_PORT_DESC, pd);
    }

    ofmsg_exp *exp() {
        auto *e = static_cast<ofmsg_exp *>(std::calloc(1, sizeof(ofmsg_exp)));
        switch (below(3)) {
            case 0: {
                e->exp_type = ZELTA_EXP_TUNNEL_V4_REQ;
                auto *r = static_cast<ofmsg_exp_tunnel_v4_request *>(
                    std::calloc(1, sizeof(ofmsg_exp_tunnel_v4_request)));
                r->opcode = below(256);
                if (coin()) r->tunnel = tunnel();
                e->data = r;
                break;
            }
            case 1: {
                e->exp_type = ZELTA_EXP_TUNNEL_V4_REPLY;
                auto *r = static_cast<ofmsg_exp_tunnel_v4_reply *>(
                    std::calloc(1, sizeof(ofmsg_exp_tunnel_v4_reply)));
                r->num_tunnels = below(20);
                if (r->num_tunnels)
                    r->tunnels = static_cast<ofmsg_exp_tunnel_v4 **>(
                        std::calloc(r->num_tunnels, sizeof(void *)));
                for (uint32_t i = 0; i < r->num_tunnels; i++)
                    r->tunnels[i] = tunnel();
                e->data = r;
                break;
            }
            default: {
                e->exp_type = ZELTA_EXP_OPENFLOW_MAC;
                auto *m = static_cast<ofmsg_exp_openflow_mac *>(
                    std::calloc(1, sizeof(ofmsg_exp_openflow_mac)));
                m->opcode = below(256);
                fill(m->station_mac, 6);
                fill(m->bss_mac, 6);
                e->data = m;
            }
        }
        return e;
    }

   private:
    static uint32_t header(uint32_t field, bool masked, uint32_t len) {
        return 0x80000000u | (field << 9) | (masked ? 0x100u : 0u) | len;
    }

    void add_tlv(ofmsg_flow_match *m, uint32_t idx, uint32_t field) {
        const bool masked = coin();
        switch (field) {
            case OXM_OF_IN_PORT:
            case OXM_OF_IPV4_SRC:
            case OXM_OF_IPV4_DST:
                if (masked)
                    ofmsg_match_tlv_create_32_value_mask(m, idx, header(field, true, 8), u32(),
                                                         u32());
                else
                    ofmsg_match_tlv_create_32_value(m, idx, header(field, false, 4), u32());
                break;
            case OXM_OF_METADATA:
                if (masked)
                    ofmsg_match_tlv_create_64_value_mask(m, idx, header(field, true, 16), u64(),
                                                         u64());
                else
                    ofmsg_match_tlv_create_64_value(m, idx, header(field, false, 8), u64());
                break;
            case OXM_OF_ETH_DST:
            case OXM_OF_ETH_SRC:
            case OXM_OF_IPV6_SRC:
            case OXM_OF_IPV6_DST: {
                const bool eth = field == OXM_OF_ETH_DST || field == OXM_OF_ETH_SRC;
                const uint32_t w = eth ? 6 : 16;
                uint8_t v[16], k[16];
                fill(v, w);
                fill(k, w);
                if (eth && masked)
                    ofmsg_match_tlv_create_eth_value_mask(m, idx, header(field, true, 12), v, k);
                else if (eth)
                    ofmsg_match_tlv_create_eth_value(m, idx, header(field, false, 6), v);
                else if (masked)
                    ofmsg_match_tlv_create_ipv6_value_mask(m, idx, header(field, true, 32), v, k);
                else
                    ofmsg_match_tlv_create_ipv6_value(m, idx, header(field, false, 16), v);
                break;
            }
            case OXM_OF_ETH_TYPE:
            case OXM_OF_TCP_SRC:
            case OXM_OF_TCP_DST:
            case OXM_OF_UDP_SRC:
            case OXM_OF_UDP_DST:
                // The masked builder of this kind stores the mask but encodes a plain value.
                if (masked)
                    ofmsg_match_tlv_create_16_value_mask(m, idx, header(field, false, 2),
                                                         static_cast<uint16_t>(u32()),
                                                         static_cast<uint16_t>(u32()));
                else
                    ofmsg_match_tlv_create_16_value(m, idx, header(field, false, 2),
                                                    static_cast<uint16_t>(u32()));
                break;
            default:
                if (masked)
                    ofmsg_match_tlv_create_8_value_mask(m, idx, header(field, false, 1),
                                                        static_cast<uint8_t>(u32()),
                                                        static_cast<uint8_t>(u32()));
                else
                    ofmsg_match_tlv_create_8_value(m, idx, header(field, false, 1),
                                                   static_cast<uint8_t>(u32()));
        }
    }

    ofmsg_exp_tunnel_v4 *tunnel() {
        auto *t = static_cast<ofmsg_exp_tunnel_v4 *>(std::calloc(1, sizeof(ofmsg_exp_tunnel_v4)));
        t->tun_index = u32();
        t->tun_dest_ip = u32();
        return t;
    }

    static ofmsg_multipart_reply *reply(uint32_t type, void *body) {
        auto *r =
            static_cast<ofmsg_multipart_reply *>(std::calloc(1, sizeof(ofmsg_multipart_reply)));
        r->type = type;
        r->body = body;
        return r;
    }

    std::mt19937 rng_;
};

}  // namespace fam
