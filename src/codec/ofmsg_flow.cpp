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
constexpr uint32_t kEmptyMatchLen = 8;  // an ofp_match without TLVs, padded
constexpr uint32_t kPacketInMin = kPacketInMatch + kEmptyMatchLen;

// Encodes the match at `at`, where it takes exactly the padded length its `length` promises.
bool encode_match_at(const ofmsg_flow_match *match, Writer &w, uint32_t at) {
    return match && ofmsg_flow_match_encode(match, w.sub(at, ofmsg_flow_match_padded_len(match)));
}

}  // namespace

int32_t ofmsg_flow_mod_decode(ofmsg_flow_mod **out, const Reader &msg, uint32_t *remaining) {
    if (*remaining < kFlowModMatch || msg.size() < kFlowModMatch)
        return OFMSG_BAD_LEN("Decode Error ");
    *remaining -= kFlowModMatch;
    Guard<ofmsg_flow_mod, free_body<OFPT_FLOW_MOD>> m(alloc_record<ofmsg_flow_mod>());
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
    if (*remaining < kPacketInMin || msg.size() < kPacketInMatch)
        return OFMSG_BAD_LEN("Decode Error ");
    *remaining -= kPacketInMatch;
    Guard<ofmsg_packet_in, free_body<OFPT_PACKET_IN>> p(alloc_record<ofmsg_packet_in>());
    if (!p) return OFMSG_ERR_NO_MEMORY;
    PacketInLayout::read(msg, *p.get());

    const int32_t st = ofmsg_flow_match_decode(msg.from(kPacketInMatch), &p->match, remaining);
    if (st != OFMSG_DECODE_OK) {
        OFLOG(OFLOG_ERRS, " ");
        return st;
    }
    // The two pad bytes after the match must be there before the packet can start.
    if (*remaining < kPacketInPad) return OFMSG_BAD_LEN("Decode Error ");
    *remaining -= kPacketInPad;
    const uint32_t at = kPacketInMatch + ofmsg_flow_match_padded_len(p->match) + kPacketInPad;
    p->data_len = *remaining;
    if (p->data_len) {
        p->data = static_cast<uint8_t *>(std::malloc(p->data_len));
        if (!p->data) return OFMSG_ERR_NO_MEMORY;
        if (!msg.bytes_at(at, p->data, p->data_len)) return OFMSG_BAD_LEN("Decode Error ");
    }
    *remaining = 0;
    *out = p.release();
    return OFMSG_DECODE_OK;
}

int ofmsg_flow_mod_encode(const ofmsg_flow_mod *body, uint8_t **out_buf, uint32_t *out_len) {
    if (!body->match) return -1;
    const uint32_t inst_at = kFlowModMatch + ofmsg_flow_match_padded_len(body->match);
    const size_t len = size_t{inst_at} + (body->instructions ? body->instructions->len : 0u);
    return encode_message(len, out_buf, out_len, [&](Writer &w) {
        FlowModLayout::write(w, *body);
        return encode_match_at(body->match, w, kFlowModMatch) &&
               (!body->instructions ||
                ofmsg_flow_instructions_encode(body->instructions, w.from(inst_at)));
    });
}

int ofmsg_flow_removed_encode(const ofmsg_flow_removed *body, uint8_t **out_buf,
                              uint32_t *out_len) {
    if (!body->match) return -1;
    const size_t len = kFlowRemovedMatch + ofmsg_flow_match_padded_len(body->match);
    return encode_message(len, out_buf, out_len, [&](Writer &w) {
        FlowRemovedLayout::write(w, *body);
        return encode_match_at(body->match, w, kFlowRemovedMatch);
    });
}

int ofmsg_packet_in_encode(const ofmsg_packet_in *body, uint8_t **out_buf, uint32_t *out_len) {
    if (!body->match || (body->data_len && !body->data)) return -1;
    const uint32_t data_at =
        kPacketInMatch + ofmsg_flow_match_padded_len(body->match) + kPacketInPad;
    return encode_message(size_t{data_at} + body->data_len, out_buf, out_len, [&](Writer &w) {
        PacketInLayout::write(w, *body);
        w.bytes_at(data_at, body->data, body->data_len);
        return encode_match_at(body->match, w, kPacketInMatch);
    });
}

namespace {
text::Str flow_mod_command_name(uint32_t command) {
    static constexpr text::Str kNames[] = {
        text::lit("OFPFC_ADD"), text::lit("OFPFC_MODIFY"), text::lit("OFPFC_MODIFY_STRICT"),
        text::lit("OFPFC_DELETE"), text::lit("OFPFC_DELETE_STRICT")};
    return command < 5 ? kNames[command] : text::lit("unknown");
}
}  // namespace

void ofmsg_flow_mod_print(const ofmsg_flow_mod *body, Out &out) {
    put<"{table=%u, cmd=%s, cookie=0x%llx, mask=0x%llxidle=%u, hard=%u, prio=%u, buf=%u, "
        "port=%u, group=%u, flags=0x%x, match={">(
        out, body->table_id, flow_mod_command_name(body->command), (unsigned long long)body->cookie,
        (unsigned long long)body->cookie_mask, body->idle_timeout, body->hard_timeout,
        body->priority, body->buffer_id, body->out_port, body->out_group, body->flags);
    ofmsg_flow_match_print(body->match, out);
    put<", insts={">(out);
    if (body->instructions) ofmsg_flow_instructions_print(body->instructions, out);
    return put<"}">(out);
}

void ofmsg_flow_removed_print(const ofmsg_flow_removed *body, Out &out) {
    put<"{reason=%s">(out, ofmsg_ofp_flow_removed_reason_to_string(body->reason));
    put<", cookie=0x%llx">(out, (unsigned long long)body->cookie);
    put<", priority=%u">(out, body->priority);
    put<", table_id=%u">(out, body->table_id);
    put<", duration_sec=%u, duration_nsec=%u">(out, body->duration_sec, body->duration_nsec);
    put<", idle_timeout=%u, hard_timeout=%u">(out, body->idle_timeout, body->hard_timeout);
    put<", packet_count=%llu, byte_count=%llu">(out, (unsigned long long)body->packet_count,
                                                (unsigned long long)body->byte_count);
    put<", match={">(out);
    ofmsg_flow_match_print(body->match, out);
    return put<"}">(out);
}

void ofmsg_packet_in_print(const ofmsg_packet_in *body, Out &out) {
    put<"{buffer=%u, ">(out, body->buffer_id);
    return put<"tlen=%u, reas=%u, table=%u, dlen=%zu }">(
        out, body->total_len, body->reason, body->table_id, static_cast<size_t>(body->data_len));
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
    return ofagent::flow_mod_command_name(command).s;
}

const char *ofmsg_ofp_flow_removed_reason_to_string(uint32_t reason) {
    static const char *const names[] = {"OFPRR_IDLE_TIMEOUT", "OFPRR_HARD_TIMEOUT", "OFPRR_DELETE",
                                        "OFPRR_GROUP_DELETE", "OFPRR_METER_DELETE"};
    return reason < 5 ? names[reason] : "unknown";
}

}  // extern "C"
