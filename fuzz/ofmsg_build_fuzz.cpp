// libFuzzer target for records that a host builds: matches, actions, instructions, multipart
// bodies, experimenter messages and the simple bodies, assembled from the fuzzer's bytes
// through the public builders (with arguments of every kind, valid or not) and sometimes
// tampered with afterwards as a careless host would (a wrong length field, a TLV in another
// slot, a missing part), then encoded, printed and released. Oracle:
// - a builder either refuses (its outputs untouched: the match, the list) or does exactly
//   what it promises; a builder given consistent arguments does not refuse;
// - an encoder that refuses leaves *out_buf and *out_len untouched; a record built without
//   tampering, small enough for one message, is never refused;
// - an encoded message has a correct header, and when its type is one the receive path
//   decodes, it decodes and encodes back to the same bytes;
// - printing stays inside the print buffer, and releasing leaks nothing (LeakSanitizer).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "ofmsg_capture.hpp"
#include "ofmsg_equal.hpp"

namespace {

using ofmsg_capture::fail;

// The kinds of the match slots, as the builders are named.
enum Kind : uint8_t { K8, K16, K32, K64, Eth, Ipv6, None };
constexpr Kind kSlotKind[OFOXM_IDX_COUNT] = {K32, Eth, Eth, K16, None, K8, K32, K32, Ipv6, Ipv6,
                                             K16, K16, K16, K16, K8,   K8, K8,  K8,  K64};
constexpr uint32_t kWidth[] = {1, 2, 4, 8, 6, 16, 0};

// Value width of the fields a set-field action carries; 0 for the others.
uint32_t set_field_width(uint32_t field) {
    switch (field) {
        case OXM_OF_ETH_DST:
        case OXM_OF_ETH_SRC:
            return 6;
        case OXM_OF_VLAN_VID:
            return 2;
        case OXM_OF_VLAN_PCP:
        case OXM_OF_IP_DSCP:
        case OXM_OF_IP_ECN:
            return 1;
        default:
            return 0;
    }
}

// ---- Matches -------------------------------------------------------------------------------

struct Snapshot {
    uint16_t length;
    ofmsg_match_tlv *tlvs[OFOXM_IDX_COUNT];
    uint32_t headers[OFOXM_IDX_COUNT];
};

Snapshot snapshot(const ofmsg_flow_match *m) {
    Snapshot s{m->length, {}, {}};
    for (int i = 0; i < OFOXM_IDX_COUNT; i++) {
        s.tlvs[i] = m->tlvs[i];
        s.headers[i] = m->tlvs[i] ? m->tlvs[i]->header : 0;
    }
    return s;
}

// Slot i of two snapshots holds the same TLV with the same header.
bool same_slot(const Snapshot &a, const Snapshot &b, uint32_t i) {
    return a.tlvs[i] == b.tlvs[i] && a.headers[i] == b.headers[i];
}

uint32_t tlv_bytes(uint32_t header) {
    return 4 + OFOXM_LENGTH(header);
}

class Build {
   public:
    explicit Build(FuzzedDataProvider &in) : in_(in) {}

    bool tampered = false;       // a host error was made on purpose: refusal is allowed
    bool foreign_class = false;  // a TLV of a class the receive path refuses

    ofmsg_flow_match *match() {
        ofmsg_flow_match *m = ofmsg_match_create();
        if (!m) fail("match not created", 0, 0);
        for (int i = 0, n = in_.ConsumeIntegralInRange(0, 24); i < n; i++)
            add_tlv(m);
        if (in_.ConsumeIntegralInRange(0, 15) == 0) tamper_match(m);
        return m;
    }

