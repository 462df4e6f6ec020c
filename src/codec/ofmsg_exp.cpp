// Experimenter messages of the vendor extension: tunnel V4 request/reply and station MAC.
#include <arpa/inet.h>

#include "ofmsg_internal.hpp"

extern "C" {
// Exported for hosts that refer to it; the library itself never reads or writes it.
enum zelta_exp_type zelta_exp_type;
}

namespace ofagent {
namespace {

using wire::Field;
using wire::Layout;

constexpr uint32_t kExpHeader = 16;
constexpr uint32_t kTunnelEntry = 8;

struct ExpHeader {
    uint32_t experimenter;
    uint32_t exp_type;
};
using ExpHeaderLayout = Layout<Field<&ExpHeader::experimenter, 8>, Field<&ExpHeader::exp_type, 12>>;

using TunnelLayout =
    Layout<Field<&ofmsg_exp_tunnel_v4::tun_index, 0>, Field<&ofmsg_exp_tunnel_v4::tun_dest_ip, 4>>;
using TunnelRequestLayout = Layout<Field<&ofmsg_exp_tunnel_v4_request::opcode, 16, 1>>;
constexpr uint32_t kTunnelRequestEntry = 24;
using MacLayout = Layout<Field<&ofmsg_exp_openflow_mac::opcode, 16, 1>,
                         Field<&ofmsg_exp_openflow_mac::station_mac, 17>,
                         Field<&ofmsg_exp_openflow_mac::bss_mac, 23>>;
constexpr uint32_t kMacBody = 16;

void exp_free(ofmsg_exp *e) {
    ofmsg_free(OFPT_EXPERIMENTER, e);
}

int32_t ofmsg_exp_tunnel_v4_decode(ofmsg_exp_tunnel_v4 **out, const Reader &entry,
                                   uint32_t *remaining) {
    if (*remaining < kTunnelEntry || entry.size() < kTunnelEntry)
        return OFMSG_BAD_LEN("Decode Error ");
    *remaining -= kTunnelEntry;
    auto *t = alloc_record<ofmsg_exp_tunnel_v4>();
    if (!t) return OFMSG_ERR_NO_MEMORY;
    TunnelLayout::read(entry, *t);
    *out = t;
    return OFMSG_DECODE_OK;
}

int32_t ofmsg_exp_tunnel_v4_request_decode(ofmsg_exp *e, const Reader &msg, uint32_t *remaining) {
    if (*remaining < 8) return OFMSG_BAD_LEN("Decode Error ");
    auto *req = alloc_record<ofmsg_exp_tunnel_v4_request>();
    if (!req) return OFMSG_ERR_NO_MEMORY;
    e->data = req;
    TunnelRequestLayout::read(msg, *req);
    *remaining -= 8;
    if (*remaining == 0) return OFMSG_DECODE_OK;
    return ofmsg_exp_tunnel_v4_decode(&req->tunnel, msg.from(kTunnelRequestEntry), remaining);
}

int32_t ofmsg_exp_tunnel_v4_reply_decode(ofmsg_exp *e, const Reader &msg, uint32_t *remaining) {
    auto *rep = alloc_record<ofmsg_exp_tunnel_v4_reply>();
    if (!rep) return OFMSG_ERR_NO_MEMORY;
    e->data = rep;
    const uint32_t n = *remaining / kTunnelEntry;
    if (n == 0) return OFMSG_DECODE_OK;
    rep->tunnels = static_cast<ofmsg_exp_tunnel_v4 **>(std::calloc(n, sizeof(void *)));
    if (!rep->tunnels) return OFMSG_ERR_NO_MEMORY;
    for (uint32_t i = 0; i < n; i++) {
        Reader entry;
        msg.sub(kExpHeader + size_t{kTunnelEntry} * i, kTunnelEntry, entry);
        const int32_t st = ofmsg_exp_tunnel_v4_decode(&rep->tunnels[i], entry, remaining);
        if (st != OFMSG_DECODE_OK) return st;
        rep->num_tunnels++;
    }
    return OFMSG_DECODE_OK;
}

int32_t ofmsg_exp_openflow_mac_decode(ofmsg_exp *e, const Reader &msg, uint32_t *remaining) {
    if (*remaining < kMacBody || msg.size() < kExpHeader + kMacBody)
        return OFMSG_BAD_LEN("Decode Error ");
    *remaining -= kMacBody;
    auto *mac = alloc_record<ofmsg_exp_openflow_mac>();
    if (!mac) return OFMSG_ERR_NO_MEMORY;
    e->data = mac;
    MacLayout::read(msg, *mac);
    return OFMSG_DECODE_OK;
}

// Message length of an encodable body, or 0 when the body cannot be encoded.
size_t exp_len(const ofmsg_exp *e) {
    if (!e || !e->data) return 0;
    switch (e->exp_type) {
        case ZELTA_EXP_TUNNEL_V4_REQ: {
            auto *req = static_cast<const ofmsg_exp_tunnel_v4_request *>(e->data);
            return kTunnelRequestEntry + (req->tunnel ? kTunnelEntry : 0u);
        }
        case ZELTA_EXP_TUNNEL_V4_REPLY: {
            auto *rep = static_cast<const ofmsg_exp_tunnel_v4_reply *>(e->data);
            // More entries than one message holds, or a missing array: nothing to encode.
            if (rep->num_tunnels > (0xFFFFu - kExpHeader) / kTunnelEntry) return 0;
            if (rep->num_tunnels && !rep->tunnels) return 0;
            for (uint32_t i = 0; i < rep->num_tunnels; i++)
                if (!rep->tunnels[i]) return 0;
            return kExpHeader + size_t{kTunnelEntry} * rep->num_tunnels;
        }
        case ZELTA_EXP_OPENFLOW_MAC:
            return kExpHeader + kMacBody;
        default:
            return 0;
    }
}

void exp_body_encode(const ofmsg_exp *e, Writer &w) {
    switch (e->exp_type) {
        case ZELTA_EXP_TUNNEL_V4_REQ: {
            auto *req = static_cast<const ofmsg_exp_tunnel_v4_request *>(e->data);
            TunnelRequestLayout::write(w, *req);
            if (req->tunnel) {
                Writer entry = w.sub(kTunnelRequestEntry, kTunnelEntry);
                TunnelLayout::write(entry, *req->tunnel);
            }
            break;
        }
        case ZELTA_EXP_TUNNEL_V4_REPLY: {
            auto *rep = static_cast<const ofmsg_exp_tunnel_v4_reply *>(e->data);
            for (uint32_t i = 0; i < rep->num_tunnels; i++) {
                Writer entry = w.sub(kExpHeader + size_t{kTunnelEntry} * i, kTunnelEntry);
                TunnelLayout::write(entry, *rep->tunnels[i]);
            }
            break;
        }
        case ZELTA_EXP_OPENFLOW_MAC:
            MacLayout::write(w, *static_cast<const ofmsg_exp_openflow_mac *>(e->data));
            break;
        default:
            break;
    }
}

char *tunnel_print(const ofmsg_exp_tunnel_v4 *t, char *dst) {
    char text[INET_ADDRSTRLEN] = "";
    const uint32_t net = htonl(t->tun_dest_ip);
    if (!inet_ntop(AF_INET, &net, text, sizeof text)) text[0] = '\0';
    dst = print_append(dst, " { tun_index:%u", t->tun_index);
    return print_append(dst, ", tun_dest_ip:%s }", text);
}

char *exp_body_print(const ofmsg_exp *e, char *dst) {
    switch (e->exp_type) {
        case ZELTA_EXP_TUNNEL_V4_REQ: {
            auto *req = static_cast<const ofmsg_exp_tunnel_v4_request *>(e->data);
            dst = print_append(dst, "{ opcode:%u", req->opcode);
            if (req->tunnel) dst = tunnel_print(req->tunnel, dst);
            return print_append(dst, "}");
        }
        case ZELTA_EXP_TUNNEL_V4_REPLY: {
            auto *rep = static_cast<const ofmsg_exp_tunnel_v4_reply *>(e->data);
            dst = print_append(dst, "tunnels={num_tunnels:%zu}, {",
                               static_cast<size_t>(rep->num_tunnels));
            for (uint32_t i = 0; rep->tunnels && i < rep->num_tunnels; i++)
                if (rep->tunnels[i]) dst = tunnel_print(rep->tunnels[i], dst);
            return print_append(dst, "}");
        }
        case ZELTA_EXP_OPENFLOW_MAC: {
            auto *m = static_cast<const ofmsg_exp_openflow_mac *>(e->data);
            const uint8_t *s = m->station_mac, *b = m->bss_mac;
            return print_append(dst,
                                "{ opcode:%u, station_mac: %02x:%02x:%02x:%02x:%02x:%02x "
                                "bss_mac: %02x:%02x:%02x:%02x:%02x:%02x }",
                                m->opcode, s[0], s[1], s[2], s[3], s[4], s[5], b[0], b[1], b[2],
                                b[3], b[4], b[5]);
        }
        default:
            return dst;
    }
}

}  // namespace

int32_t ofmsg_exp_decode(ofmsg_exp **out, const Reader &msg, uint32_t *remaining) {
    if (*remaining < kExpHeader || msg.size() < kExpHeader) return OFMSG_BAD_LEN("Decode Error ");
    *remaining -= kExpHeader;
    ExpHeader h{};
    ExpHeaderLayout::read(msg, h);
    if (h.experimenter != ZELTA_EXPERIMENTER_ID) {
        OFLOG(OFLOG_ERRS, "Not supported experimenter type ");
        return OFMSG_ERR_BAD_EXPERIMENTER;
    }
    Guard<ofmsg_exp, exp_free> e(alloc_record<ofmsg_exp>());
    if (!e) return OFMSG_ERR_NO_MEMORY;
    // Set before the body so that a failed decode releases what was built by its type.
    e->exp_type = h.exp_type;
    int32_t st = OFMSG_ERR_BAD_EXP_TYPE;
    switch (h.exp_type) {
        case ZELTA_EXP_TUNNEL_V4_REQ:
            st = ofmsg_exp_tunnel_v4_request_decode(e.get(), msg, remaining);
            break;
        case ZELTA_EXP_TUNNEL_V4_REPLY:
            st = ofmsg_exp_tunnel_v4_reply_decode(e.get(), msg, remaining);
            break;
        case ZELTA_EXP_OPENFLOW_MAC:
            st = ofmsg_exp_openflow_mac_decode(e.get(), msg, remaining);
            break;
        default:
            break;
    }
    if (st != OFMSG_DECODE_OK) return st;
    *out = e.release();
    return OFMSG_DECODE_OK;
}

int ofmsg_exp_encode(const ofmsg_exp *body, uint8_t **out_buf, uint32_t *out_len) {
    const size_t len = exp_len(body);
    if (len == 0) {
        OFLOG(OFLOG_ERRS, "Unsupported experimenter message type %u",
              body ? (unsigned)body->exp_type : 0u);
        return -1;
    }
    uint8_t *buf = nullptr;
    uint32_t blen = 0;
    if (len > 0xFFFF || !alloc_message(len, &buf, &blen)) return -1;
    Writer w(buf, blen);
    exp_body_encode(body, w);
    ExpHeaderLayout::write(w, ExpHeader{ZELTA_EXPERIMENTER_ID, body->exp_type});
    if (!w.ok()) {
        std::free(buf);
        return -1;
    }
    *out_buf = buf;
    *out_len = blen;
    return 0;
}

char *ofmsg_exp_print(const ofmsg_exp *body, char *dst) {
    dst = print_append(dst, "{type=%s ", ofmsg_zelta_exp_type_to_string(body->exp_type));
    if (body->data) dst = exp_body_print(body, dst);
    return print_append(dst, "}");
}

void ofmsg_exp_release(ofmsg_exp *body) {
    if (!body->data) return;
    switch (body->exp_type) {
        case ZELTA_EXP_TUNNEL_V4_REQ: {
            auto *req = static_cast<ofmsg_exp_tunnel_v4_request *>(body->data);
            std::free(req->tunnel);
            std::free(req);
            break;
        }
        case ZELTA_EXP_TUNNEL_V4_REPLY: {
            auto *rep = static_cast<ofmsg_exp_tunnel_v4_reply *>(body->data);
            for (uint32_t i = 0; rep->tunnels && i < rep->num_tunnels; i++)
                std::free(rep->tunnels[i]);
            std::free(rep->tunnels);
            std::free(rep);
            break;
        }
        case ZELTA_EXP_OPENFLOW_MAC:
            std::free(body->data);
            break;
        default:
            break;
    }
}

}  // namespace ofagent

extern "C" {

const char *ofmsg_zelta_exp_type_to_string(uint32_t exp_type) {
    static const char *const names[] = {"EXP ZELTA TUNNEL V4 REQ", "EXP ZELTA TUNNEL V4 REPLY",
                                        "EXP ZELTA TUNNEL V6 REQ", "EXP ZELTA TUNNEL V6 REPLY",
                                        "ZELTA_EXP_OPENFLOW_MAC:"};
    return exp_type < 5 ? names[exp_type] : "unknown";
}

}  // extern "C"
