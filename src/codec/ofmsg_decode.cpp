// Receive path: ofmsg_rx_decode checks a message, runs its type's receive step, insists that
// every byte was consumed and hands the body to the host's callback. Also the receive steps
// of the simple messages and the port description shared with the multipart replies.
#include <cstring>

#include "ofmsg_simple_layouts.hpp"

namespace ofagent {
namespace {

const int32_t kBadLen = OFMSG_ERR_BAD_LEN;

// A receive step in the frame's uniform shape: the new body (or none) goes to *body.
using RxStep = int32_t (*)(void **body, const Reader &msg, uint32_t *remaining);

// Wraps a typed family step into the uniform shape.
template <class T, int32_t (*Step)(T **, const Reader &, uint32_t *)>
int32_t typed_step(void **body, const Reader &msg, uint32_t *remaining) {
    T *out = nullptr;
    const int32_t status = Step(&out, msg, remaining);
    if (status == 0) *body = out;
    return status;
}

// Hex text of the bytes that were not consumed: two digits per byte, as many bytes as fit
// with the terminating NUL (255 of them).
constexpr size_t kHexDumpSize = 512;

void ofmsg_hex_dump(const Reader &bytes, char (&out)[kHexDumpSize]) {
    static const char kDigits[] = "0123456789abcdef";
    size_t n = 0;
    for (size_t i = 0; i < bytes.size() && n + 3 <= kHexDumpSize; i++) {
        uint8_t b = 0;
        bytes.u8_at(i, b);
        out[n++] = kDigits[b >> 4];
        out[n++] = kDigits[b & 0xf];
    }
    out[n] = '\0';
}

int32_t check_version_bitmap(const Reader &msg, size_t off, uint16_t elem_len) {
    uint32_t bitmap = 0;
    if (elem_len < 8 || !msg.u32_at(off + 4, bitmap)) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return kBadLen;
    }
    if (!(bitmap & (1u << OFP_VERSION))) {
        OFLOG(OFLOG_ERRS, "Version unsupported: %x", bitmap);
        return OFMSG_ERR_HELLO_INCOMPATIBLE;
    }
    return 0;
}

// Only the first version bitmap is looked at: later ones (and further words) are accepted.
int32_t ofmsg_hello_decode(const Reader &msg, uint32_t *remaining) {
    if (*remaining < OFP_HEADER_LEN) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return kBadLen;
    }
    uint32_t off = OFP_HEADER_LEN;
    bool bitmap_seen = false;
    while (off < *remaining) {
        uint16_t type = 0, len = 0;
        if (!msg.u16_at(off, type) || !msg.u16_at(off + 2, len) || len < 4 ||
            len > *remaining - off) {
            OFLOG(OFLOG_ERRS, "Decode Error ");
            return kBadLen;
        }
        if (type != 1) {
            OFLOG(OFLOG_ERRS, "Unknown hello extension %d", type);
            return OFMSG_ERR_HELLO_INCOMPATIBLE;
        }
        if (!bitmap_seen) {
            const int32_t status = check_version_bitmap(msg, off, len);
            if (status) return status;
            bitmap_seen = true;
        }
        OFLOG(OFLOG_DBUG, " len before = %d struc len %d , buflen %d \n", static_cast<int>(off),
              len, static_cast<int>(*remaining));
        off += len;
        OFLOG(OFLOG_DBUG, " len after = %d \n", static_cast<int>(off));
    }
    OFLOG(OFLOG_DBUG, "len:%u, buflen %u buflen %d ", off, *remaining,
          static_cast<int>(*remaining));
    *remaining -= off;
    OFLOG(OFLOG_DBUG, "after len:%u, buflen %u buflen %d", off, *remaining,
          static_cast<int>(*remaining));
    return 0;
}

int32_t ofmsg_hello_step(void **, const Reader &msg, uint32_t *remaining) {
    return ofmsg_hello_decode(msg, remaining);
}

int32_t ofmsg_echo_request_decode(ofmsg_echo **out, const Reader &msg, uint32_t *remaining) {
    if (*remaining < kEchoLen) {
        OFLOG(OFLOG_ERRS, "Decode Error buflen %d, total size %d ", static_cast<int>(*remaining),
              static_cast<int>(kEchoLen));
        return kBadLen;
    }
    PlainGuard<ofmsg_echo> echo(alloc_record<ofmsg_echo>());
    if (!echo) return OFMSG_ERR_NO_MEMORY;
    if (!EchoLayout::read(msg, *echo.get()) ||
        !msg.bytes_at(kEchoWord32aOffset, &echo->payload32a, sizeof echo->payload32a) ||
        !msg.bytes_at(kEchoWord32bOffset, &echo->payload32b, sizeof echo->payload32b)) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return kBadLen;
    }
    *remaining -= kEchoLen;
    *out = echo.release();
    return 0;
}

void error_free(ofmsg_error *e) {
    std::free(e->data);
    std::free(e);
}

