// Independent dissectors read what the family encoders write: tshark finds nothing malformed
// and the same fields and values as the records hold, and Open vSwitch decodes every flow and
// multipart message without a decode error.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "family_gen.hpp"
#include "family_util.hpp"
#include "ofpcap.h"

using fam::Bytes;
using fam::Gen;

namespace {

bool have(const char *tool) {
    const std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
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

std::string temp_path(const char *suffix) {
    return "/tmp/ofagent_h3_oracle_" + std::to_string(getpid()) + suffix;
}

// What tshark should report for one message, field by field (lists joined with ",").
struct Fields {
    std::vector<std::string> oxm_field, oxm_hm, eth, ipv4, ipv6, ports, action_type, names;
    std::string type, xid, mp_type, exp_type;

    std::string row() const {
        auto join = [](const std::vector<std::string> &v) {
            std::string s;
            for (size_t i = 0; i < v.size(); i++)
                s += (i ? "," : "") + v[i];
            return s;
        };
        return type + "|" + xid + "|" + join(oxm_field) + "|" + join(oxm_hm) + "|" + join(eth) +
               "|" + join(ipv4) + "|" + join(ipv6) + "|" + join(ports) + "|" + join(action_type) +
               "|" + mp_type + "|" + join(names) + "|" + exp_type;
    }
};

const char kFieldArgs[] =
    " -e openflow_v4.type -e openflow_v4.xid -e openflow_v4.oxm.field -e openflow_v4.oxm.hm"
    " -e openflow_v4.oxm.value_etheraddr -e openflow_v4.oxm.value_ipv4addr"
    " -e openflow_v4.oxm.value_ipv6addr -e openflow_v4.oxm.value_uint16"
    " -e openflow_v4.action.type -e openflow_v4.multipart_reply.type"
    " -e openflow_v4.port.name -e openflow_v4.experimenter.exp_type";

std::string mac(const uint8_t *b) {
    char s[18];
    std::snprintf(s, sizeof s, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    return s;
}

std::string ip4(uint32_t host_order) {
    char s[INET_ADDRSTRLEN];
    const uint32_t net = htonl(host_order);
    inet_ntop(AF_INET, &net, s, sizeof s);
    return s;
}

std::string ip6(const uint8_t *b) {
    char s[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, b, s, sizeof s);
    return s;
}

void add_tlv(Fields &f, const ofmsg_match_tlv *t) {
    const uint32_t field = OFOXM_FIELD(t->header);
    f.oxm_field.push_back(std::to_string(field));
    f.oxm_hm.push_back(OFOXM_HASMASK(t->header) ? "1" : "0");
    const uint8_t *v = t->value;
    switch (field) {
        case OXM_OF_ETH_DST:
        case OXM_OF_ETH_SRC:
            f.eth.push_back(mac(v));
            break;
        case OXM_OF_IPV4_SRC:
        case OXM_OF_IPV4_DST: {
            uint32_t x;
            std::memcpy(&x, v, 4);
            f.ipv4.push_back(ip4(x));
            break;
        }
        case OXM_OF_IPV6_SRC:
        case OXM_OF_IPV6_DST:
            f.ipv6.push_back(ip6(v));
            break;
        case OXM_OF_TCP_SRC:
        case OXM_OF_TCP_DST:
        case OXM_OF_UDP_SRC:
        case OXM_OF_UDP_DST: {
            uint16_t x;
            std::memcpy(&x, v, 2);
            f.ports.push_back(std::to_string(x));
            break;
        }
        default:
            break;
    }
}

void add_match(Fields &f, const ofmsg_flow_match *m) {
    for (const ofmsg_match_tlv *t : m->tlvs)
        if (t) add_tlv(f, t);
}

void add_insts(Fields &f, const ofmsg_flow_instructions *list) {
    for (uint32_t i = 0; list && i < list->num_inst; i++) {
        const ofmsg_instruction_actions *acts = list->instructions[i]->body;
        for (uint32_t j = 0; acts && j < acts->num_actions; j++) {
            const ofmsg_action *a = acts->actions[j];
            f.action_type.push_back(std::to_string(a->type));
            if (a->type == OFPAT_SET_FIELD)
                add_tlv(f, static_cast<const ofmsg_action_set_field *>(a->body)->tlv);
        }
    }
}

Fields expected(uint8_t type, const void *body, uint32_t xid) {
    Fields f;
    f.type = std::to_string(type);
    f.xid = std::to_string(xid);
    switch (type) {
        case OFPT_FLOW_MOD:
            add_match(f, static_cast<const ofmsg_flow_mod *>(body)->match);
            add_insts(f, static_cast<const ofmsg_flow_mod *>(body)->instructions);
            break;
        case OFPT_PACKET_IN:
            add_match(f, static_cast<const ofmsg_packet_in *>(body)->match);
            break;
        case OFPT_FLOW_REMOVED:
            add_match(f, static_cast<const ofmsg_flow_removed *>(body)->match);
            break;
        case OFPT_EXPERIMENTER:
            f.exp_type = std::to_string(static_cast<const ofmsg_exp *>(body)->exp_type);
            break;
        case OFPT_MULTIPART_REPLY: {
            auto *r = static_cast<const ofmsg_multipart_reply *>(body);
            f.mp_type = std::to_string(r->type);
            if (r->type == OFPMP_FLOW) {
                auto *fs = static_cast<const ofmsg_flow_stats_reply *>(r->body);
                for (uint32_t i = 0; i < fs->num_flows; i++) {
                    add_match(f, fs->flow_stats[i]->match);
                    add_insts(f, fs->flow_stats[i]->instructions);
                }
            } else if (r->type == OFPMP_PORT_DESC) {
                auto *pd = static_cast<const ofmsg_port_desc_reply *>(r->body);
                for (uint32_t i = 0; i < pd->num_ports; i++)
                    f.names.push_back(pd->ports[i]->name);
            }
            break;
        }
        default:
            break;
    }
    return f;
}

// Packet bytes that dissect as an Ethernet frame of a local experimental type, so that the
// payload dissector has nothing to call malformed.
void plain_ethernet(ofmsg_packet_in *pi) {
    if (pi->data_len < 14) {
        std::free(pi->data);
        pi->data = nullptr;
        pi->data_len = 0;
        return;
    }
    pi->data[12] = 0x88;
    pi->data[13] = 0xb5;
}

// Records that are valid in Open vSwitch's eyes as well: values inside their masks, the
// prerequisites of every field present, ports and codes within range, no vendor actions.
class ValidGen {
   public:
    explicit ValidGen(uint32_t seed) : g_(seed) {}

    ofmsg_flow_match *match() {
        ofmsg_flow_match *m = ofmsg_match_create();
        if (g_.coin()) u32(m, 0, OXM_OF_IN_PORT, 1 + g_.below(65000));
        if (g_.coin()) eth(m, 1, OXM_OF_ETH_DST);
        if (g_.coin()) eth(m, 2, OXM_OF_ETH_SRC);
        if (g_.coin()) meta(m);
        eth_type_ = 0;
        switch (g_.below(4)) {
            case 0:
                return m;
            case 1:
                eth_type_ = 0x0806;
                u16(m, 3, OXM_OF_ETH_TYPE, eth_type_);
                return m;
            case 2:
                eth_type_ = 0x0800;
                u16(m, 3, OXM_OF_ETH_TYPE, eth_type_);
                if (g_.coin()) masked32(m, 6, OXM_OF_IPV4_SRC);
                if (g_.coin()) masked32(m, 7, OXM_OF_IPV4_DST);
                transport(m, 1, 14, 15, OXM_OF_ICMPV4_TYPE, OXM_OF_ICMPV4_CODE);
                return m;
            default:
                eth_type_ = 0x86dd;
                u16(m, 3, OXM_OF_ETH_TYPE, eth_type_);
                if (g_.coin()) v6(m, 8, OXM_OF_IPV6_SRC);
                if (g_.coin()) v6(m, 9, OXM_OF_IPV6_DST);
                transport(m, 58, 16, 17, OXM_OF_ICMPV6_TYPE, OXM_OF_ICMPV6_CODE);
                return m;
        }
    }

    // Call right after match(): set-fields of IP fields need an IP match.
    ofmsg_flow_instructions *instructions() {
        if (g_.below(4) == 0) return nullptr;
        ofmsg_instruction_actions *acts = nullptr;
        for (uint32_t i = 0, n = 1 + g_.below(5); i < n; i++)
            acts = ofmsg_instruction_action_add(acts, action());
        return ofmsg_instructions_add(nullptr, ofmsg_instruction_action_create(acts));
    }

    ofmsg_flow_mod *flow_mod() {
        auto *fm = static_cast<ofmsg_flow_mod *>(std::calloc(1, sizeof(ofmsg_flow_mod)));
        fm->cookie = g_.u64() >> 1;
        fm->table_id = static_cast<uint8_t>(g_.below(254));
        fm->command = g_.below(5);
        fm->idle_timeout = static_cast<uint16_t>(g_.u32());
        fm->hard_timeout = static_cast<uint16_t>(g_.u32());
        fm->priority = static_cast<uint16_t>(g_.u32());
        fm->buffer_id = 0xffffffff;
        fm->out_port = 0xffffffff;
        fm->out_group = 0xffffffff;
        fm->flags = static_cast<uint16_t>(g_.below(8));
        fm->match = match();
        fm->instructions = instructions();
        return fm;
    }

    ofmsg_packet_in *packet_in() {
        auto *pi = static_cast<ofmsg_packet_in *>(std::calloc(1, sizeof(ofmsg_packet_in)));
        pi->buffer_id = 0xffffffff;
        pi->total_len = static_cast<uint16_t>(g_.below(1500));
        pi->reason = g_.below(3);
        pi->table_id = static_cast<uint8_t>(g_.below(254));
        pi->cookie = g_.u64() >> 1;
        pi->match = match();
        pi->data_len = 14 + g_.below(200);
        pi->data = static_cast<uint8_t *>(std::malloc(pi->data_len));
        g_.fill(pi->data, pi->data_len);
        plain_ethernet(pi);
        return pi;
    }

    ofmsg_multipart_reply *flow_stats_reply() {
        auto *fs =
            static_cast<ofmsg_flow_stats_reply *>(std::calloc(1, sizeof(ofmsg_flow_stats_reply)));
        fs->num_flows = g_.below(5);
        fs->flow_stats =
            static_cast<ofmsg_flow_stat **>(std::calloc(fs->num_flows + 1, sizeof(void *)));
        for (uint32_t i = 0; i < fs->num_flows; i++) {
            auto *s = static_cast<ofmsg_flow_stat *>(std::calloc(1, sizeof(ofmsg_flow_stat)));
            s->table_id = static_cast<uint8_t>(g_.below(254));
            s->duration_sec = g_.below(100000);
            s->duration_nsec = g_.below(1000000000);
            s->priority = static_cast<uint16_t>(g_.u32());
            s->cookie = g_.u64() >> 1;
            s->packet_count = g_.below(1000000);
            s->byte_count = g_.below(100000000);
            s->match = match();
            s->instructions = instructions();
            fs->flow_stats[i] = s;
        }
        auto *r =
            static_cast<ofmsg_multipart_reply *>(std::calloc(1, sizeof(ofmsg_multipart_reply)));
        r->type = OFPMP_FLOW;
        r->body = fs;
        return r;
    }

    ofmsg_multipart_reply *port_desc_reply() {
        auto *pd =
            static_cast<ofmsg_port_desc_reply *>(std::calloc(1, sizeof(ofmsg_port_desc_reply)));
        pd->num_ports = 1 + g_.below(6);
        pd->ports = static_cast<ofstruct_port **>(std::calloc(pd->num_ports, sizeof(void *)));
        for (uint32_t i = 0; i < pd->num_ports; i++) {
            auto *p = static_cast<ofstruct_port *>(std::calloc(1, sizeof(ofstruct_port)));
            p->port_no = i + 1;
            g_.fill(p->hw_addr, 6);
            p->name = static_cast<char *>(std::calloc(16, 1));
            std::snprintf(p->name, 16, "eth%u", i);
            p->curr_speed = p->max_speed = 1000000;
            pd->ports[i] = p;
        }
        auto *r =
            static_cast<ofmsg_multipart_reply *>(std::calloc(1, sizeof(ofmsg_multipart_reply)));
        r->type = OFPMP_PORT_DESC;
        r->body = pd;
        return r;
    }

    ofmsg_flow_match *removed_match() { return match(); }
    Gen &gen() { return g_; }

   private:
    static uint32_t header(uint32_t field, bool masked, uint32_t len) {
        return 0x80000000u | (field << 9) | (masked ? 0x100u : 0u) | len;
    }
    void u32(ofmsg_flow_match *m, uint32_t idx, uint32_t field, uint32_t v) {
        ofmsg_match_tlv_create_32_value(m, idx, header(field, false, 4), v);
    }
    void u16(ofmsg_flow_match *m, uint32_t idx, uint32_t field, uint16_t v) {
        ofmsg_match_tlv_create_16_value(m, idx, header(field, false, 2), v);
    }
    void u8(ofmsg_flow_match *m, uint32_t idx, uint32_t field, uint8_t v) {
        ofmsg_match_tlv_create_8_value(m, idx, header(field, false, 1), v);
    }
    void masked32(ofmsg_flow_match *m, uint32_t idx, uint32_t field) {
        const uint32_t mask = g_.coin() ? 0xffffffffu : ~0u << g_.below(32);
        const uint32_t v = g_.u32() & mask;
        if (mask == 0xffffffffu)
            u32(m, idx, field, v);
        else
            ofmsg_match_tlv_create_32_value_mask(m, idx, header(field, true, 8), v, mask);
    }
    void meta(ofmsg_flow_match *m) {
        const uint64_t mask = g_.u64(), v = g_.u64() & mask;
        ofmsg_match_tlv_create_64_value_mask(m, 18, header(OXM_OF_METADATA, true, 16), v, mask);
    }
    void eth(ofmsg_flow_match *m, uint32_t idx, uint32_t field) {
        uint8_t v[6], k[6];
        g_.fill(v, 6);
        g_.fill(k, 6);
        for (int i = 0; i < 6; i++)
            v[i] &= k[i];
        ofmsg_match_tlv_create_eth_value_mask(m, idx, header(field, true, 12), v, k);
    }
    void v6(ofmsg_flow_match *m, uint32_t idx, uint32_t field) {
        uint8_t v[16], k[16] = {0};
        g_.fill(v, 16);
        const uint32_t prefix = g_.below(129);
        for (uint32_t b = 0; b < prefix; b++)
            k[b / 8] |= static_cast<uint8_t>(0x80 >> (b % 8));
        for (int i = 0; i < 16; i++)
            v[i] &= k[i];
        ofmsg_match_tlv_create_ipv6_value_mask(m, idx, header(field, true, 32), v, k);
    }
    void transport(ofmsg_flow_match *m, uint8_t icmp, uint32_t type_idx, uint32_t code_idx,
                   uint32_t type_field, uint32_t code_field) {
        const uint8_t protos[] = {0, 6, 17, icmp};
        const uint8_t proto = protos[g_.below(4)];
        if (!proto) return;
        u8(m, 5, OXM_OF_IP_PROTO, proto);
        if (proto == 6 || proto == 17) {
            const uint32_t base = proto == 6 ? 10 : 12;
            const uint32_t f = proto == 6 ? OXM_OF_TCP_SRC : OXM_OF_UDP_SRC;
            if (g_.coin()) u16(m, base, f, static_cast<uint16_t>(g_.u32()));
            if (g_.coin()) u16(m, base + 1, f + 1, static_cast<uint16_t>(g_.u32()));
        } else {
            if (g_.coin()) u8(m, type_idx, type_field, static_cast<uint8_t>(g_.u32()));
            if (g_.coin()) u8(m, code_idx, code_field, static_cast<uint8_t>(g_.u32()));
        }
    }
    ofmsg_action *action() {
        const bool ip = eth_type_ == 0x0800 || eth_type_ == 0x86dd;
        switch (g_.below(ip ? 4 : 2)) {
            case 0:
                return g_.coin() ? ofmsg_action_create_output(1 + g_.below(65000), 0)
                                 : ofmsg_action_create_output(0xfffffffd, 0xffff);
            case 1: {
                uint8_t mac[6];
                g_.fill(mac, 6);
                return ofmsg_action_create_set_field(
                    ofoxm_header_value(g_.coin() ? OXM_OF_ETH_DST : OXM_OF_ETH_SRC, 0), 6, mac);
            }
            case 2: {
                const uint8_t dscp = static_cast<uint8_t>(g_.below(64));
                return ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_IP_DSCP, 0), 1,
                                                     &dscp);
            }
            default: {
                const uint8_t ecn = static_cast<uint8_t>(g_.below(4));
                return ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_IP_ECN, 0), 1, &ecn);
            }
        }
    }

    Gen g_;
    uint16_t eth_type_ = 0;
};

