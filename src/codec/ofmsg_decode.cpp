// Receive path: ofmsg_rx_decode checks a message, runs its type's receive step, insists that
// every byte was consumed and hands the body to the host's callback. Also the receive steps
// of the simple messages and the port description shared with the multipart replies.
#include <cstring>

#include "ofmsg_simple_layouts.hpp"

namespace ofagent {
namespace {

const int32_t kBadLen = OFMSG_ERR_BAD_LEN;

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

}  // namespace

// Only the first version bitmap is looked at: later ones (and further words) are accepted.
int32_t ofmsg_hello_decode(const Reader &msg, uint32_t *remaining) {
    if (*remaining < OFP_HEADER_LEN) return OFMSG_BAD_LEN("Decode Error ");
    uint32_t off = OFP_HEADER_LEN;
    bool bitmap_seen = false;
    while (off < *remaining) {
        uint16_t type = 0, len = 0;
        if (!msg.u16_at(off, type) || !msg.u16_at(off + 2, len) || len < 4 ||
            len > *remaining - off)
            return OFMSG_BAD_LEN("Decode Error ");
        if (type != OFPHET_VERSIONBITMAP) {
            OFLOG(OFLOG_ERRS, "Unknown hello extension %d", type);
            return OFMSG_ERR_HELLO_INCOMPATIBLE;
        }
        if (!bitmap_seen) {
            uint32_t bitmap = 0;
            if (len < 8 || !msg.u32_at(off + 4, bitmap)) return OFMSG_BAD_LEN("Decode Error ");
            if (!(bitmap & (1u << OFP_VERSION))) {
                OFLOG(OFLOG_ERRS, "Version unsupported: %x", bitmap);
                return OFMSG_ERR_HELLO_INCOMPATIBLE;
            }
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
    return OFMSG_DECODE_OK;
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

// Too short to carry a type and code: -1 rather than a type/code pair, since there is
// nothing sensible to answer with.
int32_t ofmsg_error_decode(ofmsg_error **out, const Reader &msg, uint32_t *remaining) {
    if (*remaining < kErrorHeadLen) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return OFMSG_ERR_SHORT_ERROR_MSG;
    }
    Guard<ofmsg_error, free_body<OFPT_ERROR>> err(alloc_record<ofmsg_error>());
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
int32_t ofmsg_features_request_decode(const Reader &, uint32_t *remaining) {
    *remaining -= OFP_HEADER_LEN;
    return 0;
}

int32_t ofmsg_set_config_decode(const Reader &, uint32_t *remaining) {
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

int32_t ofmsg_port_status_decode(ofmsg_port_status **out, const Reader &msg, uint32_t *remaining) {
    if (*remaining < kPortStatusLen) {
        OFLOG(OFLOG_ERRS, "Decode Error ");
        return kBadLen;
    }
    *remaining -= kPortStatusHeadLen;
    Guard<ofmsg_port_status, free_body<OFPT_PORT_STATUS>> ps(alloc_record<ofmsg_port_status>());
    if (!ps) return OFMSG_ERR_NO_MEMORY;
    PortStatusLayout::read(msg, *ps.get());
    const int32_t status = ofstruct_port_decode(&ps->desc, msg.from(kPortStatusHeadLen), remaining);
    if (status) return status == OFMSG_ERR_NO_MEMORY ? status : kBadLen;
    *out = ps.release();
    return 0;
}

namespace {

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
void release_decoded(const TypeRow &row, uint8_t type, void *body) {
    if (body && row.release_decoded) row.release_decoded(body);
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
    OFLOG_HOT(OFLOG_INFO, "Received msg type:%s, len:%u", type_name(type), buflen);

    void *body = nullptr;
    // A type without a receive step is refused without consuming anything.
    const TypeRow *row = type_row(type);
    const int32_t status =
        row && row->decode ? row->decode(msg, &remaining, &body, rec) : OFMSG_ERR_UNHANDLED_TYPE;
    if (status != 0) {
        char hex[kHexDumpSize];
        unconsumed_hex(msg, buflen, remaining, hex);
        OFLOG(OFLOG_ERRS, "Error in parsing message, remaining buflen:%u content:%s", remaining,
              hex);
        return status;
    }
    if (remaining != 0) {
        release_decoded(*row, type, body);
        OFLOG(OFLOG_ERRS, "Error in parsing message, remaining buflen:%u", remaining);
        return kBadLen;
    }
    OFLOG_HOT(OFLOG_INFO, "Message decoded: %s", print_message(buf, body));
    // From here the body is the callback's; without one it is released at once.
    if (const ofmsg_rx_cb cb = msg_handler_cbs[type])
        cb(body, &rec);
    else
        release_decoded(*row, type, body);
    return 0;
}