    ofmsg_action *action() {
        uint8_t bytes[16];
        switch (in_.ConsumeIntegralInRange(0, 6)) {
            case 0:
                return ofmsg_action_create_output(in_.ConsumeIntegral<uint32_t>(),
                                                  in_.ConsumeIntegral<uint16_t>());
            case 1: {
                // Usually a set-field of a field the codec carries, sometimes anything.
                uint32_t header =
                    in_.ConsumeBool()
                        ? ofoxm_header_value(in_.PickValueInArray({OXM_OF_ETH_DST, OXM_OF_ETH_SRC,
                                                                   OXM_OF_VLAN_VID, OXM_OF_VLAN_PCP,
                                                                   OXM_OF_IP_DSCP, OXM_OF_IP_ECN}),
                                             0)
                        : in_.ConsumeIntegral<uint32_t>();
                const uint32_t size = in_.ConsumeIntegralInRange<uint32_t>(0, sizeof bytes);
                in_.ConsumeData(bytes, size);
                ofmsg_action *a = ofmsg_action_create_set_field(header, size, bytes);
                if (a && (a->len % 8 != 0 || a->len < 8 + OFOXM_LENGTH(header)))
                    fail("set-field length not a padded multiple of 8", 0, 0);
                // Only six fields can be set, each with its own width.
                tampered = tampered || set_field_width(OFOXM_FIELD(header)) == 0 ||
                           set_field_width(OFOXM_FIELD(header)) != OFOXM_LENGTH(header);
                return a;
            }
            case 2: {
                const uint16_t subtype = in_.ConsumeIntegralInRange<uint16_t>(0, 6);
                ofmsg_action *a =
                    ofmsg_action_exp_create_flag(subtype, in_.ConsumeIntegral<uint32_t>());
                if ((a != nullptr) != (subtype >= 1 && subtype <= 3))
                    fail("flag action of another subtype built", 0, 0);
                tampered = tampered || subtype == ZELTA_ACTION_EXP_REMOVE_FLAG;  // built only
                return a;
            }
            case 3:
                return ofmsg_action_exp_create_zelta_output(in_.ConsumeIntegral<uint32_t>(),
                                                            in_.ConsumeIntegral<uint32_t>());
            case 4:
                return ofmsg_action_exp_create_set_appid(in_.ConsumeIntegral<uint16_t>());
            case 5:
                tampered = true;  // the builders' own result is null: a host passing it on
                return nullptr;
            default: {
                ofmsg_action *a = ofmsg_action_create_output(1, 2);
                if (a) a->len = in_.ConsumeIntegral<uint16_t>();
                tampered = tampered || (a && a->len != 16);
                return a;
            }
        }
    }

    ofmsg_instruction_actions *actions() {
        ofmsg_instruction_actions *list = nullptr;
        for (int i = 0, n = in_.ConsumeIntegralInRange(0, 16); i < n; i++) {
            ofmsg_action *a = action();
            const uint32_t before_n = list ? list->num_actions : 0,
                           before_len = list ? list->len : 0;
            ofmsg_instruction_actions *grown = ofmsg_instruction_action_add(list, a);
            if (!a) {
                if (grown) fail("null action added", 0, 0);
                continue;
            }
            if (!grown || (list && grown != list)) fail("action list not grown in place", 0, 0);
            if (grown->num_actions != before_n + 1 || grown->len != before_len + a->len ||
                grown->actions[before_n] != a)
                fail("action list miscounted", 0, 0);
            list = grown;
        }
        return list;
    }

    ofmsg_flow_instructions *instructions() {
        if (in_.ConsumeBool()) return nullptr;
        ofmsg_flow_instructions *list = nullptr;
        for (int i = 0, n = in_.ConsumeIntegralInRange(0, 4); i < n; i++) {
            ofmsg_instruction *inst = ofmsg_instruction_action_create(actions());
            if (!inst) fail("instruction not created", 0, 0);
            if (in_.ConsumeIntegralInRange(0, 31) == 0) {
                inst->len = in_.ConsumeIntegral<uint16_t>();
                tampered = true;
            }
            const uint32_t before_n = list ? list->num_inst : 0;
            ofmsg_flow_instructions *grown = ofmsg_instructions_add(list, inst);
            if (!grown || (list && grown != list) || grown->num_inst != before_n + 1)
                fail("instruction list not grown", 0, 0);
            list = grown;
        }
        if (list && in_.ConsumeIntegralInRange(0, 31) == 0) {
            list->len = in_.ConsumeIntegral<uint32_t>();
            tampered = true;
        }
        return list;
    }

