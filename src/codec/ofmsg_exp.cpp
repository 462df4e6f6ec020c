// Experimenter messages of the vendor extension: tunnel V4 request/reply and station MAC.
#include <arpa/inet.h>

#include <iterator>

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
constexpr uint32_t kTunnelRequestBody = 8;  // opcode and 7 pad bytes
constexpr uint32_t kTunnelRequestEntry = kExpHeader + kTunnelRequestBody;
using MacLayout = Layout<Field<&ofmsg_exp_openflow_mac::opcode, 16, 1>,
                         Field<&ofmsg_exp_openflow_mac::station_mac, 17>,
                         Field<&ofmsg_exp_openflow_mac::bss_mac, 23>>;
constexpr uint32_t kMacBody = 16;

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

// The data steps store their record at *data before anything can fail, so that releasing the
// message takes what was built.
int32_t ofmsg_exp_tunnel_v4_request_decode(void **data, const Reader &msg, uint32_t *remaining) {
    if (*remaining < kTunnelRequestBody) return OFMSG_BAD_LEN("Decode Error ");
    auto *req = alloc_record<ofmsg_exp_tunnel_v4_request>();
    if (!req) return OFMSG_ERR_NO_MEMORY;
    *data = req;
    TunnelRequestLayout::read(msg, *req);
    *remaining -= kTunnelRequestBody;
    if (*remaining == 0) return OFMSG_DECODE_OK;
    return ofmsg_exp_tunnel_v4_decode(&req->tunnel, msg.from(kTunnelRequestEntry), remaining);
}