struct Corpus {
    std::vector<Bytes> messages;
    std::vector<std::string> rows;
};

// Encodes a mix of every family's messages and records what each should dissect to.
Corpus build_corpus(int scale) {
    Corpus c;
    Gen g(4242);
    uint32_t xid = 100;
    auto add = [&](uint8_t type, void *body) {
        const Bytes wire = fam::encode(type, body, ++xid);
        if (!wire.empty()) {
            c.messages.push_back(wire);
            c.rows.push_back(expected(type, body, xid).row());
        }
        fam::release_body(type, body);
    };
    for (int i = 0; i < 6 * scale; i++)
        add(OFPT_FLOW_MOD, g.flow_mod());
    for (int i = 0; i < 3 * scale; i++) {
        ofmsg_packet_in *pi = g.packet_in();
        plain_ethernet(pi);
        add(OFPT_PACKET_IN, pi);
    }
    for (int i = 0; i < 2 * scale; i++)
        add(OFPT_MULTIPART_REPLY, g.flow_stats_reply(6));
    for (int i = 0; i < 2 * scale; i++)
        add(OFPT_MULTIPART_REPLY, g.port_desc_reply());
    for (int i = 0; i < 2 * scale; i++)
        add(OFPT_EXPERIMENTER, g.exp());
    for (int i = 0; i < 2 * scale; i++) {
        auto *fr = static_cast<ofmsg_flow_removed *>(std::calloc(1, sizeof(ofmsg_flow_removed)));
        fr->cookie = g.u64();
        fr->reason = static_cast<uint8_t>(g.below(5));
        fr->match = g.match();
        const Bytes wire = fam::encode(OFPT_FLOW_REMOVED, fr, ++xid);
        c.messages.push_back(wire);
        c.rows.push_back(expected(OFPT_FLOW_REMOVED, fr, xid).row());
        ofmsg_flow_match_free(fr->match);
        std::free(fr);
    }
    auto *desc =
        static_cast<ofmsg_switch_desc_reply *>(std::calloc(1, sizeof(ofmsg_switch_desc_reply)));
    std::strcpy(desc->mfr_desc, "maker");
    auto *reply =
        static_cast<ofmsg_multipart_reply *>(std::calloc(1, sizeof(ofmsg_multipart_reply)));
    reply->type = OFPMP_DESC;
    reply->body = desc;
    add(OFPT_MULTIPART_REPLY, reply);
    ofmsg_port_stats stats[2] = {{htonl(1), 5, 6}, {htonl(2), 7, 8}};
    ofmsg_port_stats_reply ps{2, stats};
    ofmsg_multipart_reply psr{OFPMP_PORT_STATS, 0, &ps};
    c.messages.push_back(fam::encode(OFPT_MULTIPART_REPLY, &psr, ++xid));
    c.rows.push_back(expected(OFPT_MULTIPART_REPLY, &psr, xid).row());
    ofmsg_multipart_request req{OFPMP_PORT_DESC, 0, nullptr};
    c.messages.push_back(fam::encode(OFPT_MULTIPART_REQUEST, &req, ++xid));
    c.rows.push_back(expected(OFPT_MULTIPART_REQUEST, &req, xid).row());
    return c;
}