    ofstruct_port *port() {
        auto *p = make<ofstruct_port>();
        p->port_no = in_.ConsumeIntegral<uint32_t>();
        in_.ConsumeData(p->hw_addr, 6);
        if (in_.ConsumeBool()) p->name = strdup(in_.ConsumeRandomLengthString(24).c_str());
        for (uint32_t *w : {&p->config, &p->state, &p->curr, &p->advertised, &p->supported,
                            &p->peer, &p->curr_speed, &p->max_speed})
            *w = in_.ConsumeIntegral<uint32_t>();
        return p;
    }

    ofmsg_exp_tunnel_v4 *tunnel() {
        auto *t = make<ofmsg_exp_tunnel_v4>();
        t->tun_index = in_.ConsumeIntegral<uint32_t>();
        t->tun_dest_ip = in_.ConsumeIntegral<uint32_t>();
        return t;
    }

    ofmsg_exp *exp() {
        auto *e = make<ofmsg_exp>();
        e->exp_type = in_.ConsumeIntegralInRange<uint32_t>(0, 6);
        switch (e->exp_type) {
            case ZELTA_EXP_TUNNEL_V4_REQ: {
                auto *r = make<ofmsg_exp_tunnel_v4_request>();
                r->opcode = in_.ConsumeIntegral<uint8_t>();
                r->tunnel = in_.ConsumeBool() ? tunnel() : nullptr;
                e->data = r;
                break;
            }
            case ZELTA_EXP_TUNNEL_V4_REPLY: {
                auto *r = make<ofmsg_exp_tunnel_v4_reply>();
                r->num_tunnels = in_.ConsumeIntegralInRange<uint32_t>(0, 1024);
                if (r->num_tunnels)
                    r->tunnels = static_cast<ofmsg_exp_tunnel_v4 **>(
                        std::calloc(r->num_tunnels, sizeof(void *)));
                for (uint32_t i = 0; i < r->num_tunnels; i++)
                    r->tunnels[i] = in_.ConsumeIntegralInRange(0, 63) ? tunnel() : nullptr;
                for (uint32_t i = 0; i < r->num_tunnels; i++)
                    tampered = tampered || !r->tunnels[i];
                e->data = r;
                break;
            }
            case ZELTA_EXP_OPENFLOW_MAC: {
                auto *m = make<ofmsg_exp_openflow_mac>();
                m->opcode = in_.ConsumeIntegral<uint8_t>();
                in_.ConsumeData(m->station_mac, 6);
                in_.ConsumeData(m->bss_mac, 6);
                e->data = m;
                break;
            }
            default:
                tampered = true;  // no body of its own: the encoder refuses
                break;
        }
        return e;
    }

    ofmsg_multipart_reply *multipart_reply() {
        auto *r = make<ofmsg_multipart_reply>();
        r->flags = in_.ConsumeIntegral<uint16_t>();
        switch (in_.ConsumeIntegralInRange(0, 4)) {
            case 0: {
                r->type = OFPMP_DESC;
                auto *d = make<ofmsg_switch_desc_reply>();
                // Each string terminated within its width, as the host must.
                for (auto field : {d->mfr_desc, d->hw_desc, d->sw_desc, d->dp_desc})
                    copy_string(field, 256);
                copy_string(d->serial_num, 32);
                r->body = d;
                break;
            }
            case 1: {
                r->type = OFPMP_FLOW;
                auto *f = make<ofmsg_flow_stats_reply>();
                f->num_flows = in_.ConsumeIntegralInRange<uint32_t>(0, 8);
                f->flow_stats =
                    static_cast<ofmsg_flow_stat **>(std::calloc(f->num_flows + 1, sizeof(void *)));
                for (uint32_t i = 0; i < f->num_flows; i++) {
                    auto *s = f->flow_stats[i] = make<ofmsg_flow_stat>();
                    s->table_id = in_.ConsumeIntegral<uint8_t>();
                    s->duration_sec = in_.ConsumeIntegral<uint32_t>();
                    s->priority = in_.ConsumeIntegral<uint16_t>();
                    s->cookie = in_.ConsumeIntegral<uint64_t>();
                    s->packet_count = in_.ConsumeIntegral<uint64_t>();
                    s->match = match();
                    s->instructions = instructions();
                }
                r->body = f;
                break;
            }
            case 2: {
                r->type = OFPMP_PORT_STATS;
                auto *p = make<ofmsg_port_stats_reply>();
                p->num_ports = in_.ConsumeIntegralInRange<uint32_t>(0, 128);
                p->port_stats = static_cast<ofmsg_port_stats *>(
                    std::calloc(p->num_ports + 1, sizeof(ofmsg_port_stats)));
                for (uint32_t i = 0; i < p->num_ports; i++)
                    p->port_stats[i] = {in_.ConsumeIntegral<uint32_t>(),
                                        in_.ConsumeIntegral<uint64_t>(),
                                        in_.ConsumeIntegral<uint64_t>()};
                r->body = p;
                break;
            }
            case 3: {
                r->type = OFPMP_PORT_DESC;
                auto *p = make<ofmsg_port_desc_reply>();
                p->num_ports = in_.ConsumeIntegralInRange<uint32_t>(0, 64);
                p->ports =
                    static_cast<ofstruct_port **>(std::calloc(p->num_ports + 1, sizeof(void *)));
                for (uint32_t i = 0; i < p->num_ports; i++)
                    p->ports[i] = port();
                r->body = p;
                break;
            }
            default:
                r->type = in_.ConsumeIntegral<uint16_t>();  // no body this side can send
                tampered = true;
                if (r->type == OFPMP_DESC || r->type == OFPMP_FLOW || r->type == OFPMP_PORT_STATS ||
                    r->type == OFPMP_PORT_DESC)
                    r->type = OFPMP_AGGREGATE;
                break;
        }
        return r;
    }

