// Transmit path: ofmsg_tx_encode runs the encoder of the type, which allocates the whole
// zero-filled message and writes everything after the header, then writes the header and
// logs the message. Also the encoders of the simple messages and of the port description.
#include <cstring>

#include "ofmsg_simple_layouts.hpp"

namespace ofagent {
namespace {

constexpr size_t kMaxMessageLen = 0xffff;  // the header's length field is 16 bits

using Encoder = int (*)(const void *body, uint8_t **out_buf, uint32_t *out_len);

// Wraps a typed encoder into the frame's uniform shape; a missing body is refused.
template <class T, int (*Encode)(const T *, uint8_t **, uint32_t *)>
int typed_encoder(const void *body, uint8_t **out_buf, uint32_t *out_len) {
    if (!body) return -1;
    return Encode(static_cast<const T *>(body), out_buf, out_len);
}

int ofmsg_header_only_encode(const void *, uint8_t **out_buf, uint32_t *out_len) {
    return alloc_message(OFP_HEADER_LEN, out_buf, out_len) ? 0 : -1;
}

int ofmsg_error_encode(const ofmsg_error *e, uint8_t **out_buf, uint32_t *out_len) {
    if (e->data_len && !e->data) return -1;
    const uint64_t len = uint64_t{kErrorHeadLen} + e->data_len;
    if (len > kMaxMessageLen) return -1;
    uint8_t *buf = nullptr;
    uint32_t n = 0;
    if (!alloc_message(static_cast<size_t>(len), &buf, &n)) return -1;
    Writer w(buf, n);
    ErrorLayout::write(w, *e);
    w.bytes_at(kErrorHeadLen, e->data, e->data_len);
    *out_buf = buf;
    *out_len = n;
    return 0;
}

int ofmsg_echo_reply_encode(const ofmsg_echo *echo, uint8_t **out_buf, uint32_t *out_len) {
    OFLOG(OFLOG_DBUG, " ");
    uint8_t *buf = nullptr;
    uint32_t n = 0;
    if (!alloc_message(kEchoLen, &buf, &n)) return -1;
    Writer w(buf, n);
    EchoLayout::write(w, *echo);
    w.bytes_at(kEchoWord32aOffset, &echo->payload32a, sizeof echo->payload32a);
    w.bytes_at(kEchoWord32bOffset, &echo->payload32b, sizeof echo->payload32b);
    *out_buf = buf;
    *out_len = n;
    OFLOG(OFLOG_DBUG, " ");
    return 0;
}

int ofmsg_switch_features_reply_encode(const ofmsg_switch_features *f, uint8_t **out_buf,
                                       uint32_t *out_len) {
    uint8_t *buf = nullptr;
    uint32_t n = 0;
    if (!alloc_message(kSwitchFeaturesLen, &buf, &n)) return -1;
    Writer w(buf, n);
    SwitchFeaturesLayout::write(w, *f);
    *out_buf = buf;
    *out_len = n;
    return 0;
}

int ofmsg_port_status_encode(const ofmsg_port_status *ps, uint8_t **out_buf, uint32_t *out_len) {
    if (!ps->desc) return -1;
    uint8_t *buf = nullptr;
    uint32_t n = 0;
    if (!alloc_message(kPortStatusLen, &buf, &n)) return -1;
    Writer w(buf, n);
    PortStatusLayout::write(w, *ps);
    ofstruct_port_encode(ps->desc, w.sub(kPortStatusHeadLen, kPortLen));
    *out_buf = buf;
    *out_len = n;
    return 0;
}

Encoder encoder_for(uint8_t type) {
    switch (type) {
        case OFPT_HELLO:
        case OFPT_FEATURES_REQUEST:
            return ofmsg_header_only_encode;
        case OFPT_ERROR:
            return typed_encoder<ofmsg_error, ofmsg_error_encode>;
        case OFPT_ECHO_REPLY:
            return typed_encoder<ofmsg_echo, ofmsg_echo_reply_encode>;
        case OFPT_EXPERIMENTER:
            return typed_encoder<ofmsg_exp, ofmsg_exp_encode>;
        case OFPT_FEATURES_REPLY:
            return typed_encoder<ofmsg_switch_features, ofmsg_switch_features_reply_encode>;
        case OFPT_PACKET_IN:
            return typed_encoder<ofmsg_packet_in, ofmsg_packet_in_encode>;
        case OFPT_FLOW_REMOVED:
            return typed_encoder<ofmsg_flow_removed, ofmsg_flow_removed_encode>;
        case OFPT_PORT_STATUS:
            return typed_encoder<ofmsg_port_status, ofmsg_port_status_encode>;
        case OFPT_FLOW_MOD:
            return typed_encoder<ofmsg_flow_mod, ofmsg_flow_mod_encode>;
        case OFPT_MULTIPART_REQUEST:
            return typed_encoder<ofmsg_multipart_request, ofmsg_multipart_request_encode>;
        case OFPT_MULTIPART_REPLY:
            return typed_encoder<ofmsg_multipart_reply, ofmsg_multipart_reply_encode>;
        default:
            return nullptr;
    }
}

}  // namespace

bool alloc_message(size_t len, uint8_t **out_buf, uint32_t *out_len) {
    if (len < OFP_HEADER_LEN || len > kMaxMessageLen) {
        OFLOG(OFLOG_ERRS, "Message length %zu out of range", len);
        return false;
    }
    auto *buf = static_cast<uint8_t *>(std::calloc(1, len));
    if (!buf) {
        OFLOG(OFLOG_ERRS, "No memory for a message of %zu bytes", len);
        return false;
    }
    *out_buf = buf;
    *out_len = static_cast<uint32_t>(len);
    return true;
}

int ofstruct_port_encode(const ofstruct_port *port, Writer dest) {
    PortLayout::write(dest, *port);
    if (port->name) dest.bytes_at(kPortNameOffset, port->name, strnlen(port->name, kPortNameLen));
    return dest.ok() ? 0 : -1;
}

}  // namespace ofagent

using namespace ofagent;

extern "C" OFAGENT_API int ofmsg_tx_encode(uint8_t type, const void *body, uint32_t xid,
                                           uint8_t **out_buf, uint32_t *out_len) {
    OFLOG(OFLOG_DBUG, " ");
    const Encoder encode = encoder_for(type);
    if (!encode || !out_buf || !out_len) {
        OFLOG(OFLOG_ERRS, "Cannot encode message type %s", ofmsg_ofp_type_to_string(type));
        return -1;
    }
    uint8_t *buf = nullptr;
    uint32_t len = 0;
    if (encode(body, &buf, &len) < 0 || !buf) {
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
    OFLOG(OFLOG_INFO, "Message encoded: len:%u, %s", len, ofmsg_print(buf, body));
    return 0;
}
