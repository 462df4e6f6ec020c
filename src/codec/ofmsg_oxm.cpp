// OXM match: field table, builders, decoder, encoder, printer and release.
#include <arpa/inet.h>

#include <array>
#include <cstring>
#include <string_view>

#include "ofmsg_internal.hpp"

namespace ofagent {
namespace {

enum class Kind : uint8_t { None, U8, U16, U32, U64, Eth, Ipv6 };

struct FieldInfo {
    uint8_t field;
    std::string_view name;
    Kind kind;
    uint8_t width;           // value bytes
    bool maskable;           // the decoder reads, the encoder writes, a mask after the value
    bool settable;           // a set-field action carries it
    uint32_t header;         // plain header word, 0 when the field has none
    uint32_t masked_header;  // 0 when the field has no masked form
};

constexpr bool kMask = true, kSet = true;

// Every field the codec knows: the nineteen match slots and the four set-field-only fields.
constexpr FieldInfo kFields[] = {
    {OXM_OF_IN_PORT, "OXM_OF_IN_PORT", Kind::U32, 4, kMask, false, 0x80000004u, 0},
    {OXM_OF_METADATA, "OXM_OF_METADATA", Kind::U64, 8, kMask, false, 0, 0},
    {OXM_OF_ETH_DST, "OXM_OF_ETH_DST", Kind::Eth, 6, kMask, kSet, 0x80000606u, 0x8000070Cu},
    {OXM_OF_ETH_SRC, "OXM_OF_ETH_SRC", Kind::Eth, 6, kMask, kSet, 0x80000806u, 0x8000090Cu},
    {OXM_OF_ETH_TYPE, "OXM_OF_ETH_TYPE", Kind::U16, 2, false, false, 0x80000A02u, 0},
    {OXM_OF_VLAN_VID, "OXM_OF_VLAN_VID", Kind::U16, 2, false, kSet, 0x80000C02u, 0x80000D04u},
    {OXM_OF_VLAN_PCP, "OXM_OF_VLAN_PCP", Kind::U8, 1, false, kSet, 0x80000E01u, 0},
    {OXM_OF_IP_DSCP, "OXM_OF_IP_DSCP", Kind::U8, 1, false, kSet, 0x80001001u, 0},
    {OXM_OF_IP_ECN, "OXM_OF_IP_ECN", Kind::U8, 1, false, kSet, 0x80001201u, 0},
    {OXM_OF_IP_PROTO, "OXM_OF_IP_PROTO", Kind::U8, 1, false, false, 0x80001401u, 0},
    {OXM_OF_IPV4_SRC, "OXM_OF_IPV4_SRC", Kind::U32, 4, kMask, false, 0x80001604u, 0x80001708u},
    {OXM_OF_IPV4_DST, "OXM_OF_IPV4_DST", Kind::U32, 4, kMask, false, 0x80001804u, 0x80001908u},
    {OXM_OF_TCP_SRC, "OXM_OF_TCP_SRC", Kind::U16, 2, false, false, 0x80001A02u, 0},
    {OXM_OF_TCP_DST, "OXM_OF_TCP_DST", Kind::U16, 2, false, false, 0x80001C02u, 0},
    {OXM_OF_UDP_SRC, "OXM_OF_UDP_SRC", Kind::U16, 2, false, false, 0x80001E02u, 0},
    {OXM_OF_UDP_DST, "OXM_OF_UDP_DST", Kind::U16, 2, false, false, 0x80002002u, 0},
    {OXM_OF_ICMPV4_TYPE, "OXM_OF_ICMPV4_TYPE", Kind::U8, 1, false, false, 0x80002601u, 0},
    {OXM_OF_ICMPV4_CODE, "OXM_OF_ICMPV4_CODE", Kind::U8, 1, false, false, 0x80002801u, 0},
    {OXM_OF_IPV6_SRC, "OXM_OF_IPV6_SRC", Kind::Ipv6, 16, kMask, false, 0x80003410u, 0x80003520u},
    {OXM_OF_IPV6_DST, "OXM_OF_IPV6_DST", Kind::Ipv6, 16, kMask, false, 0x80003610u, 0x80003720u},
    {OXM_OF_ICMPV6_TYPE, "OXM_OF_ICMPV6_TYPE", Kind::U8, 1, false, false, 0x80003A01u, 0},
    {OXM_OF_ICMPV6_CODE, "OXM_OF_ICMPV6_CODE", Kind::U8, 1, false, false, 0x80003C01u, 0},
};

constexpr uint32_t kFieldNumbers = 64;  // OXM field numbers are 7 bits; the known ones are below

// Field number -> its row, built when the library is.
constexpr auto kByField = [] {
    std::array<const FieldInfo *, kFieldNumbers> t{};
    for (const FieldInfo &f : kFields)
        t[f.field] = &f;
    return t;
}();

const FieldInfo *field_info(uint32_t field) {
    return field < kFieldNumbers ? kByField[field] : nullptr;
}

// The field that slot idx carries (the slot order is the public header's), or null for index 4
// and out-of-range indexes.
const FieldInfo *slot_info(uint32_t idx) {
    return field_info(of_match_oxm_from_idx_to_oxm(idx));
}

void tlv_free(ofmsg_match_tlv *tlv) {
    if (!tlv) return;
    std::free(tlv->value);
    std::free(tlv);
}

uint32_t tlv_wire_bytes(const ofmsg_match_tlv *tlv) {
    return 4 + OFOXM_LENGTH(tlv->header);
}

// Stores a TLV into its slot. The header is normalised so that its length byte and has-mask bit
// describe exactly the bytes the encoder will write: the value, plus the mask only for maskable
// kinds. A kind that does not carry a mask on the wire (8/16-bit) keeps the mask in its buffer
// but is announced and encoded as a plain value. A builder of the wrong kind for the slot, a
// header naming another field, or an allocation failure leaves the match unchanged.
void store_tlv(ofmsg_flow_match *match, uint32_t idx, uint32_t header, Kind kind, const void *value,
               const void *mask) {
    const FieldInfo *info = slot_info(idx);
    if (!match || !info || info->kind != kind || OFOXM_FIELD(header) != info->field) return;
    const bool masked = mask != nullptr && info->maskable;
    const size_t stored = mask ? 2u * info->width : info->width;
    const uint32_t payload = masked ? 2u * info->width : info->width;

    PlainGuard<ofmsg_match_tlv> tlv(alloc_record<ofmsg_match_tlv>());
    if (!tlv) return;
    tlv->value = static_cast<uint8_t *>(std::malloc(stored));
    if (!tlv->value) {
        return;
    }
    std::memcpy(tlv->value, value, info->width);
    if (mask) std::memcpy(tlv->value + info->width, mask, info->width);
    tlv->header = (header & 0xFFFFFE00u) | (masked ? 0x100u : 0u) | payload;

    ofmsg_match_tlv *old = match->tlvs[idx];
    uint32_t length = match->length;
    if (old) {
        length -= tlv_wire_bytes(old) <= length ? tlv_wire_bytes(old) : length;
        tlv_free(old);
    }
    match->length = static_cast<uint16_t>(length + 4 + payload);
    match->tlvs[idx] = tlv.release();
}

// Calls fn(idx, tlv) for every filled slot, in index order. A match fills few of its slots, so
// they are looked at four at a time: four empty ones cost one test.
template <class Fn>
inline void for_each_tlv(const ofmsg_flow_match *m, Fn fn) {
    constexpr uint32_t n = OFOXM_IDX_COUNT;
    const auto bits = [m](uint32_t i) { return reinterpret_cast<uintptr_t>(m->tlvs[i]); };
    for (uint32_t b = 0; b + 4 <= n; b += 4) {
        if ((bits(b) | bits(b + 1) | bits(b + 2) | bits(b + 3)) == 0) continue;
        for (uint32_t i = b; i < b + 4; i++)
            if (m->tlvs[i]) fn(i, m->tlvs[i]);
    }
    for (uint32_t i = n / 4 * 4; i < n; i++)
        if (m->tlvs[i]) fn(i, m->tlvs[i]);
}

bool tlv_consistent(const ofmsg_match_tlv *tlv, const FieldInfo *info) {
    if (!tlv->value || OFOXM_FIELD(tlv->header) != info->field) return false;
    const bool masked = info->maskable && OFOXM_HASMASK(tlv->header);
    return OFOXM_LENGTH(tlv->header) == (masked ? 2u * info->width : info->width);
}

// ---- Decoding ----------------------------------------------------------------------------

// Reads one TLV's payload (value, then mask when present) into the builder of its kind.
void build_from_wire(ofmsg_flow_match *m, uint32_t idx, uint32_t header, const FieldInfo &f,
                     const Reader &payload) {
    const bool masked = f.maskable && OFOXM_HASMASK(header);
    switch (f.kind) {
        case Kind::U8: {
            uint8_t v = 0;
            payload.u8_at(0, v);
            ofmsg_match_tlv_create_8_value(m, idx, header, v);
            break;
        }
        case Kind::U16: {
            uint16_t v = 0;
            payload.u16_at(0, v);
            ofmsg_match_tlv_create_16_value(m, idx, header, v);
            break;
        }
        case Kind::U32: {
            uint32_t v = 0, k = 0;
            payload.u32_at(0, v);
            if (!masked) return ofmsg_match_tlv_create_32_value(m, idx, header, v);
            payload.u32_at(4, k);
            ofmsg_match_tlv_create_32_value_mask(m, idx, header, v, k);
            break;
        }
        case Kind::U64: {
            uint64_t v = 0, k = 0;
            payload.u64_at(0, v);
            if (!masked) return ofmsg_match_tlv_create_64_value(m, idx, header, v);
            payload.u64_at(8, k);
            ofmsg_match_tlv_create_64_value_mask(m, idx, header, v, k);
            break;
        }
        case Kind::Eth:
        case Kind::Ipv6: {
            uint8_t v[16] = {0}, k[16] = {0};
            payload.bytes_at(0, v, f.width);
            if (masked) payload.bytes_at(f.width, k, f.width);
            if (f.kind == Kind::Eth)
                masked ? ofmsg_match_tlv_create_eth_value_mask(m, idx, header, v, k)
                       : ofmsg_match_tlv_create_eth_value(m, idx, header, v);
            else
                masked ? ofmsg_match_tlv_create_ipv6_value_mask(m, idx, header, v, k)
                       : ofmsg_match_tlv_create_ipv6_value(m, idx, header, v);
            break;
        }
        case Kind::None:
            break;
    }
}

// ---- Printing ----------------------------------------------------------------------------

// Dotted decimal, as inet_ntop writes an IPv4 address.
template <text::Format Label>
void print_ipv4(Out &out, uint32_t host_order) {
    put<Label>(out);
    put<"%u.%u.%u.%u">(out, host_order >> 24, (host_order >> 16) & 0xff, (host_order >> 8) & 0xff,
                       host_order & 0xff);
}

template <text::Format Label>
void print_ipv6(Out &out, const uint8_t *addr) {
    put<Label>(out);
    text::put_ipv6(out, addr);
}

void print_tlv(Out &out, const ofmsg_match_tlv *tlv, const FieldInfo &f) {
    // The name and a value that is one number make one piece of text.
    const text::Str name{f.name.data(), f.name.size()};
    const bool masked = OFOXM_HASMASK(tlv->header) && f.maskable;
    const uint8_t *v = tlv->value;
    switch (f.kind) {
        case Kind::U8:
            return put<"{type=%s, value=%u">(out, name, v[0]);
        case Kind::U16: {
            uint16_t x;
            std::memcpy(&x, v, 2);
            return put<"{type=%s, value=%u">(out, name, x);
        }
        case Kind::U64: {
            uint64_t x;
            std::memcpy(&x, v, 8);
            return put<"{type=%s, value=0x%llx">(out, name, static_cast<unsigned long long>(x));
        }
        case Kind::U32: {
            uint32_t x;
            std::memcpy(&x, v, 4);
            if (f.field == OXM_OF_IN_PORT) return put<"{type=%s, value=%u">(out, name, x);
            put<"{type=%s">(out, name);
            print_ipv4<", value=">(out, x);
            if (!masked) return;
            std::memcpy(&x, v + 4, 4);
            return print_ipv4<", mask=">(out, x);
        }
        case Kind::Ipv6:
            put<"{type=%s">(out, name);
            print_ipv6<", value=">(out, v);
            if (masked) print_ipv6<", mask=">(out, v + 16);
            return;
        case Kind::Eth:
            put<"{type=%s, value= %02x:%02x:%02x:%02x:%02x:%02x  ">(out, name, v[0], v[1], v[2],
                                                                    v[3], v[4], v[5]);
            if (masked)
                put<", mask= %02x:%02x:%02x:%02x:%02x:%02x ">(out, v[6], v[7], v[8], v[9], v[10],
                                                              v[11]);
            return;
        case Kind::None:
            return put<"{type=%s">(out, name);
    }
}

// ---- Encoding ----------------------------------------------------------------------------

void write_tlv(Writer &w, const ofmsg_match_tlv *tlv, const FieldInfo &f) {
    w.u32(tlv->header);
    const uint8_t *v = tlv->value;
    const int parts = (f.maskable && OFOXM_HASMASK(tlv->header)) ? 2 : 1;
    for (int p = 0; p < parts; p++, v += f.width) {
        switch (f.kind) {
            case Kind::U8:
                w.u8(v[0]);
                break;
            case Kind::U16: {
                uint16_t x;
                std::memcpy(&x, v, 2);
                w.u16(x);
                break;
            }
            case Kind::U32: {
                uint32_t x;
                std::memcpy(&x, v, 4);
                w.u32(x);
                break;
            }
            case Kind::U64: {
                uint64_t x;
                std::memcpy(&x, v, 8);
                w.u64(x);
                break;
            }
            case Kind::Eth:
            case Kind::Ipv6:
                w.bytes(v, f.width);
                break;
            case Kind::None:
                break;
        }
    }
}

}  // namespace

text::Str oxm_field_name(uint32_t field) {
    const FieldInfo *f = field_info(field);
    return f ? text::Str{f->name.data(), f->name.size()} : text::lit("unknown");
}

const char *ofmsg_oxm_field_to_string(uint32_t field) {
    return oxm_field_name(field).s;
}

uint32_t ofmsg_oxm_set_field_width(uint32_t field) {
    const FieldInfo *f = field_info(field);
    return f && f->settable ? f->width : 0;
}

int32_t ofmsg_flow_match_decode(const Reader &wire_match, ofmsg_flow_match **ofm,
                                uint32_t *remaining) {
    uint16_t type = 0, wire_len = 0;
    if (!wire_match.u16_at(0, type) || type != OFPMT_OXM) {
        OFLOG(OFLOG_DBUG, "Decode Error ");
        return OFMSG_ERR_BAD_LEN;
    }
    wire_match.u16_at(2, wire_len);
    const uint32_t padded = round8(wire_len);
    if (wire_len < 4 || padded > *remaining || !wire_match.has(0, wire_len))
        return OFMSG_BAD_LEN("Decode Error ");
    Guard<ofmsg_flow_match, ofmsg_flow_match_free> m(ofmsg_match_create());
    if (!m) return OFMSG_ERR_NO_MEMORY;
    m->type = type;
    *remaining -= padded;

    uint32_t left = wire_len - 4u;
    size_t pos = 4;
    while (left > 4) {
        uint32_t header = 0;
        wire_match.u32_at(pos, header);
        const uint32_t plen = OFOXM_LENGTH(header);
        if (plen == 0 || plen + 4 > left) return OFMSG_BAD_LEN("Decode Error ");
        if ((header >> 16) != OFPXMC_OPENFLOW_BASIC) {
            OFLOG(OFLOG_ERRS, "Unsupported OXM class 0x%x", (unsigned)(header >> 16));
            return OFMSG_ERR_MATCH_BAD_FIELD;
        }
        const uint32_t field = OFOXM_FIELD(header);
        const int idx = ofoxm_from_oxm_to_idx(field);
        if (idx < 0) {
            OFLOG(OFLOG_ERRS, "field:%d", (int)field);
            return OFMSG_ERR_MATCH_BAD_FIELD;
        }
        const FieldInfo &f = *slot_info(static_cast<uint32_t>(idx));
        const bool masked = f.maskable && OFOXM_HASMASK(header);
        if (plen != (masked ? 2u * f.width : f.width)) {
            OFLOG(OFLOG_ERRS, "OXM %s payload length %u", f.name.data(), (unsigned)plen);
            return OFMSG_ERR_MATCH_BAD_LEN;
        }
        if (m->tlvs[idx]) {
            OFLOG(OFLOG_ERRS, "OXM %s repeated", f.name.data());
            return OFMSG_ERR_MATCH_DUP_FIELD;
        }
        Reader payload;
        wire_match.sub(pos + 4, plen, payload);
        build_from_wire(m.get(), static_cast<uint32_t>(idx), header, f, payload);
        if (!m->tlvs[idx]) return OFMSG_ERR_NO_MEMORY;
        left -= plen + 4;
        pos += plen + 4;
    }
    if (left != 0) return OFMSG_BAD_LEN("Decode Error ");
    *ofm = m.release();
    return OFMSG_DECODE_OK;
}

bool ofmsg_flow_match_encode(const ofmsg_flow_match *match, Writer dest) {
    if (match->type != OFPMT_OXM) return false;
    Writer tlvs = dest.from(4);
    for (uint32_t idx = 0; idx < OFOXM_IDX_COUNT; idx++) {
        const ofmsg_match_tlv *tlv = match->tlvs[idx];
        if (!tlv) continue;
        const FieldInfo *f = slot_info(idx);
        // A TLV that does not belong to its slot is a host error: refuse rather than emit it.
        if (!f || !tlv_consistent(tlv, f)) return false;
        write_tlv(tlvs, tlv, *f);
    }
    const uint32_t n = static_cast<uint32_t>(tlvs.pos());
    // The TLVs must fill exactly the room the match's `length` promised the message.
    if (!tlvs.ok() || round8(4 + n) != dest.size()) return false;
    dest.u16_at(0, match->type);
    dest.u16_at(2, static_cast<uint16_t>(4 + n));
    dest.zeros_at(4 + n, dest.size() - (4 + n));
    return dest.ok();
}

uint32_t ofmsg_flow_match_padded_len(const ofmsg_flow_match *match) {
    return round8(uint32_t{match->length} + 4u);
}

void ofmsg_flow_match_print(const ofmsg_flow_match *match, Out &out) {
    if (!match || match->type != OFPMT_OXM) return;
    put<"oxm{">(out);
    for_each_tlv(match, [&](uint32_t idx, const ofmsg_match_tlv *tlv) {
        const FieldInfo *f = slot_info(idx);
        if (f && tlv_consistent(tlv, f)) print_tlv(out, tlv, *f);
    });
    put<"}">(out);
}

}  // namespace ofagent

