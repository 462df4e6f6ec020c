// Shared pieces of the codec: the callback table, header checks, transaction ids, type
// names, and the print and release frames with the simple messages' printers and releases.
#include <sys/time.h>

#include <cstring>

#include "ofmsg_internal.hpp"

extern "C" {
OFAGENT_API ofmsg_rx_cb msg_handler_cbs[OFMSG_NUM_TYPES];
OFAGENT_API char ofmsg_print_buf[OFMSG_PRINT_BUF_SIZE];
}

namespace ofagent {
namespace {

const char *port_reason_to_string(uint32_t reason) {
    switch (reason) {
        case OFPPR_ADD:
            return "OFPPR_ADD";
        case OFPPR_DELETE:
            return "OFPPR_DELETE";
        case OFPPR_MODIFY:
            return "OFPPR_MODIFY";
        default:
            return "unknown";
    }
}

}  // namespace

// The quote characters in these formats are part of the established log format.
void ofmsg_error_print(const ofmsg_error *e, Out &out) {
    put<"{type=%u">(out, e->type);
    put<"\", code=%u">(out, e->code);
    put<"\", dlen=\"%zu\"}">(out, static_cast<size_t>(e->data_len));
}

void ofmsg_switch_features_print(const ofmsg_switch_features *f, Out &out) {
    put<"{dpid=0x%llx, buffs=%u, tabs=%u, aux_id=%u, caps=0x%x}">(
        out, static_cast<unsigned long long>(f->datapath_id), f->n_buffers, f->n_tables,
        f->auxiliary_id, f->capabilities);
}

void ofmsg_port_status_print(const ofmsg_port_status *ps, Out &out) {
    put<"{reason=%s, desc=">(out, port_reason_to_string(ps->reason));
    if (ps->desc) ofstruct_port_print(ps->desc, out);
    put<"}">(out);
}

void ofmsg_error_release(ofmsg_error *e) {
    std::free(e->data);
}

void ofmsg_port_status_release(ofmsg_port_status *ps) {
    ofstruct_port_free(ps->desc);
    ps->desc = nullptr;
}

void ofstruct_port_print(const ofstruct_port *p, Out &out) {
    put<"{no=%u">(out, p->port_no);
    put<", hw_addr= %02x:%02x:%02x:%02x:%02x:%02x , name=%s, config=0x%x, state=0x%x, "
        "curr=0x%x, adv=0x%x, supp=0x%x, peer=0x%x, curr_spd=">(
        out, p->hw_addr[0], p->hw_addr[1], p->hw_addr[2], p->hw_addr[3], p->hw_addr[4],
        p->hw_addr[5], p->name ? p->name : "", p->config, p->state, p->curr, p->advertised,
        p->supported, p->peer);
    put<"\"%ukbps\"">(out, p->curr_speed);
    put<", max_spd=\"%ukbps\"}">(out, p->max_speed);
}

void ofstruct_port_free(ofstruct_port *port) {
    if (!port) return;
    std::free(port->name);
    std::free(port);
}

text::Str print_message(const uint8_t *hdr, const void *body) {
    // The buffer reads as if cleared whole before each text: only what the previous text used
    // can hold anything, so only that is cleared after this one.
    static size_t previous_len;
    Out out{ofmsg_print_buf, ofmsg_print_buf + OFMSG_PRINT_BUF_SIZE - 1};
    if (hdr) {
        const Reader h(hdr, OFP_HEADER_LEN);
        uint16_t len = 0;
        uint32_t xid = 0;
        h.u16_at(2, len);
        h.u32_at(4, xid);
        put<"{type=%s, length=%d, xid = %d}">(out, type_name(hdr[1]), static_cast<int>(len),
                                              static_cast<int32_t>(xid));
        // A family printer needs a complete record; a missing one prints the header only.
        const TypeRow *row = type_row(hdr[1]);
        if (body && row && row->print) row->print(body, out);
    }
    const size_t len = static_cast<size_t>(out.finish() - ofmsg_print_buf);
    if (previous_len > len) std::memset(out.pos + 1, 0, previous_len - len);
    previous_len = len;
    return text::Str{ofmsg_print_buf, len};
}

}  // namespace ofagent

using namespace ofagent;

extern "C" {

OFAGENT_API void ofmsg_register_callbacks(const ofmsg_rx_cb *table) {
    for (size_t i = 0; i < OFMSG_NUM_TYPES; i++)
        msg_handler_cbs[i] = table ? table[i] : nullptr;
}

OFAGENT_API bool ofmsg_validate_header(const uint8_t *hdr) {
    if (!hdr) {
        OFLOG(OFLOG_ERRS, "Invalid of header: no header");
        return false;
    }
    if (hdr[0] == OFP_VERSION && hdr[1] <= OFPT_METER_MOD) return true;
    OFLOG(OFLOG_ERRS, "Invalid of header: version %d, type %d", hdr[0], hdr[1]);
    return false;
}

OFAGENT_API int32_t ofmsg_payload_len(const uint8_t *hdr) {
    if (!ofmsg_validate_header(hdr)) return -1;
    uint16_t len = 0;
    Reader(hdr, OFP_HEADER_LEN).u16_at(2, len);
    return len;
}

OFAGENT_API int32_t ofmsg_generate_xid(void) {
    // Seeded once, on first use; a failed clock read leaves rand() unseeded for good.
    static uint8_t seeded;
    if (seeded != 1) {
        seeded = 1;
        struct timeval tv;
        if (gettimeofday(&tv, nullptr) >= 0)
            srand(static_cast<unsigned>(tv.tv_sec) ^ static_cast<unsigned>(tv.tv_usec));
    }
    return static_cast<int32_t>(rand());
}

OFAGENT_API bool ofmsg_ofpt_type_supported(uint32_t type) {
    const TypeRow *row = type_row(type);
    return row && row->supported;
}

OFAGENT_API bool ofmsg_ofpmp_type_supported(uint32_t type) {
    return type == OFPMP_FLOW || type == OFPMP_PORT_DESC;
}

OFAGENT_API const char *ofmsg_ofp_type_to_string(uint32_t type) {
    return type_name(type).s;
}

OFAGENT_API char *ofmsg_print(const uint8_t *hdr, const void *body) {
    return const_cast<char *>(print_message(hdr, body).s);
}

OFAGENT_API void ofmsg_free(uint32_t type, void *body) {
    if (!body) return;
    const TypeRow *row = type_row(static_cast<uint8_t>(type));
    if (row && row->release) row->release(body);
    std::free(body);
}

}  // extern "C"
