// Transmit path: ofmsg_tx_encode runs the encoder of the type, which allocates the whole
// zero-filled message and writes everything after the header, then writes the header and
// logs the message. Also the encoders of the simple messages and of the port description.
#include <cstring>

#include "ofmsg_simple_layouts.hpp"

namespace ofagent {

bool alloc_message(size_t len, uint8_t **out_buf, uint32_t *out_len) {
    if (len < OFP_HEADER_LEN || len > 0xffff) {  // the header's length field is 16 bits
        OFLOG(OFLOG_ERRS, "Message length %zu out of range", len);
        return false;
    }
    auto *buf = static_cast<uint8_t *>(alloc_zeroed(len));
    if (!buf) {
        OFLOG(OFLOG_ERRS, "No memory for a message of %zu bytes", len);
        return false;
    }
    *out_buf = buf;
    *out_len = static_cast<uint32_t>(len);
    return true;
}

int ofmsg_header_only_encode(uint8_t **out_buf, uint32_t *out_len) {
    return encode_message(OFP_HEADER_LEN, out_buf, out_len, [](Writer &) { return true; });
}

int ofmsg_error_encode(const ofmsg_error *e, uint8_t **out_buf, uint32_t *out_len) {
    if (e->data_len && !e->data) return -1;
    return encode_message(size_t{kErrorHeadLen} + e->data_len, out_buf, out_len, [&](Writer &w) {
        ErrorLayout::write(w, *e);
        w.bytes_at(kErrorHeadLen, e->data, e->data_len);
        return true;
    });
}

int ofmsg_echo_reply_encode(const ofmsg_echo *echo, uint8_t **out_buf, uint32_t *out_len) {
    // An echo is answered every few seconds on every connection: its lines are hot ones.
    OFLOG_HOT(OFLOG_DBUG, " ");
    const int rc = encode_message(kEchoLen, out_buf, out_len, [&](Writer &w) {
        EchoLayout::write(w, *echo);
        w.bytes_at(kEchoWord32aOffset, &echo->payload32a, sizeof echo->payload32a);
        w.bytes_at(kEchoWord32bOffset, &echo->payload32b, sizeof echo->payload32b);
        return true;
    });
    OFLOG_HOT(OFLOG_DBUG, " ");
    return rc;
}

int ofmsg_switch_features_reply_encode(const ofmsg_switch_features *f, uint8_t **out_buf,
                                       uint32_t *out_len) {
    return encode_message(kSwitchFeaturesLen, out_buf, out_len, [&](Writer &w) {
        SwitchFeaturesLayout::write(w, *f);
        return true;
    });
}

int ofmsg_port_status_encode(const ofmsg_port_status *ps, uint8_t **out_buf, uint32_t *out_len) {
    if (!ps->desc) return -1;
    return encode_message(kPortStatusLen, out_buf, out_len, [&](Writer &w) {
        PortStatusLayout::write(w, *ps);
        return ofstruct_port_encode(ps->desc, w.sub(kPortStatusHeadLen, kPortLen));
    });
}

bool ofstruct_port_encode(const ofstruct_port *port, Writer dest) {
    PortLayout::write(dest, *port);
    if (port->name) dest.bytes_at(kPortNameOffset, port->name, strnlen(port->name, kPortNameLen));
    return dest.ok();
}

}  // namespace ofagent

using namespace ofagent;

extern "C" OFAGENT_API int ofmsg_tx_encode(uint8_t type, const void *body, uint32_t xid,
                                           uint8_t **out_buf, uint32_t *out_len) {
    OFLOG_HOT(OFLOG_DBUG, " ");
    const TypeRow *row = type_row(type);
    if (!row || !row->encode || !out_buf || !out_len) {
        OFLOG(OFLOG_ERRS, "Cannot encode message type %s", ofmsg_ofp_type_to_string(type));
        return -1;
    }
    uint8_t *buf = nullptr;
    uint32_t len = 0;
    if (row->encode(body, &buf, &len) < 0) {
        OFLOG(OFLOG_ERRS, "Message type %s not encoded", ofmsg_ofp_type_to_string(type));
        return -1;
    }
    Writer header(buf, OFP_HEADER_LEN);
    header.u8_at(0, OFP_VERSION);
    header.u8_at(1, type);
    header.u16_at(2, static_cast<uint16_t>(len));
    header.u32_at(4, xid);
    *out_buf = buf;
    *out_len = len;
    OFLOG_HOT(OFLOG_INFO, "Message encoded: len:%u, %s", len, print_message(buf, body));
    return 0;
}