    ofmsg_multipart_request *multipart_request() {
        static uint32_t port_no;  // a port-statistics body points into a message: not owned
        auto *r = make<ofmsg_multipart_request>();
        r->flags = in_.ConsumeIntegral<uint16_t>();
        r->type = in_.PickValueInArray<uint32_t>(
            {OFPMP_PORT_DESC, OFPMP_DESC, OFPMP_FLOW, OFPMP_PORT_STATS, OFPMP_TABLE});
        if (r->type == OFPMP_FLOW) {
            auto *f = make<ofmsg_flow_stats_request>();
            f->table_id = in_.ConsumeIntegral<uint8_t>();
            f->cookie = in_.ConsumeIntegral<uint64_t>();
            f->match = match();
            r->body = f;
        } else if (r->type == OFPMP_PORT_STATS) {
            r->body = &port_no;
        }
        tampered = tampered || r->type != OFPMP_PORT_DESC;  // only those are ever sent
        return r;
    }

    // A body of the type, or null for the header-only types.
    void *body(uint8_t type) {
        switch (type) {
            case OFPT_ERROR: {
                auto *e = make<ofmsg_error>();
                e->type = in_.ConsumeIntegral<uint16_t>();
                e->code = in_.ConsumeIntegral<uint16_t>();
                // Sometimes longer than one message can carry, sometimes without its bytes.
                e->data_len = in_.ConsumeBool() ? in_.ConsumeIntegralInRange(0, 64)
                                                : in_.ConsumeIntegralInRange(0, 70000);
                if (e->data_len && in_.ConsumeIntegralInRange(0, 15) != 0)
                    e->data = static_cast<uint8_t *>(std::calloc(e->data_len, 1));
                tampered = tampered || (e->data_len && !e->data) || e->data_len > 0xffff - 12;
                return e;
            }
            case OFPT_ECHO_REPLY: {
                auto *e = make<ofmsg_echo>();
                e->payload64 = in_.ConsumeIntegral<uint64_t>();
                e->payload32a = in_.ConsumeIntegral<uint32_t>();
                e->payload32b = in_.ConsumeIntegral<uint32_t>();
                return e;
            }
            case OFPT_EXPERIMENTER:
                return exp();
            case OFPT_FEATURES_REPLY: {
                auto *f = make<ofmsg_switch_features>();
                *f = {in_.ConsumeIntegral<uint64_t>(), in_.ConsumeIntegral<uint32_t>(),
                      in_.ConsumeIntegral<uint8_t>(),  in_.ConsumeIntegral<uint8_t>(),
                      in_.ConsumeIntegral<uint32_t>(), in_.ConsumeIntegral<uint32_t>()};
                return f;
            }
            case OFPT_PACKET_IN: {
                auto *p = make<ofmsg_packet_in>();
                p->buffer_id = in_.ConsumeIntegral<uint32_t>();
                p->total_len = in_.ConsumeIntegral<uint16_t>();
                p->reason = in_.ConsumeIntegral<uint8_t>();
                p->table_id = in_.ConsumeIntegral<uint8_t>();
                p->cookie = in_.ConsumeIntegral<uint64_t>();
                p->match = match();
                std::vector<uint8_t> data =
                    in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(0, 4096));
                p->data_len = static_cast<uint32_t>(data.size());
                if (p->data_len) {
                    p->data = static_cast<uint8_t *>(std::malloc(p->data_len));
                    std::memcpy(p->data, data.data(), p->data_len);
                }
                return p;
            }
            case OFPT_FLOW_REMOVED: {
                auto *r = make<ofmsg_flow_removed>();
                r->cookie = in_.ConsumeIntegral<uint64_t>();
                r->priority = in_.ConsumeIntegral<uint16_t>();
                r->reason = in_.ConsumeIntegral<uint8_t>();
                r->packet_count = in_.ConsumeIntegral<uint64_t>();
                r->match = match();
                return r;
            }
            case OFPT_PORT_STATUS: {
                auto *ps = make<ofmsg_port_status>();
                ps->reason = in_.ConsumeIntegral<uint8_t>();
                ps->desc = in_.ConsumeIntegralInRange(0, 31) ? port() : nullptr;
                tampered = tampered || !ps->desc;
                return ps;
            }
            case OFPT_FLOW_MOD: {
                auto *fm = make<ofmsg_flow_mod>();
                fm->cookie = in_.ConsumeIntegral<uint64_t>();
                fm->table_id = in_.ConsumeIntegral<uint8_t>();
                fm->command = in_.ConsumeIntegral<uint8_t>();
                fm->priority = in_.ConsumeIntegral<uint16_t>();
                fm->buffer_id = in_.ConsumeIntegral<uint32_t>();
                fm->out_port = in_.ConsumeIntegral<uint32_t>();
                fm->flags = in_.ConsumeIntegral<uint16_t>();
                fm->match = in_.ConsumeIntegralInRange(0, 31) ? match() : nullptr;
                tampered = tampered || !fm->match;
                fm->instructions = instructions();
                return fm;
            }
            case OFPT_MULTIPART_REQUEST:
                return multipart_request();
            case OFPT_MULTIPART_REPLY:
                return multipart_reply();
            default:
                return nullptr;
        }
    }