// Too short to carry a type and code: -1 rather than a type/code pair, since there is
// nothing sensible to answer with.
int32_t ofmsg_error_decode(ofmsg_error **out, const Reader &msg, uint32_t *remaining) {
    if (*remaining < kErrorHeadLen) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return OFMSG_ERR_SHORT_ERROR_MSG;
    }
    Guard<ofmsg_error, error_free> err(alloc_record<ofmsg_error>());
    if (!err) return OFMSG_ERR_NO_MEMORY;
    const uint32_t data_len = *remaining - kErrorHeadLen;
    if (data_len) {
        err->data = static_cast<uint8_t *>(std::malloc(data_len));
        if (!err->data) return OFMSG_ERR_NO_MEMORY;
    }
    if (!ErrorLayout::read(msg, *err.get()) || !msg.bytes_at(kErrorHeadLen, err->data, data_len)) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return kBadLen;
    }
    err->data_len = data_len;
    *remaining = 0;
    *out = err.release();
    return 0;
}

// Neither length is checked here: any other length leaves a count that the frame rejects.
int32_t ofmsg_features_request_decode(void **, const Reader &, uint32_t *remaining) {
    *remaining -= OFP_HEADER_LEN;
    return 0;
}

int32_t ofmsg_set_config_decode(void **, const Reader &, uint32_t *remaining) {
    *remaining -= kSetConfigLen;
    return 0;
}

int32_t ofmsg_switch_features_reply_decode(ofmsg_switch_features **out, const Reader &msg,
                                           uint32_t *remaining) {
    if (*remaining < kSwitchFeaturesLen) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return kBadLen;
    }
    PlainGuard<ofmsg_switch_features> f(alloc_record<ofmsg_switch_features>());
    if (!f) return OFMSG_ERR_NO_MEMORY;
    if (!SwitchFeaturesLayout::read(msg, *f.get())) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return kBadLen;
    }
    *remaining -= kSwitchFeaturesLen;
    *out = f.release();
    return 0;
}

void port_status_free(ofmsg_port_status *ps) {
    ofmsg_free(OFPT_PORT_STATUS, ps);
}

int32_t ofmsg_port_status_decode(ofmsg_port_status **out, const Reader &msg, uint32_t *remaining) {
    if (*remaining < kPortStatusLen) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return kBadLen;
    }
    Guard<ofmsg_port_status, port_status_free> ps(alloc_record<ofmsg_port_status>());
    if (!ps) return OFMSG_ERR_NO_MEMORY;
    if (!PortStatusLayout::read(msg, *ps.get())) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return kBadLen;
    }
    uint32_t left = *remaining - kPortStatusHeadLen;
    const int32_t status = ofstruct_port_decode(&ps->desc, msg.from(kPortStatusHeadLen), &left);
    if (status) return status == OFMSG_ERR_NO_MEMORY ? status : kBadLen;
    *remaining = left;
    *out = ps.release();
    return 0;
}

const RxStep kRxSteps[OFMSG_NUM_TYPES] = {
    /* 0 */ ofmsg_hello_step,
    /* 1 */ typed_step<ofmsg_error, ofmsg_error_decode>,
    /* 2 */ typed_step<ofmsg_echo, ofmsg_echo_request_decode>,
    /* 3 */ nullptr,
    /* 4 */ typed_step<ofmsg_exp, ofmsg_exp_decode>,
    /* 5 */ ofmsg_features_request_decode,
    /* 6 */ typed_step<ofmsg_switch_features, ofmsg_switch_features_reply_decode>,
    /* 7 */ nullptr,
    /* 8 */ nullptr,
    /* 9 */ ofmsg_set_config_decode,
    /* 10 */ typed_step<ofmsg_packet_in, ofmsg_packet_in_decode>,
    /* 11 */ nullptr,
    /* 12 */ typed_step<ofmsg_port_status, ofmsg_port_status_decode>,
    /* 13 */ nullptr,
    /* 14 */ typed_step<ofmsg_flow_mod, ofmsg_flow_mod_decode>,
    /* 15..17 */ nullptr,
    nullptr,
    nullptr,
    /* 18 */ typed_step<ofmsg_multipart_request, ofmsg_multipart_request_decode>,
    /* 19 */ typed_step<ofmsg_multipart_reply, ofmsg_multipart_reply_decode>,
};

// Runs the receive step of the type. A flow-removed is accepted here and consumes nothing,
// so the leftover check rejects it; a type without a step is refused outright.
int32_t run_step(uint8_t type, const Reader &msg, uint32_t *remaining, void **body) {
    if (type == OFPT_FLOW_REMOVED) return 0;
    const RxStep step = type < OFMSG_NUM_TYPES ? kRxSteps[type] : nullptr;
    if (!step) return ofmsg_decode_status(OFPET_BAD_REQUEST, 10);
    return step(body, msg, remaining);
}

