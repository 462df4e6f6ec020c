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

constexpr const char *kTypeNames[OFMSG_NUM_TYPES] = {
    "OFPT_HELLO",
    "OFPT_ERROR",
    "OFPT_ECHO_REQUEST",
    "OFPT_ECHO_REPLY",
    "OFPT_EXPERIMENTER",
    "OFPT_FEATURES_REQUEST",
    "OFPT_FEATURES_REPLY",
    "OFPT_GET_CONFIG_REQUEST",
    "OFPT_GET_CONFIG_REPLY",
    "OFPT_SET_CONFIG",
    "OFPT_PACKET_IN",
    "OFPT_FLOW_REMOVED",
    "OFPT_PORT_STATUS",
    "OFPT_PACKET_OUT",
    "OFPT_FLOW_MOD",
    "OFPT_GROUP_MOD",
    "OFPT_PORT_MOD",
    "OFPT_TABLE_MOD",
    "OFPT_MULTIPART_REQUEST",
    "OFPT_MULTIPART_REPLY",
    "OFPT_BARRIER_REQUEST",
    "OFPT_BARRIER_REPLY",
    "OFPT_QUEUE_GET_CONFIG_REQUEST",
    "OFPT_QUEUE_GET_CONFIG_REPLY",
    "OFPT_ROLE_REQUEST",
    "OFPT_ROLE_REPLY",
    "OFPT_GET_ASYNC_REQUEST",
    "OFPT_GET_ASYNC_REPLY",
    "OFPT_SET_ASYNC",
    "OFPT_METER_MOD",
};

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

// The quote characters in these formats are part of the established log format.
char *ofmsg_error_print(const ofmsg_error *e, char *dst) {
    dst = print_append(dst, "{type=%u", e->type);
    dst = print_append(dst, "\", code=%u", e->code);
    return print_append(dst, "\", dlen=\"%zu\"}", static_cast<size_t>(e->data_len));
}

char *ofmsg_switch_features_print(const ofmsg_switch_features *f, char *dst) {
    return print_append(dst, "{dpid=0x%llx, buffs=%u, tabs=%u, aux_id=%u, caps=0x%x}",
                        static_cast<unsigned long long>(f->datapath_id), f->n_buffers, f->n_tables,
                        f->auxiliary_id, f->capabilities);
}

char *ofmsg_port_status_print(const ofmsg_port_status *ps, char *dst) {
    dst = print_append(dst, "{reason=%s, desc=", port_reason_to_string(ps->reason));
    if (ps->desc) dst = ofstruct_port_print(ps->desc, dst);
    return print_append(dst, "}");
}

char *print_body(uint8_t type, const void *body, char *dst) {
    switch (type) {
        case OFPT_ERROR:
            return ofmsg_error_print(static_cast<const ofmsg_error *>(body), dst);
        case OFPT_FEATURES_REPLY:
            return ofmsg_switch_features_print(static_cast<const ofmsg_switch_features *>(body),
                                               dst);
        case OFPT_PORT_STATUS:
            return ofmsg_port_status_print(static_cast<const ofmsg_port_status *>(body), dst);
        case OFPT_EXPERIMENTER:
            return ofmsg_exp_print(static_cast<const ofmsg_exp *>(body), dst);
        case OFPT_PACKET_IN:
            return ofmsg_packet_in_print(static_cast<const ofmsg_packet_in *>(body), dst);
        case OFPT_FLOW_REMOVED:
            return ofmsg_flow_removed_print(static_cast<const ofmsg_flow_removed *>(body), dst);
        case OFPT_FLOW_MOD:
            return ofmsg_flow_mod_print(static_cast<const ofmsg_flow_mod *>(body), dst);
        case OFPT_MULTIPART_REQUEST:
            return ofmsg_multipart_request_print(static_cast<const ofmsg_multipart_request *>(body),
                                                 dst);
        case OFPT_MULTIPART_REPLY:
            return ofmsg_multipart_reply_print(static_cast<const ofmsg_multipart_reply *>(body),
                                               dst);
        default:
            return dst;
    }
}

void ofmsg_error_release(ofmsg_error *e) {
    std::free(e->data);
}

void ofmsg_port_status_release(ofmsg_port_status *ps) {
    ofstruct_port_free(ps->desc);
    ps->desc = nullptr;
}