   private:
    template <class T>
    static T *make() {
        return static_cast<T *>(std::calloc(1, sizeof(T)));
    }

    void copy_string(char *dst, size_t width) {
        const std::string s = in_.ConsumeRandomLengthString(width - 1);
        std::memcpy(dst, s.data(), strnlen(s.data(), s.size()));
    }

    // One TLV builder call; checks that it refused (match untouched) or stored exactly one
    // TLV of the slot's field, with the length kept in step.
    void add_tlv(ofmsg_flow_match *m) {
        const Kind kind = static_cast<Kind>(in_.ConsumeIntegralInRange(0, 5));
        const bool masked = in_.ConsumeBool();
        uint32_t idx = in_.ConsumeIntegralInRange<uint32_t>(0, OFOXM_IDX_COUNT - 1);
        const bool odd_idx = in_.ConsumeIntegralInRange(0, 15) == 0;
        if (odd_idx) idx = in_.ConsumeIntegral<uint32_t>();
        const uint32_t field = of_match_oxm_from_idx_to_oxm(idx);
        // Usually the slot's own header (plain or masked), sometimes any word.
        uint32_t header = (OFPXMC_OPENFLOW_BASIC << 16) | (field << 9) |
                          (in_.ConsumeIntegral<uint8_t>() & 0x1ffu);
        if (in_.ConsumeIntegralInRange(0, 7) == 0)
            header = (OFPXMC_OPENFLOW_BASIC << 16) | in_.ConsumeIntegral<uint16_t>();
        if (in_.ConsumeIntegralInRange(0, 31) == 0) {
            // Another OXM class: the builders carry it, the receive path refuses it.
            header = (header & 0xffffu) | (uint32_t{in_.ConsumeIntegral<uint16_t>()} << 16);
            foreign_class = foreign_class || (header >> 16) != OFPXMC_OPENFLOW_BASIC;
        }
        uint8_t v[16], k[16];
        in_.ConsumeData(v, sizeof v);
        in_.ConsumeData(k, sizeof k);
        uint64_t v64, k64;
        std::memcpy(&v64, v, 8);
        std::memcpy(&k64, k, 8);

        const Snapshot before = snapshot(m);
        switch (kind) {
            case K8:
                masked ? ofmsg_match_tlv_create_8_value_mask(m, idx, header, v[0], k[0])
                       : ofmsg_match_tlv_create_8_value(m, idx, header, v[0]);
                break;
            case K16:
                masked ? ofmsg_match_tlv_create_16_value_mask(m, idx, header, uint16_t(v64),
                                                              uint16_t(k64))
                       : ofmsg_match_tlv_create_16_value(m, idx, header, uint16_t(v64));
                break;
            case K32:
                masked ? ofmsg_match_tlv_create_32_value_mask(m, idx, header, uint32_t(v64),
                                                              uint32_t(k64))
                       : ofmsg_match_tlv_create_32_value(m, idx, header, uint32_t(v64));
                break;
            case K64:
                masked ? ofmsg_match_tlv_create_64_value_mask(m, idx, header, v64, k64)
                       : ofmsg_match_tlv_create_64_value(m, idx, header, v64);
                break;
            case Eth:
                masked ? ofmsg_match_tlv_create_eth_value_mask(m, idx, header, v, k)
                       : ofmsg_match_tlv_create_eth_value(m, idx, header, v);
                break;
            default:
                masked ? ofmsg_match_tlv_create_ipv6_value_mask(m, idx, header, v, k)
                       : ofmsg_match_tlv_create_ipv6_value(m, idx, header, v);
                break;
        }
        const Snapshot after = snapshot(m);
        const bool consistent = idx < OFOXM_IDX_COUNT && kSlotKind[idx] == kind &&
                                OFOXM_FIELD(header) == field && field != OFOXM_NO_FIELD;
        for (uint32_t i = 0; i < OFOXM_IDX_COUNT; i++)
            if (i != idx && !same_slot(before, after, i))
                fail("TLV builder touched another slot", 0, 0);
        if (after.length == before.length &&
            (idx >= OFOXM_IDX_COUNT || same_slot(before, after, idx))) {
            if (consistent) fail("consistent TLV refused", 0, 0);
            return;
        }
        if (!consistent) fail("inconsistent TLV stored", 0, 0);
        const ofmsg_match_tlv *tlv = m->tlvs[idx];
        const uint32_t width = kWidth[kind];
        const bool maskable = kind == K32 || kind == K64 || kind == Eth || kind == Ipv6;
        const bool wire_mask = masked && maskable;
        if (!tlv || OFOXM_FIELD(tlv->header) != field ||
            (OFOXM_HASMASK(tlv->header) != 0) != wire_mask ||
            OFOXM_LENGTH(tlv->header) != (wire_mask ? 2 * width : width) ||
            std::memcmp(tlv->value, v, width) != 0)
            fail("stored TLV differs from its arguments", 0, 0);
        const uint32_t old = before.tlvs[idx] ? tlv_bytes(before.headers[idx]) : 0;
        if (after.length != before.length - old + tlv_bytes(tlv->header))
            fail("match length not kept in step", 0, 0);
    }