// The messages Open vSwitch should accept: valid flows, and every multipart kind.
std::vector<Bytes> build_valid_corpus(int count) {
    std::vector<Bytes> out;
    ValidGen v(777);
    auto add = [&](uint8_t type, void *body) {
        out.push_back(fam::encode(type, body, static_cast<uint32_t>(out.size() + 1)));
        fam::release_body(type, body);
    };
    for (int i = 0; i < count; i++) {
        add(OFPT_FLOW_MOD, v.flow_mod());
        add(OFPT_PACKET_IN, v.packet_in());
        add(OFPT_MULTIPART_REPLY, v.flow_stats_reply());
        add(OFPT_MULTIPART_REPLY, v.port_desc_reply());
        ofmsg_flow_removed fr{};
        fr.cookie = v.gen().u64() >> 1;
        fr.reason = static_cast<uint8_t>(v.gen().below(3));
        fr.match = v.removed_match();
        out.push_back(fam::encode(OFPT_FLOW_REMOVED, &fr, 9));
        ofmsg_flow_match_free(fr.match);
    }
    ofmsg_switch_desc_reply desc{};
    std::strcpy(desc.mfr_desc, "maker");
    std::strcpy(desc.serial_num, "1");
    ofmsg_multipart_reply dr{OFPMP_DESC, 0, &desc};
    out.push_back(fam::encode(OFPT_MULTIPART_REPLY, &dr, 1));
    ofmsg_port_stats stats[2] = {{htonl(1), 5, 6}, {htonl(2), 7, 8}};
    ofmsg_port_stats_reply ps{2, stats};
    ofmsg_multipart_reply psr{OFPMP_PORT_STATS, 0, &ps};
    out.push_back(fam::encode(OFPT_MULTIPART_REPLY, &psr, 2));
    ofmsg_multipart_request req{OFPMP_PORT_DESC, 0, nullptr};
    out.push_back(fam::encode(OFPT_MULTIPART_REQUEST, &req, 3));
    return out;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    return out;
}

}  // namespace

