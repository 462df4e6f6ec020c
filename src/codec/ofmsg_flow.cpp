// Flow-mod, flow-removed and packet-in: receive steps, encoders, printers, releases, names.
#include "ofmsg_internal.hpp"

namespace ofagent {
namespace {

using wire::Field;
using wire::Layout;
using M = ofmsg_flow_mod;
using R = ofmsg_flow_removed;
using P = ofmsg_packet_in;

// Fixed parts, offsets from the start of the message.
using FlowModLayout =
    Layout<Field<&M::cookie, 8>, Field<&M::cookie_mask, 16>, Field<&M::table_id, 24>,
           Field<&M::command, 25, 1>, Field<&M::idle_timeout, 26>, Field<&M::hard_timeout, 28>,
           Field<&M::priority, 30>, Field<&M::buffer_id, 32>, Field<&M::out_port, 36>,
           Field<&M::out_group, 40>, Field<&M::flags, 44>>;
constexpr uint32_t kFlowModMatch = 48;

using FlowRemovedLayout =
    Layout<Field<&R::cookie, 8>, Field<&R::priority, 16>, Field<&R::reason, 18>,
           Field<&R::table_id, 19>, Field<&R::duration_sec, 20>, Field<&R::duration_nsec, 24>,
           Field<&R::idle_timeout, 28>, Field<&R::hard_timeout, 30>, Field<&R::packet_count, 32>,
           Field<&R::byte_count, 40>>;
constexpr uint32_t kFlowRemovedMatch = 48;

using PacketInLayout =
    Layout<Field<&P::buffer_id, 8>, Field<&P::total_len, 12>, Field<&P::reason, 14, 1>,
           Field<&P::table_id, 15>, Field<&P::cookie, 16>>;
constexpr uint32_t kPacketInMatch = 24;
constexpr uint32_t kPacketInPad = 2;

void flow_mod_free(ofmsg_flow_mod *m) {
    ofmsg_free(OFPT_FLOW_MOD, m);
}
void packet_in_free(ofmsg_packet_in *p) {
    ofmsg_free(OFPT_PACKET_IN, p);
}

// Encodes the match at `at` and checks that it took exactly the room its length promised.
bool encode_match_at(const ofmsg_flow_match *match, Writer &w, uint32_t at) {
    if (!match) return false;
    const int n = ofmsg_flow_match_encode(match, w.from(at));
    return n > 0 && ((static_cast<uint32_t>(n) + 7u) & ~7u) == ofmsg_flow_match_padded_len(match);
}

// Allocates the message, or refuses (nothing allocated) when it would not fit 16 bits.
bool start_message(size_t len, uint8_t **buf, uint32_t *blen) {
    return len <= 0xFFFF && alloc_message(len, buf, blen);
}

int finish(bool ok, uint8_t *buf, uint32_t len, uint8_t **out_buf, uint32_t *out_len) {
    if (!ok) {
        std::free(buf);
        return -1;
    }
    *out_buf = buf;
    *out_len = len;
    return 0;
}

}  // namespace

int32_t ofmsg_flow_mod_decode(ofmsg_flow_mod **out, const Reader &msg, uint32_t *remaining) {
    if (*remaining <= 47 || msg.size() < kFlowModMatch) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return OFMSG_ERR_BAD_LEN;
    }
    *remaining -= 48;
    Guard<ofmsg_flow_mod, flow_mod_free> m(alloc_record<ofmsg_flow_mod>());
    if (!m) return OFMSG_ERR_NO_MEMORY;
    FlowModLayout::read(msg, *m.get());

    int32_t st = ofmsg_flow_match_decode(msg.from(kFlowModMatch), &m->match, remaining);
    if (st != OFMSG_DECODE_OK) {
        OFLOG(OFLOG_ERRS, " ");
        return st;
    }
    if (*remaining != 0) {
        const uint32_t at = kFlowModMatch + ofmsg_flow_match_padded_len(m->match);
        st = ofmsg_flow_instructions_decode(&m->instructions, msg.from(at), remaining);
        if (st != OFMSG_DECODE_OK) return st;
    }
    *out = m.release();
    return OFMSG_DECODE_OK;
}