using ofagent::Kind;
using ofagent::store_tlv;

extern "C" {

uint32_t ofoxm_header_value(uint32_t field, uint8_t mask_flag) {
    const ofagent::FieldInfo *f = ofagent::field_info(field);
    if (!f) return 0;
    return (mask_flag == 1 && f->masked_header) ? f->masked_header : f->header;
}

ofmsg_flow_match *ofmsg_match_create(void) {
    ofmsg_flow_match *m = ofagent::alloc_record<ofmsg_flow_match>();
    if (m) m->type = OFPMT_OXM;
    return m;
}

void ofmsg_match_tlv_create_8_value(ofmsg_flow_match *match, uint32_t idx, uint32_t header,
                                    uint8_t value) {
    store_tlv(match, idx, header, Kind::U8, &value, nullptr);
}

void ofmsg_match_tlv_create_8_value_mask(ofmsg_flow_match *match, uint32_t idx, uint32_t header,
                                         uint8_t value, uint8_t mask) {
    store_tlv(match, idx, header, Kind::U8, &value, &mask);
}

void ofmsg_match_tlv_create_16_value(ofmsg_flow_match *match, uint32_t idx, uint32_t header,
                                     uint16_t value) {
    store_tlv(match, idx, header, Kind::U16, &value, nullptr);
}

void ofmsg_match_tlv_create_16_value_mask(ofmsg_flow_match *match, uint32_t idx, uint32_t header,
                                          uint16_t value, uint16_t mask) {
    store_tlv(match, idx, header, Kind::U16, &value, &mask);
}

void ofmsg_match_tlv_create_32_value(ofmsg_flow_match *match, uint32_t idx, uint32_t header,
                                     uint32_t value) {
    store_tlv(match, idx, header, Kind::U32, &value, nullptr);
}

void ofmsg_match_tlv_create_32_value_mask(ofmsg_flow_match *match, uint32_t idx, uint32_t header,
                                          uint32_t value, uint32_t mask) {
    store_tlv(match, idx, header, Kind::U32, &value, &mask);
}

void ofmsg_match_tlv_create_64_value(ofmsg_flow_match *match, uint32_t idx, uint32_t header,
                                     uint64_t value) {
    store_tlv(match, idx, header, Kind::U64, &value, nullptr);
}

void ofmsg_match_tlv_create_64_value_mask(ofmsg_flow_match *match, uint32_t idx, uint32_t header,
                                          uint64_t value, uint64_t mask) {
    store_tlv(match, idx, header, Kind::U64, &value, &mask);
}

void ofmsg_match_tlv_create_eth_value(ofmsg_flow_match *match, uint32_t idx, uint32_t header,
                                      const uint8_t *value) {
    if (value) store_tlv(match, idx, header, Kind::Eth, value, nullptr);
}

void ofmsg_match_tlv_create_eth_value_mask(ofmsg_flow_match *match, uint32_t idx, uint32_t header,
                                           const uint8_t *value, const uint8_t *mask) {
    if (value && mask) store_tlv(match, idx, header, Kind::Eth, value, mask);
}

void ofmsg_match_tlv_create_ipv6_value(ofmsg_flow_match *match, uint32_t idx, uint32_t header,
                                       const uint8_t *value) {
    if (value) store_tlv(match, idx, header, Kind::Ipv6, value, nullptr);
}

void ofmsg_match_tlv_create_ipv6_value_mask(ofmsg_flow_match *match, uint32_t idx, uint32_t header,
                                            const uint8_t *value, const uint8_t *mask) {
    if (value && mask) store_tlv(match, idx, header, Kind::Ipv6, value, mask);
}

void ofmsg_flow_match_free(ofmsg_flow_match *match) {
    if (!match) return;
    ofagent::for_each_tlv(match, [](uint32_t, ofmsg_match_tlv *tlv) { ofagent::tlv_free(tlv); });
    std::free(match);
}

}  // extern "C"