uint32_t header_u16(const uint8_t *hdr, size_t off) {
    return (uint32_t{hdr[off]} << 8) | hdr[off + 1];
}

uint32_t header_u32(const uint8_t *hdr, size_t off) {
    return (uint32_t{hdr[off]} << 24) | (uint32_t{hdr[off + 1]} << 16) |
           (uint32_t{hdr[off + 2]} << 8) | hdr[off + 3];
}

}  // namespace

char *ofstruct_port_print(const ofstruct_port *p, char *dst) {
    dst = print_append(dst, "{no=%u", p->port_no);
    dst = print_append(dst,
                       ", hw_addr= %02x:%02x:%02x:%02x:%02x:%02x , name=%s, config=0x%x, "
                       "state=0x%x, curr=0x%x, adv=0x%x, supp=0x%x, peer=0x%x, curr_spd=",
                       p->hw_addr[0], p->hw_addr[1], p->hw_addr[2], p->hw_addr[3], p->hw_addr[4],
                       p->hw_addr[5], p->name ? p->name : "", p->config, p->state, p->curr,
                       p->advertised, p->supported, p->peer);
    dst = print_append(dst, "\"%ukbps\"", p->curr_speed);
    return print_append(dst, ", max_spd=\"%ukbps\"}", p->max_speed);
}

void ofstruct_port_free(ofstruct_port *port) {
    if (!port) return;
    std::free(port->name);
    std::free(port);
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
    return static_cast<int32_t>(header_u16(hdr, 2));
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
    switch (type) {
        case OFPT_HELLO:
        case OFPT_ERROR:
        case OFPT_EXPERIMENTER:
        case OFPT_FEATURES_REQUEST:
        case OFPT_FEATURES_REPLY:
        case OFPT_PACKET_IN:
        case OFPT_PORT_STATUS:
        case OFPT_FLOW_MOD:
        case OFPT_MULTIPART_REQUEST:
        case OFPT_MULTIPART_REPLY:
            return true;
        default:
            return false;
    }
}

OFAGENT_API bool ofmsg_ofpmp_type_supported(uint32_t type) {
    return type == OFPMP_FLOW || type == OFPMP_PORT_DESC;
}

OFAGENT_API const char *ofmsg_ofp_type_to_string(uint32_t type) {
    return type < OFMSG_NUM_TYPES ? kTypeNames[type] : "unknown";
}

OFAGENT_API char *ofmsg_print(const uint8_t *hdr, const void *body) {
    std::memset(ofmsg_print_buf, 0, sizeof ofmsg_print_buf);
    if (!hdr) return ofmsg_print_buf;
    char *dst = print_append(ofmsg_print_buf, "{type=%s, length=%d, xid = %d}",
                             ofmsg_ofp_type_to_string(hdr[1]), static_cast<int>(header_u16(hdr, 2)),
                             static_cast<int32_t>(header_u32(hdr, 4)));
    // A family printer needs a complete record; a missing one prints the header only.
    if (body) print_body(hdr[1], body, dst);
    return ofmsg_print_buf;
}

OFAGENT_API void ofmsg_free(uint32_t type, void *body) {
    if (!body) return;
    switch (static_cast<uint8_t>(type)) {
        case OFPT_ERROR:
            ofmsg_error_release(static_cast<ofmsg_error *>(body));
            break;
        case OFPT_PORT_STATUS:
            ofmsg_port_status_release(static_cast<ofmsg_port_status *>(body));
            break;
        case OFPT_EXPERIMENTER:
            ofmsg_exp_release(static_cast<ofmsg_exp *>(body));
            break;
        case OFPT_PACKET_IN:
            ofmsg_packet_in_release(static_cast<ofmsg_packet_in *>(body));
            break;
        case OFPT_FLOW_MOD:
            ofmsg_flow_mod_release(static_cast<ofmsg_flow_mod *>(body));
            break;
        case OFPT_MULTIPART_REQUEST:
            ofmsg_multipart_request_free(static_cast<ofmsg_multipart_request *>(body));
            break;
        case OFPT_MULTIPART_REPLY:
            ofmsg_multipart_reply_free(static_cast<ofmsg_multipart_reply *>(body));
            break;
        default:
            break;
    }
    std::free(body);
}

}  // extern "C"