int32_t ofmsg_packet_in_decode(ofmsg_packet_in **out, const Reader &msg, uint32_t *remaining) {
    if (*remaining <= 31 || msg.size() < kPacketInMatch) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return OFMSG_ERR_BAD_LEN;
    }
    *remaining -= 24;
    Guard<ofmsg_packet_in, packet_in_free> p(alloc_record<ofmsg_packet_in>());
    if (!p) return OFMSG_ERR_NO_MEMORY;
    PacketInLayout::read(msg, *p.get());

    const int32_t st = ofmsg_flow_match_decode(msg.from(kPacketInMatch), &p->match, remaining);
    if (st != OFMSG_DECODE_OK) {
        OFLOG(OFLOG_ERRS, " ");
        return st;
    }
    // The two pad bytes after the match must be there before the packet can start.
    if (*remaining < kPacketInPad) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return OFMSG_ERR_BAD_LEN;
    }
    *remaining -= kPacketInPad;
    const uint32_t at = kPacketInMatch + ofmsg_flow_match_padded_len(p->match) + kPacketInPad;
    p->data_len = *remaining;
    if (p->data_len) {
        p->data = static_cast<uint8_t *>(std::malloc(p->data_len));
        if (!p->data) return OFMSG_ERR_NO_MEMORY;
        if (!msg.bytes_at(at, p->data, p->data_len)) {
            OFLOG(OFLOG_ERRS, "Decode Error ");
            return OFMSG_ERR_BAD_LEN;
        }
    }
    *remaining = 0;
    *out = p.release();
    return OFMSG_DECODE_OK;
}

int ofmsg_flow_mod_encode(const ofmsg_flow_mod *body, uint8_t **out_buf, uint32_t *out_len) {
    if (!body || !body->match) return -1;
    const uint32_t inst_at = kFlowModMatch + ofmsg_flow_match_padded_len(body->match);
    const size_t len = size_t{inst_at} + (body->instructions ? body->instructions->len : 0u);
    uint8_t *buf = nullptr;
    uint32_t blen = 0;
    if (!start_message(len, &buf, &blen)) return -1;
    Writer w(buf, blen);
    FlowModLayout::write(w, *body);
    bool ok = encode_match_at(body->match, w, kFlowModMatch);
    if (ok && body->instructions)
        ok = ofmsg_flow_instructions_encode(body->instructions, w.from(inst_at)) >= 0;
    return finish(ok && w.ok(), buf, blen, out_buf, out_len);
}

int ofmsg_flow_removed_encode(const ofmsg_flow_removed *body, uint8_t **out_buf,
                              uint32_t *out_len) {
    if (!body || !body->match) return -1;
    const size_t len = kFlowRemovedMatch + ofmsg_flow_match_padded_len(body->match);
    uint8_t *buf = nullptr;
    uint32_t blen = 0;
    if (!start_message(len, &buf, &blen)) return -1;
    Writer w(buf, blen);
    FlowRemovedLayout::write(w, *body);
    const bool ok = encode_match_at(body->match, w, kFlowRemovedMatch);
    return finish(ok && w.ok(), buf, blen, out_buf, out_len);
}

int ofmsg_packet_in_encode(const ofmsg_packet_in *body, uint8_t **out_buf, uint32_t *out_len) {
    if (!body || !body->match || (body->data_len && !body->data)) return -1;
    const uint32_t data_at =
        kPacketInMatch + ofmsg_flow_match_padded_len(body->match) + kPacketInPad;
    const size_t len = size_t{data_at} + body->data_len;
    uint8_t *buf = nullptr;
    uint32_t blen = 0;
    if (!start_message(len, &buf, &blen)) return -1;
    Writer w(buf, blen);
    PacketInLayout::write(w, *body);
    const bool ok = encode_match_at(body->match, w, kPacketInMatch);
    if (body->data_len) w.bytes_at(data_at, body->data, body->data_len);
    const int st = finish(ok && w.ok(), buf, blen, out_buf, out_len);
    return st == 0 ? static_cast<int>(blen) : st;
}

