// Multipart request and reply: DESC, FLOW, PORT_STATS and PORT_DESC.
#include <cstring>

#include "ofmsg_simple_layouts.hpp"

namespace ofagent {
namespace {

using wire::Field;
using wire::Layout;

constexpr uint32_t kMpHeader = 16;  // ofp_header + type, flags, 4 pad bytes
constexpr uint32_t kFlowStatMin = 56;
constexpr uint32_t kFlowStatFixed = 48;
constexpr uint32_t kPortStatsEntry = 112;
constexpr uint32_t kDescBody = 1056;
constexpr uint32_t kPortStatsRequestBody = 8;  // port number, 4 pad bytes

struct MpHeader {
    uint16_t type;
    uint16_t flags;
};
using MpHeaderLayout = Layout<Field<&MpHeader::type, 8>, Field<&MpHeader::flags, 10>>;

using FlowStatsRequestLayout = Layout<
    Field<&ofmsg_flow_stats_request::table_id, 16>, Field<&ofmsg_flow_stats_request::out_port, 20>,
    Field<&ofmsg_flow_stats_request::out_group, 24>, Field<&ofmsg_flow_stats_request::cookie, 32>,
    Field<&ofmsg_flow_stats_request::cookie_mask, 40>>;
constexpr uint32_t kFlowStatsRequestFixed = 32;  // after the multipart header, up to the match
constexpr uint32_t kFlowStatsRequestMatch = kMpHeader + kFlowStatsRequestFixed;
constexpr uint32_t kEmptyMatchLen = 8;  // an ofp_match without TLVs, padded

// ofp_flow_stats, offsets from the start of the entry (length at 0, match at 48).
using S = ofmsg_flow_stat;
using FlowStatLayout =
    Layout<Field<&S::table_id, 2>, Field<&S::duration_sec, 4>, Field<&S::duration_nsec, 8>,
           Field<&S::priority, 12>, Field<&S::idle_timeout, 14>, Field<&S::hard_timeout, 16>,
           Field<&S::cookie, 24>, Field<&S::packet_count, 32>, Field<&S::byte_count, 40>>;

// ofp_port_stats: port_no travels in network order both ways and is copied as it stands.
using PortStatsLayout =
    Layout<Field<&ofmsg_port_stats::rx_packets, 8>, Field<&ofmsg_port_stats::tx_packets, 16>>;

// ofp_desc: field offsets within the body.
struct DescField {
    size_t offset;
    size_t width;
    const char *(*get)(const ofmsg_switch_desc_reply *);
};
constexpr DescField kDescFields[] = {
    {0, 256, [](const ofmsg_switch_desc_reply *d) -> const char * { return d->mfr_desc; }},
    {256, 256, [](const ofmsg_switch_desc_reply *d) -> const char * { return d->hw_desc; }},
    {512, 256, [](const ofmsg_switch_desc_reply *d) -> const char * { return d->sw_desc; }},
    {768, 32, [](const ofmsg_switch_desc_reply *d) -> const char * { return d->serial_num; }},
    {800, 256, [](const ofmsg_switch_desc_reply *d) -> const char * { return d->dp_desc; }},
};

// A flow-stats entry decoded here owns its match and instructions until it is handed over;
// the reply's own release leaves them to the holder.
void flow_stat_free_all(ofmsg_flow_stat *s) {
    if (!s) return;
    if (s->match) ofmsg_flow_match_free(s->match);
    if (s->instructions) ofmsg_flow_instructions_free(s->instructions);
    std::free(s);
}

void flow_stats_reply_free_all(ofmsg_flow_stats_reply *r) {
    if (!r) return;
    for (uint32_t i = 0; i < r->num_flows; i++)
        if (r->flow_stats) flow_stat_free_all(r->flow_stats[i]);
    std::free(r->flow_stats);
    std::free(r);
}

// ---- Reply decoding ------------------------------------------------------------------------
// An entry whose instructions fail still takes its whole length from the count.
int32_t ofmsg_flow_stat_decode(ofmsg_flow_stat **out, const Reader &entry, uint32_t *remaining) {
    uint16_t len = 0, match_len = 0;
    entry.u16_at(0, len);
    entry.u16_at(kFlowStatFixed + 2, match_len);
    if (*remaining < kFlowStatFixed + round8(match_len) || *remaining < len)
        return OFMSG_BAD_LEN("invalid length ");
    Guard<ofmsg_flow_stat, flow_stat_free_all> s(alloc_record<ofmsg_flow_stat>());
    if (!s) return OFMSG_ERR_NO_MEMORY;
    FlowStatLayout::read(entry, *s.get());

    Reader body;
    entry.sub(0, len, body);
    uint32_t budget = len - kFlowStatFixed;
    int32_t st = ofmsg_flow_match_decode(body.from(kFlowStatFixed), &s->match, &budget);
    if (st != OFMSG_DECODE_OK) {
        OFLOG(OFLOG_ERRS, " ");
        return st;
    }
    if (budget != 0) {
        const uint32_t at = kFlowStatFixed + ofmsg_flow_match_padded_len(s->match);
        st = ofmsg_flow_instructions_decode(&s->instructions, body.from(at), &budget);
    }
    *remaining -= len;
    if (st != OFMSG_DECODE_OK) return st;
    *out = s.release();
    return OFMSG_DECODE_OK;
}

int32_t ofmsg_multipart_reply_flow_stats_decode(void **out, const Reader &msg,
                                                uint32_t *remaining) {
    Guard<ofmsg_flow_stats_reply, flow_stats_reply_free_all> r(
        alloc_record<ofmsg_flow_stats_reply>());
    if (!r) return OFMSG_ERR_NO_MEMORY;
    // Counting pass on a copy; a tail shorter than one entry is ignored.
    uint32_t copy = *remaining, count = 0;
    for (size_t pos = kMpHeader; copy >= kFlowStatMin; count++) {
        uint16_t len = 0;
        msg.u16_at(pos, len);
        if (len > copy || len < kFlowStatMin) return OFMSG_BAD_LEN("flow stat invalid length");
        copy -= len;
        pos += len;
    }
    if (count) {
        r->flow_stats = static_cast<ofmsg_flow_stat **>(alloc_zeroed(count, sizeof(void *)));
        if (!r->flow_stats) return OFMSG_ERR_NO_MEMORY;
    }
    size_t pos = kMpHeader;
    for (uint32_t i = 0; i < count; i++) {
        uint16_t len = 0;
        msg.u16_at(pos, len);
        const int32_t st = ofmsg_flow_stat_decode(&r->flow_stats[i], msg.from(pos), remaining);
        if (st != OFMSG_DECODE_OK) return st;
        r->num_flows++;
        pos += len;
    }
    // A tail shorter than one entry stays in the count: the frame refuses it.
    *out = r.release();
    return OFMSG_DECODE_OK;
}

int32_t ofmsg_multipart_reply_port_desc_decode(void **out, const Reader &msg, uint32_t *remaining) {
    Guard<ofmsg_port_desc_reply, ofmsg_port_desc_reply_free> r(
        alloc_record<ofmsg_port_desc_reply>());
    if (!r) return OFMSG_ERR_NO_MEMORY;
    const uint32_t n = *remaining / kPortLen;
    if (n) {
        r->ports = static_cast<ofstruct_port **>(alloc_zeroed(n, sizeof(void *)));
        if (!r->ports) return OFMSG_ERR_NO_MEMORY;
    }
    for (uint32_t i = 0; i < n; i++) {
        Reader entry;
        msg.sub(kMpHeader + size_t{kPortLen} * i, kPortLen, entry);
        const int32_t st = ofstruct_port_decode(&r->ports[i], entry, remaining);
        if (st != OFMSG_DECODE_OK) return st;
        r->num_ports++;
    }
    // A tail shorter than one port stays in the count: the frame refuses it.
    *out = r.release();
    return OFMSG_DECODE_OK;
}

// ---- Reply encoding ------------------------------------------------------------------------
size_t flow_stat_size(const ofmsg_flow_stat *s) {
    if (!s || !s->match) return 0;
    return kFlowStatFixed + ofmsg_flow_match_padded_len(s->match) +
           (s->instructions ? s->instructions->len : 0u);
}

bool flow_stat_encode(const ofmsg_flow_stat *s, Writer w) {
    const size_t size = flow_stat_size(s);
    if (size == 0 || size > 0xFFFF) return false;
    w.u16_at(0, static_cast<uint16_t>(size));
    FlowStatLayout::write(w, *s);
    const uint32_t match_len = ofmsg_flow_match_padded_len(s->match);
    if (!ofmsg_flow_match_encode(s->match, w.sub(kFlowStatFixed, match_len))) return false;
    if (s->instructions &&
        !ofmsg_flow_instructions_encode(s->instructions, w.from(kFlowStatFixed + match_len)))
        return false;
    return w.ok();
}

constexpr size_t kTooBig = 0x10000;  // any body size at or above this cannot be sent

size_t capped(size_t n) {
    return n < kTooBig ? n : kTooBig;
}

// Body sizes (capped at kTooBig), or false for a body that is incomplete.
bool desc_size(const ofmsg_switch_desc_reply *, size_t *size) {
    *size = kDescBody;
    return true;
}

bool flow_stats_size(const ofmsg_flow_stats_reply *f, size_t *size) {
    if (f->num_flows && !f->flow_stats) return false;
    size_t total = 0;
    for (uint32_t i = 0; i < f->num_flows; i++) {
        const size_t n = flow_stat_size(f->flow_stats[i]);
        if (n == 0) return false;
        total = capped(total + n);
    }
    *size = total;
    return true;
}

bool port_stats_size(const ofmsg_port_stats_reply *p, size_t *size) {
    if (p->num_ports && !p->port_stats) return false;
    *size = capped(size_t{kPortStatsEntry} * capped(p->num_ports));
    return true;
}

bool port_desc_size(const ofmsg_port_desc_reply *p, size_t *size) {
    if (p->num_ports && !p->ports) return false;
    for (uint32_t i = 0; i < p->num_ports; i++)
        if (!p->ports[i]) return false;
    *size = capped(size_t{kPortLen} * capped(p->num_ports));
    return true;
}

bool desc_write(const ofmsg_switch_desc_reply *d, Writer w) {
    for (const DescField &f : kDescFields) {
        const char *s = f.get(d);
        w.bytes_at(f.offset, s, strnlen(s, f.width - 1));
    }
    return w.ok();
}

bool flow_stats_write(const ofmsg_flow_stats_reply *f, Writer w) {
    size_t pos = 0;
    for (uint32_t i = 0; i < f->num_flows; i++) {
        if (!flow_stat_encode(f->flow_stats[i], w.from(pos))) return false;
        pos += flow_stat_size(f->flow_stats[i]);
    }
    return true;
}

bool port_stats_write(const ofmsg_port_stats_reply *p, Writer w) {
    for (uint32_t i = 0; i < p->num_ports; i++) {
        Writer e = w.sub(size_t{kPortStatsEntry} * i, kPortStatsEntry);
        e.bytes_at(0, &p->port_stats[i].port_no, 4);
        PortStatsLayout::write(e, p->port_stats[i]);
        if (!e.ok()) return false;
    }
    return true;
}

bool port_desc_write(const ofmsg_port_desc_reply *p, Writer w) {
    for (uint32_t i = 0; i < p->num_ports; i++)
        if (!ofstruct_port_encode(p->ports[i], w.sub(size_t{kPortLen} * i, kPortLen))) return false;
    return w.ok();
}

// ---- Printing ------------------------------------------------------------------------------
void print_flow_stats(const ofmsg_flow_stats_reply *f, Out &out) {
    put<"stats={num_flows:%zu}, {">(out, static_cast<size_t>(f->num_flows));
    for (uint32_t i = 0; f->flow_stats && i < f->num_flows && !out.full(); i++) {
        const ofmsg_flow_stat *s = f->flow_stats[i];
        if (!s) continue;
        put<"{table=%u">(out, s->table_id);
        put<", dur_s=%u, dur_ns=%u, prio=%u, idle_to=%u, hard_to=%u, "
            "cookie=0x%llxpkt_cnt=%llu, byte_cnt=%llu">(
            out, s->duration_sec, s->duration_nsec, s->priority, s->idle_timeout, s->hard_timeout,
            (unsigned long long)s->cookie, (unsigned long long)s->packet_count,
            (unsigned long long)s->byte_count);
        put<", match={">(out);
        ofmsg_flow_match_print(s->match, out);
        put<", insts={">(out);
        if (s->instructions) ofmsg_flow_instructions_print(s->instructions, out);
        put<"}">(out);
    }
    return put<"}">(out);
}

void print_desc(const ofmsg_switch_desc_reply *d, Out &out) {
    put<"{">(out);
    put<"mfr_desc=%.256s, hw_desc=%.256s, sw_desc=%.256s, serial_num=%.32s, "
        "dp_desc=%.256s">(out, d->mfr_desc, d->hw_desc, d->sw_desc, d->serial_num, d->dp_desc);
    return put<"}">(out);
}

void print_port_desc(const ofmsg_port_desc_reply *p, Out &out) {
    put<"{">(out);
    for (uint32_t i = 0; p->ports && i < p->num_ports && !out.full(); i++) {
        if (i) put<", ">(out);
        if (p->ports[i]) ofstruct_port_print(p->ports[i], out);
    }
    return put<"}">(out);
}

// One row per multipart reply kind this codec knows; a null column is what the kind lacks.
struct ReplyRow {
    uint16_t type;
    int32_t (*decode)(void **body, const Reader &msg, uint32_t *remaining) = nullptr;
    bool (*size)(const void *body, size_t *size) = nullptr;
    bool (*write)(const void *body, Writer w) = nullptr;
    void (*print)(const void *body, Out &out) = nullptr;
    void (*release)(void *body) = nullptr;          // the body record and what it owns
    void (*release_decoded)(void *body) = nullptr;  // the same, for a body never handed over
};

template <auto F>
constexpr auto erase = &Erase<F>::call;

constexpr ReplyRow kReplies[] = {
    {OFPMP_DESC, nullptr, erase<desc_size>, erase<desc_write>, erase<print_desc>,
     erase<ofmsg_switch_desc_reply_free>},
    {OFPMP_FLOW, ofmsg_multipart_reply_flow_stats_decode, erase<flow_stats_size>,
     erase<flow_stats_write>, erase<print_flow_stats>, erase<ofmsg_flow_stats_reply_free>,
     erase<flow_stats_reply_free_all>},
    // Its release frees the entry array only, not the body record.
    {OFPMP_PORT_STATS, nullptr, erase<port_stats_size>, erase<port_stats_write>, nullptr,
     erase<ofmsg_port_stats_reply_free>},
    {OFPMP_PORT_DESC, ofmsg_multipart_reply_port_desc_decode, erase<port_desc_size>,
     erase<port_desc_write>, erase<print_port_desc>, erase<ofmsg_port_desc_reply_free>},
};

const ReplyRow *reply_row(uint32_t type) {
    for (const ReplyRow &r : kReplies)
        if (r.type == type) return &r;
    return nullptr;
}

}  // namespace

namespace {
void drop_reply(ofmsg_multipart_reply *r) {
    ofmsg_multipart_reply_release_decoded(r);
    ofmsg_free(OFPT_MULTIPART_REPLY, r);
}
}  // namespace

int32_t ofmsg_multipart_request_decode(ofmsg_multipart_request **out, const Reader &msg,
                                       uint32_t *remaining) {
    if (*remaining < kMpHeader || msg.size() < kMpHeader) return OFMSG_BAD_LEN("Decode Error ");
    *remaining -= kMpHeader;
    Guard<ofmsg_multipart_request, free_body<OFPT_MULTIPART_REQUEST>> req(
        alloc_record<ofmsg_multipart_request>());
    if (!req) return OFMSG_ERR_NO_MEMORY;
    MpHeader h{};
    MpHeaderLayout::read(msg, h);
    OFLOG(OFLOG_INFO, "multipart request type %s", ofmsg_ofp_multipart_types_to_string(h.type));
    // The type is set first so that a failed decode releases the body by its kind.
    req->type = h.type;
    int32_t st = OFMSG_DECODE_OK;
    switch (h.type) {
        case OFPMP_FLOW: {
            if (*remaining < kFlowStatsRequestFixed + kEmptyMatchLen)
                return OFMSG_BAD_LEN("Decode Error ");
            *remaining -= kFlowStatsRequestFixed;
            auto *body = alloc_record<ofmsg_flow_stats_request>();
            if (!body) return OFMSG_ERR_NO_MEMORY;
            req->body = body;
            FlowStatsRequestLayout::read(msg, *body);
            st = ofmsg_flow_match_decode(msg.from(kFlowStatsRequestMatch), &body->match, remaining);
            break;
        }
        case OFPMP_PORT_STATS: {
            if (*remaining < kPortStatsRequestBody) return OFMSG_BAD_LEN("Decode Error ");
            // The body is the port number inside the received message, left in network order.
            req->body = const_cast<uint8_t *>(msg.ptr_at(kMpHeader, 4));
            uint32_t port = 0;
            msg.u32_at(kMpHeader, port);
            OFLOG(OFLOG_INFO, "%s setting port number to %u \n", __func__, (unsigned)port);
            *remaining -= kPortStatsRequestBody;
            break;
        }
        case OFPMP_DESC:
        case OFPMP_PORT_DESC:
            break;
        default:
            st = OFMSG_ERR_BAD_MULTIPART;
    }
    if (st != OFMSG_DECODE_OK) return st;
    req->flags = h.flags;
    *out = req.release();
    return OFMSG_DECODE_OK;
}

int32_t ofmsg_multipart_reply_decode(ofmsg_multipart_reply **out, const Reader &msg,
                                     uint32_t *remaining) {
    if (*remaining < kMpHeader || msg.size() < kMpHeader) return OFMSG_BAD_LEN("Decode Error ");
    *remaining -= kMpHeader;
    Guard<ofmsg_multipart_reply, drop_reply> r(alloc_record<ofmsg_multipart_reply>());
    if (!r) return OFMSG_ERR_NO_MEMORY;
    MpHeader h{};
    MpHeaderLayout::read(msg, h);
    // The type is set first so that a failed decode releases the body by its kind.
    r->type = h.type;
    const ReplyRow *row = reply_row(h.type);
    if (!row || !row->decode) return OFMSG_ERR_BAD_MULTIPART;
    const int32_t st = row->decode(&r->body, msg, remaining);
    if (st != OFMSG_DECODE_OK) return st;
    r->flags = h.flags;
    *out = r.release();
    return OFMSG_DECODE_OK;
}

int ofmsg_multipart_request_encode(const ofmsg_multipart_request *body, uint8_t **out_buf,
                                   uint32_t *out_len) {
    if (body->type != OFPMP_PORT_DESC) {
        OFLOG(OFLOG_ERRS, "multipart request type %u", (unsigned)body->type);
        return -1;
    }
    return encode_message(kMpHeader, out_buf, out_len, [&](Writer &w) {
        MpHeaderLayout::write(w, MpHeader{static_cast<uint16_t>(body->type), body->flags});
        return true;
    });
}

int ofmsg_multipart_reply_encode(const ofmsg_multipart_reply *body, uint8_t **out_buf,
                                 uint32_t *out_len) {
    OFLOG(OFLOG_DBUG, " ");
    const ReplyRow *row = reply_row(body->type);
    size_t size = 0;
    if (!row || !body->body || !row->size(body->body, &size)) {
        OFLOG(OFLOG_ERRS, "multipart reply type %u\n", (unsigned)body->type);
        return -1;
    }
    return encode_message(kMpHeader + size, out_buf, out_len, [&](Writer &w) {
        MpHeaderLayout::write(w, MpHeader{static_cast<uint16_t>(body->type), body->flags});
        return row->write(body->body, w.from(kMpHeader));
    });
}

void ofmsg_multipart_request_print(const ofmsg_multipart_request *body, Out &out) {
    put<"{type=%s(%u)">(out, ofmsg_ofp_multipart_types_to_string(body->type), body->type);
    put<", flags=0x%x">(out, body->flags);
    if (body->type == OFPMP_FLOW && body->body) {
        auto *f = static_cast<const ofmsg_flow_stats_request *>(body->body);
        put<" {table = %u">(out, f->table_id);
        put<", out_port = 0x%x">(out, f->out_port);
        put<", out_group = 0x%x">(out, f->out_group);
        put<", cookie = 0x%llx">(out, (unsigned long long)f->cookie);
        put<", cookie_mask = 0x%llx">(out, (unsigned long long)f->cookie_mask);
        put<", match={">(out);
        ofmsg_flow_match_print(f->match, out);
        put<"}">(out);
        put<"}">(out);
    }
    return put<"}">(out);
}

void ofmsg_multipart_reply_print(const ofmsg_multipart_reply *body, Out &out) {
    put<"{type=%s(%u)">(out, ofmsg_ofp_multipart_types_to_string(body->type), body->type);
    put<", flags=0x%x">(out, body->flags);
    const ReplyRow *row = reply_row(body->type);
    if (body->body && row && row->print) row->print(body->body, out);
    return put<"}">(out);
}

void ofmsg_multipart_request_free(ofmsg_multipart_request *body) {
    if (body->type != OFPMP_FLOW || !body->body) return;
    auto *f = static_cast<ofmsg_flow_stats_request *>(body->body);
    if (f->match) ofmsg_flow_match_free(f->match);
    std::free(f);
}

void ofmsg_multipart_reply_release_decoded(ofmsg_multipart_reply *body) {
    const ReplyRow *row = reply_row(body->type);
    if (!body->body || !row || !row->release_decoded) return;
    row->release_decoded(body->body);
    body->body = nullptr;
}

void ofmsg_multipart_reply_free(ofmsg_multipart_reply *body) {
    const ReplyRow *row = reply_row(body->type);
    if (body->body && row && row->release) row->release(body->body);
}

}  // namespace ofagent