    // A careless host: a TLV moved to another slot, or the match type changed.
    void tamper_match(ofmsg_flow_match *m) {
        tampered = true;
        const uint32_t a = in_.ConsumeIntegralInRange<uint32_t>(0, OFOXM_IDX_COUNT - 1);
        const uint32_t b = in_.ConsumeIntegralInRange<uint32_t>(0, OFOXM_IDX_COUNT - 1);
        if (in_.ConsumeBool())
            std::swap(m->tlvs[a], m->tlvs[b]);
        else
            m->type = in_.ConsumeIntegral<uint16_t>();
    }

    FuzzedDataProvider &in_;
};

// ---- Encoding and the receive path -----------------------------------------------------------

// Types and bodies the receive path decodes, so that an encoded message must decode back.
bool decodable(uint8_t type, const void *body) {
    switch (type) {
        case OFPT_ECHO_REPLY:
        case OFPT_FLOW_REMOVED:
            return false;
        case OFPT_MULTIPART_REPLY: {
            const uint32_t t = static_cast<const ofmsg_multipart_reply *>(body)->type;
            return t == OFPMP_FLOW || t == OFPMP_PORT_DESC;
        }
        default:
            return true;
    }
}

uint32_t be16(const uint8_t *p) {
    return (uint32_t{p[0]} << 8) | p[1];
}