char *ofmsg_flow_mod_print(const ofmsg_flow_mod *body, char *dst) {
    dst = print_append(dst, "{table=%u", body->table_id);
    dst = print_append(dst, ", cmd=%s", ofmsg_ofp_flow_mod_command_to_string(body->command));
    dst = print_append(dst, ", cookie=0x%llx, mask=0x%llxidle=%u, hard=%u, prio=%u, buf=%u",
                       (unsigned long long)body->cookie, (unsigned long long)body->cookie_mask,
                       body->idle_timeout, body->hard_timeout, body->priority, body->buffer_id);
    dst = print_append(dst, ", port=%u", body->out_port);
    dst = print_append(dst, ", group=%u", body->out_group);
    dst = print_append(dst, ", flags=0x%x, match={", body->flags);
    dst = ofmsg_flow_match_print(body->match, dst);
    dst = print_append(dst, ", insts={");
    if (body->instructions) dst = ofmsg_flow_instructions_print(body->instructions, dst);
    return print_append(dst, "}");
}

char *ofmsg_flow_removed_print(const ofmsg_flow_removed *body, char *dst) {
    dst = print_append(dst, "{reason=%s", ofmsg_ofp_flow_removed_reason_to_string(body->reason));
    dst = print_append(dst, ", cookie=0x%llx", (unsigned long long)body->cookie);
    dst = print_append(dst, ", priority=%u", body->priority);
    dst = print_append(dst, ", table_id=%u", body->table_id);
    dst = print_append(dst, ", duration_sec=%u, duration_nsec=%u", body->duration_sec,
                       body->duration_nsec);
    dst = print_append(dst, ", idle_timeout=%u, hard_timeout=%u", body->idle_timeout,
                       body->hard_timeout);
    dst =
        print_append(dst, ", packet_count=%llu, byte_count=%llu",
                     (unsigned long long)body->packet_count, (unsigned long long)body->byte_count);
    dst = print_append(dst, ", match={");
    dst = ofmsg_flow_match_print(body->match, dst);
    return print_append(dst, "}");
}

char *ofmsg_packet_in_print(const ofmsg_packet_in *body, char *dst) {
    dst = print_append(dst, "{buffer=%u, ", body->buffer_id);
    return print_append(dst, "tlen=%u, reas=%u, table=%u, dlen=%zu }", body->total_len,
                        body->reason, body->table_id, static_cast<size_t>(body->data_len));
}

void ofmsg_flow_mod_release(ofmsg_flow_mod *body) {
    if (body->match) ofmsg_flow_match_free(body->match);
    if (body->instructions) ofmsg_flow_instructions_free(body->instructions);
}

void ofmsg_packet_in_release(ofmsg_packet_in *body) {
    if (body->match) ofmsg_flow_match_free(body->match);
    std::free(body->data);
}

}  // namespace ofagent

extern "C" {

const char *ofmsg_ofp_flow_mod_command_to_string(uint32_t command) {
    static const char *const names[] = {"OFPFC_ADD", "OFPFC_MODIFY", "OFPFC_MODIFY_STRICT",
                                        "OFPFC_DELETE", "OFPFC_DELETE_STRICT"};
    return command < 5 ? names[command] : "unknown";
}

const char *ofmsg_ofp_flow_removed_reason_to_string(uint32_t reason) {
    static const char *const names[] = {"OFPRR_IDLE_TIMEOUT", "OFPRR_HARD_TIMEOUT", "OFPRR_DELETE",
                                        "OFPRR_GROUP_DELETE", "OFPRR_METER_DELETE"};
    return reason < 5 ? names[reason] : "unknown";
}

}  // extern "C"