TEST(Oracle, TsharkDissectsEveryFamilyMessageAsTheRecordsSay) {
    if (!have("tshark")) GTEST_SKIP() << "tshark not installed";
    const Corpus c = build_corpus(25);
    const std::string pcap = temp_path(".pcap");
    ofpcap *w = ofpcap_open(pcap.c_str());
    ASSERT_NE(w, nullptr);
    for (const Bytes &m : c.messages)
        ASSERT_EQ(ofpcap_write(w, 0x7f000001, 40000, 0x7f000001, 6653, m.data(), m.size()), 0);
    ASSERT_EQ(ofpcap_close(w), 0);

    EXPECT_EQ(run("tshark -r " + pcap + " -Y _ws.malformed 2>/dev/null"), "");
    const std::vector<std::string> rows =
        lines(run("tshark -r " + pcap +
                  " -Y openflow_v4 -T fields -E separator='|' -E aggregator=, -E occurrence=a" +
                  kFieldArgs + " 2>/dev/null"));
    unlink(pcap.c_str());
    ASSERT_EQ(rows.size(), c.rows.size());
    for (size_t i = 0; i < rows.size(); i++)
        EXPECT_EQ(rows[i], c.rows[i]) << "message " << i;
}

TEST(Oracle, OpenVSwitchParsesEveryFamilyMessageWithoutDecodeError) {
    if (!have("ovs-ofctl")) GTEST_SKIP() << "ovs-ofctl not installed";
    const std::vector<Bytes> messages = build_valid_corpus(60);
    const std::string path = temp_path(".bin");
    {
        std::ofstream out(path, std::ios::binary);
        for (const Bytes &m : messages)
            out.write(reinterpret_cast<const char *>(m.data()), static_cast<long>(m.size()));
    }
    const std::string text = run("timeout 60 ovs-ofctl ofp-parse " + path + " 2>&1");
    unlink(path.c_str());
    EXPECT_EQ(text.find("decode error"), std::string::npos) << text.substr(0, 4000);
    size_t seen = 0;
    for (const std::string &l : lines(text))
        seen += l.rfind("OFPT_", 0) == 0 || l.rfind("OFPST_", 0) == 0 || l.rfind("NXT_", 0) == 0;
    EXPECT_EQ(seen, messages.size()) << text.substr(0, 4000);
}