int32_t ofmsg_exp_tunnel_v4_reply_decode(void **data, const Reader &msg, uint32_t *remaining) {
    auto *rep = alloc_record<ofmsg_exp_tunnel_v4_reply>();
    if (!rep) return OFMSG_ERR_NO_MEMORY;
    *data = rep;
    const uint32_t n = *remaining / kTunnelEntry;
    if (n == 0) return OFMSG_DECODE_OK;
    rep->tunnels = static_cast<ofmsg_exp_tunnel_v4 **>(alloc_zeroed(n, sizeof(void *)));
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

int32_t ofmsg_exp_openflow_mac_decode(void **data, const Reader &msg, uint32_t *remaining) {
    if (*remaining < kMacBody || msg.size() < kExpHeader + kMacBody)
        return OFMSG_BAD_LEN("Decode Error ");
    *remaining -= kMacBody;
    auto *mac = alloc_record<ofmsg_exp_openflow_mac>();
    if (!mac) return OFMSG_ERR_NO_MEMORY;
    *data = mac;
    MacLayout::read(msg, *mac);
    return OFMSG_DECODE_OK;
}

size_t tunnel_request_len(const ofmsg_exp_tunnel_v4_request *req) {
    return kTunnelRequestEntry + (req->tunnel ? kTunnelEntry : 0u);
}

// More entries than one message holds, or a missing one: nothing to encode.
size_t tunnel_reply_len(const ofmsg_exp_tunnel_v4_reply *rep) {
    if (rep->num_tunnels > (0xFFFFu - kExpHeader) / kTunnelEntry) return 0;
    if (rep->num_tunnels && !rep->tunnels) return 0;
    for (uint32_t i = 0; i < rep->num_tunnels; i++)
        if (!rep->tunnels[i]) return 0;
    return kExpHeader + size_t{kTunnelEntry} * rep->num_tunnels;
}

size_t mac_len(const ofmsg_exp_openflow_mac *) {
    return kExpHeader + kMacBody;
}

void tunnel_request_write(const ofmsg_exp_tunnel_v4_request *req, Writer &w) {
    TunnelRequestLayout::write(w, *req);
    if (req->tunnel) {
        Writer entry = w.sub(kTunnelRequestEntry, kTunnelEntry);
        TunnelLayout::write(entry, *req->tunnel);
    }
}

void tunnel_reply_write(const ofmsg_exp_tunnel_v4_reply *rep, Writer &w) {
    for (uint32_t i = 0; i < rep->num_tunnels; i++) {
        Writer entry = w.sub(kExpHeader + size_t{kTunnelEntry} * i, kTunnelEntry);
        TunnelLayout::write(entry, *rep->tunnels[i]);
    }
}

void mac_write(const ofmsg_exp_openflow_mac *mac, Writer &w) {
    MacLayout::write(w, *mac);
}

void tunnel_print(const ofmsg_exp_tunnel_v4 *t, Out &out) {
    char text[INET_ADDRSTRLEN] = "";
    const uint32_t net = htonl(t->tun_dest_ip);
    if (!inet_ntop(AF_INET, &net, text, sizeof text)) text[0] = '\0';
    put<" { tun_index:%u">(out, t->tun_index);
    return put<", tun_dest_ip:%s }">(out, text);
}

void tunnel_request_print(const ofmsg_exp_tunnel_v4_request *req, Out &out) {
    put<"{ opcode:%u">(out, req->opcode);
    if (req->tunnel) tunnel_print(req->tunnel, out);
    return put<"}">(out);
}

void tunnel_reply_print(const ofmsg_exp_tunnel_v4_reply *rep, Out &out) {
    put<"tunnels={num_tunnels:%zu}, {">(out, static_cast<size_t>(rep->num_tunnels));
    for (uint32_t i = 0; rep->tunnels && i < rep->num_tunnels && !out.full(); i++)
        if (rep->tunnels[i]) tunnel_print(rep->tunnels[i], out);
    return put<"}">(out);
}

void mac_print(const ofmsg_exp_openflow_mac *m, Out &out) {
    const uint8_t *s = m->station_mac, *b = m->bss_mac;
    return put<
        "{ opcode:%u, station_mac: %02x:%02x:%02x:%02x:%02x:%02x "
        "bss_mac: %02x:%02x:%02x:%02x:%02x:%02x }">(out, m->opcode, s[0], s[1], s[2], s[3], s[4],
                                                    s[5], b[0], b[1], b[2], b[3], b[4], b[5]);
}

void tunnel_request_release(ofmsg_exp_tunnel_v4_request *req) {
    std::free(req->tunnel);
    std::free(req);
}

void tunnel_reply_release(ofmsg_exp_tunnel_v4_reply *rep) {
    for (uint32_t i = 0; rep->tunnels && i < rep->num_tunnels; i++)
        std::free(rep->tunnels[i]);
    std::free(rep->tunnels);
    std::free(rep);
}

// One row per experimenter message type (exp_type); the V6 tunnel types are named only.
struct ExpRow {
    const char *name;
    int32_t (*decode)(void **data, const Reader &msg, uint32_t *remaining) = nullptr;
    size_t (*length)(const void *data) = nullptr;  // of the message; 0: cannot be encoded
    void (*write)(const void *data, Writer &w) = nullptr;
    void (*print)(const void *data, Out &out) = nullptr;
    void (*release)(void *data) = nullptr;  // what the data owns, and the data record
};

template <auto F>
constexpr auto erase = &Erase<F>::call;

constexpr ExpRow kExpTypes[] = {
    {"EXP ZELTA TUNNEL V4 REQ", ofmsg_exp_tunnel_v4_request_decode, erase<tunnel_request_len>,
     erase<tunnel_request_write>, erase<tunnel_request_print>, erase<tunnel_request_release>},
    {"EXP ZELTA TUNNEL V4 REPLY", ofmsg_exp_tunnel_v4_reply_decode, erase<tunnel_reply_len>,
     erase<tunnel_reply_write>, erase<tunnel_reply_print>, erase<tunnel_reply_release>},
    {"EXP ZELTA TUNNEL V6 REQ"},
    {"EXP ZELTA TUNNEL V6 REPLY"},
    {"ZELTA_EXP_OPENFLOW_MAC:", ofmsg_exp_openflow_mac_decode, erase<mac_len>, erase<mac_write>,
     erase<mac_print>, erase<free_plain<ofmsg_exp_openflow_mac>>},
};

const ExpRow *exp_row(uint32_t exp_type) {
    return exp_type < std::size(kExpTypes) ? &kExpTypes[exp_type] : nullptr;
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
    Guard<ofmsg_exp, free_body<OFPT_EXPERIMENTER>> e(alloc_record<ofmsg_exp>());
    if (!e) return OFMSG_ERR_NO_MEMORY;
    // Set before the data so that a failed decode releases what was built by its type.
    e->exp_type = h.exp_type;
    const ExpRow *row = exp_row(h.exp_type);
    if (!row || !row->decode) return OFMSG_ERR_BAD_EXP_TYPE;
    const int32_t st = row->decode(&e->data, msg, remaining);
    if (st != OFMSG_DECODE_OK) return st;
    *out = e.release();
    return OFMSG_DECODE_OK;
}

int ofmsg_exp_encode(const ofmsg_exp *body, uint8_t **out_buf, uint32_t *out_len) {
    const ExpRow *row = exp_row(body->exp_type);
    const size_t len = row && row->length && body->data ? row->length(body->data) : 0;
    if (len == 0) {
        OFLOG(OFLOG_ERRS, "Unsupported experimenter message type %u", (unsigned)body->exp_type);
        return -1;
    }
    return encode_message(len, out_buf, out_len, [&](Writer &w) {
        row->write(body->data, w);
        ExpHeaderLayout::write(w, ExpHeader{ZELTA_EXPERIMENTER_ID, body->exp_type});
        return true;
    });
}

void ofmsg_exp_print(const ofmsg_exp *body, Out &out) {
    put<"{type=%s ">(out, ofmsg_zelta_exp_type_to_string(body->exp_type));
    const ExpRow *row = exp_row(body->exp_type);
    if (body->data && row && row->print) row->print(body->data, out);
    return put<"}">(out);
}

void ofmsg_exp_release(ofmsg_exp *body) {
    const ExpRow *row = exp_row(body->exp_type);
    if (body->data && row && row->release) row->release(body->data);
}

}  // namespace ofagent

extern "C" {

const char *ofmsg_zelta_exp_type_to_string(uint32_t exp_type) {
    const ofagent::ExpRow *row = ofagent::exp_row(exp_type);
    return row ? row->name : "unknown";
}

}  // extern "C"