void set_record_body(ofmsg &rec, uint8_t type, void *body) {
    switch (type) {
        case OFPT_ERROR:
            rec.error = static_cast<ofmsg_error *>(body);
            break;
        case OFPT_ECHO_REQUEST:
            rec.echo_request = static_cast<ofmsg_echo *>(body);
            break;
        case OFPT_EXPERIMENTER:
            rec.exp = static_cast<ofmsg_exp *>(body);
            break;
        case OFPT_FEATURES_REPLY:
            rec.features_reply = static_cast<ofmsg_switch_features *>(body);
            break;
        case OFPT_PACKET_IN:
            rec.packet_in = static_cast<ofmsg_packet_in *>(body);
            break;
        case OFPT_PORT_STATUS:
            rec.port_status = static_cast<ofmsg_port_status *>(body);
            break;
        case OFPT_FLOW_MOD:
            rec.flow_mod = static_cast<ofmsg_flow_mod *>(body);
            break;
        case OFPT_MULTIPART_REQUEST:
            rec.multipart_request = static_cast<ofmsg_multipart_request *>(body);
            break;
        case OFPT_MULTIPART_REPLY:
            rec.multipart_reply = static_cast<ofmsg_multipart_reply *>(body);
            break;
        default:
            break;
    }
}

// The bytes from offset buflen - remaining on as hex; nothing when the count is above the
// message length, rather than bytes outside it.
void unconsumed_hex(const Reader &msg, uint32_t buflen, uint32_t remaining,
                    char (&hex)[kHexDumpSize]) {
    if (remaining == 0) {
        std::strcpy(hex, "<eom>");
        return;
    }
    ofmsg_hex_dump(remaining <= buflen ? msg.from(buflen - remaining) : Reader(), hex);
}

// A body the library releases itself (left over, or no callback) takes everything it holds.
void release_decoded(uint8_t type, void *body) {
    if (type == OFPT_MULTIPART_REPLY && body)
        ofmsg_multipart_reply_release_decoded(static_cast<ofmsg_multipart_reply *>(body));
    ofmsg_free(type, body);
}

}  // namespace

int32_t ofstruct_port_decode(ofstruct_port **out, const Reader &entry, uint32_t *remaining) {
    if (*remaining < kPortLen || !entry.has(0, kPortLen)) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return kBadLen;
    }
    Guard<ofstruct_port, ofstruct_port_free> port(alloc_record<ofstruct_port>());
    if (!port) return OFMSG_ERR_NO_MEMORY;
    char name[kPortNameLen + 1] = {};
    PortLayout::read(entry, *port.get());
    entry.bytes_at(kPortNameOffset, name, kPortNameLen);
    const size_t name_len = strnlen(name, kPortNameLen);
    port->name = static_cast<char *>(std::malloc(name_len + 1));
    if (!port->name) return OFMSG_ERR_NO_MEMORY;
    std::memcpy(port->name, name, name_len);
    port->name[name_len] = '\0';
    *remaining -= kPortLen;
    *out = port.release();
    return 0;
}

}  // namespace ofagent

using namespace ofagent;

extern "C" OFAGENT_API int32_t ofmsg_rx_decode(void *ctx, const uint8_t *buf, uint32_t buflen) {
    if (!buf) buflen = 0;
    if (buflen < OFP_HEADER_LEN) {
        OFLOG(OFLOG_ERRS, "Bad message received, buflen:%u", buflen);
        return kBadLen;
    }
    if (buf[0] != OFP_VERSION) {
        OFLOG(OFLOG_ERRS, "Bad message received, version: %x", buf[0]);
        return OFMSG_ERR_HELLO_INCOMPATIBLE;
    }
    const Reader msg(buf, buflen);
    const uint8_t type = buf[1];
    ofmsg rec{};
    rec.ctx = ctx;
    msg.u32_at(4, rec.xid);
    uint32_t remaining = buflen;
    OFLOG(OFLOG_INFO, "Received msg type:%s, len:%u", ofmsg_ofp_type_to_string(type), buflen);

    void *body = nullptr;
    const int32_t status = run_step(type, msg, &remaining, &body);
    if (status != 0) {
        char hex[kHexDumpSize];
        unconsumed_hex(msg, buflen, remaining, hex);
        OFLOG(OFLOG_ERRS, "Error in parsing message, remaining buflen:%u content:%s", remaining,
              hex);
        return status;
    }
    if (remaining != 0) {
        release_decoded(type, body);
        OFLOG(OFLOG_ERRS, "Error in parsing message, remaining buflen:%u", remaining);
        return kBadLen;
    }
    set_record_body(rec, type, body);
    OFLOG(OFLOG_INFO, "Message decoded: %s", ofmsg_print(buf, body));
    // From here the body is the callback's; without one it is released at once.
    const ofmsg_rx_cb cb = type < OFMSG_NUM_TYPES ? msg_handler_cbs[type] : nullptr;
    if (cb)
        cb(body, &rec);
    else
        release_decoded(type, body);
    return 0;
}