uint32_t be32(const uint8_t *p) {
    return (be16(p) << 16) | be16(p + 2);
}

void check_print(const uint8_t *hdr, const void *body, uint8_t type) {
    const char *text = ofmsg_print(hdr, body);
    if (strnlen(text, OFMSG_PRINT_BUF_SIZE) >= OFMSG_PRINT_BUF_SIZE) fail("print overran", type, 0);
}

void encode_and_check(uint8_t type, const void *body, const Build &build) {
    const bool tampered = build.tampered;
    static uint8_t sentinel;
    const uint32_t xid = 0x5eed0000u | type;
    uint8_t *buf = &sentinel;
    uint32_t len = 0xdeadbeef;
    const int rc = ofmsg_tx_encode(type, body, xid, &buf, &len);
    if (rc != 0) {
        if (buf != &sentinel || len != 0xdeadbeef) fail("refusal touched the outputs", type, rc);
        if (!tampered) fail("record built without fault refused", type, rc);
        // The printers still see the record, as a host logging its own record would.
        const uint8_t hdr[8] = {OFP_VERSION, type, 0, 8, 0, 0, 0, 1};
        check_print(hdr, body, type);
        return;
    }
    if (len < 8 || len > 0xffff || buf[0] != OFP_VERSION || buf[1] != type ||
        be16(buf + 2) != len || be32(buf + 4) != xid)
        fail("encoded header wrong", type, 0);
    check_print(buf, body, type);
    if (decodable(type, body) && !build.foreign_class) {
        const int32_t st = ofmsg_capture::decode(buf, len);
        const ofmsg_capture::Delivery got = ofmsg_capture::g_delivery;
        if (st != 0 || !got.called) fail("encoded message does not decode", type, st);
        uint8_t *again = nullptr;
        uint32_t again_len = 0;
        if (ofmsg_tx_encode(type, got.body, xid, &again, &again_len) != 0)
            fail("decoded message not encoded again", type, 0);
        if (again_len != len || std::memcmp(again, buf, len) != 0)
            fail("decode and encode changed the message", type, 0);
        std::free(again);
        ofmsg_equal::release_body(type, got.body);
    }
    std::free(buf);
}

void release(uint8_t type, void *body) {
    if (type == OFPT_FLOW_REMOVED) {  // the match stays the holder's
        ofmsg_flow_match_free(static_cast<ofmsg_flow_removed *>(body)->match);
    } else if (type == OFPT_MULTIPART_REQUEST) {
        auto *r = static_cast<ofmsg_multipart_request *>(body);
        if (r->type == OFPMP_PORT_STATS) r->body = nullptr;  // not the record's
    }
    ofmsg_equal::release_body(type, body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ofmsg_capture::register_all();
    FuzzedDataProvider in(data, size);
    const uint8_t type = in.PickValueInArray<uint8_t>(
        {OFPT_HELLO, OFPT_ERROR, OFPT_ECHO_REPLY, OFPT_EXPERIMENTER, OFPT_FEATURES_REQUEST,
         OFPT_FEATURES_REPLY, OFPT_PACKET_IN, OFPT_FLOW_REMOVED, OFPT_PORT_STATUS, OFPT_FLOW_MOD,
         OFPT_MULTIPART_REQUEST, OFPT_MULTIPART_REPLY});
    Build build(in);
    void *body = build.body(type);
    encode_and_check(type, body, build);
    release(type, body);
    return 0;
}