extern "C" {

void ofmsg_switch_desc_reply_free(ofmsg_switch_desc_reply *body) {
    std::free(body);
}

void ofmsg_flow_stats_reply_free(ofmsg_flow_stats_reply *body) {
    if (!body) return;
    for (uint32_t i = 0; body->flow_stats && i < body->num_flows; i++)
        std::free(body->flow_stats[i]);
    std::free(body->flow_stats);
    std::free(body);
}

void ofmsg_port_stats_reply_free(ofmsg_port_stats_reply *body) {
    if (body) std::free(body->port_stats);
}

void ofmsg_port_desc_reply_free(ofmsg_port_desc_reply *body) {
    if (!body) return;
    for (uint32_t i = 0; body->ports && i < body->num_ports; i++)
        ofagent::ofstruct_port_free(body->ports[i]);
    std::free(body->ports);
    std::free(body);
}

const char *ofmsg_ofp_multipart_types_to_string(uint32_t type) {
    static const char *const names[] = {
        "OFPMP_DESC",           "OFPMP_FLOW",     "OFPMP_AGGREGATE",    "OFPMP_TABLE",
        "OFPMP_PORT_STATS",     "OFPMP_QUEUE",    "OFPMP_GROUP",        "OFPMP_GROUP_DESC",
        "OFPMP_GROUP_FEATURES", "OFPMP_METER",    "OFPMP_METER_CONFIG", "OFPMP_METER_FEATURES",
        "OFPMP_TABLE_FEATURES", "OFPMP_PORT_DESC"};
    if (type < sizeof names / sizeof names[0]) return names[type];
    return type == OFPMP_EXPERIMENTER ? "OFPMP_EXPERIMENTER" : "unknown";
}

}  // extern "C"
