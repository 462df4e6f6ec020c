// libFuzzer target for the receive path. Oracle: every status is 0 or a documented decode
// status; a failed decode delivers nothing; a decoded message is delivered once, with a body
// for every type that has one; an echo request is answered by a reply carrying the same
// payload. Leaks are caught by LeakSanitizer, out-of-bounds access by AddressSanitizer. The
// round trip of decoded bodies through the encoders is ofmsg_roundtrip_fuzz's.
#include <cstdlib>
#include <cstring>

#include "ofmsg_capture.hpp"
#include "ofmsg_equal.hpp"

namespace {

using ofmsg_capture::fail;

bool has_body(uint8_t type) {
    return type != OFPT_HELLO && type != OFPT_FEATURES_REQUEST && type != OFPT_SET_CONFIG;
}

// The echo reply to a 24-byte request is the request with the type byte changed.
void check_echo_reply(const uint8_t *req, const void *body, uint32_t xid) {
    uint8_t *buf = nullptr;
    uint32_t len = 0;
    if (ofmsg_tx_encode(OFPT_ECHO_REPLY, body, xid, &buf, &len) != 0)
        fail("echo reply refused", 2, 0);
    if (len != 24 || buf[1] != OFPT_ECHO_REPLY || std::memcmp(buf + 8, req + 8, 16) != 0 ||
        std::memcmp(buf + 4, req + 4, 4) != 0)
        fail("echo reply differs from its request", 2, 0);
    std::free(buf);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ofmsg_capture::register_all();
    // buflen is 32 bits: larger inputs are cut rather than wrapped.
    const uint32_t len = size > 0x100000 ? 0x100000 : static_cast<uint32_t>(size);
    const int32_t st = ofmsg_capture::decode(data, len);
    const ofmsg_capture::Delivery got = ofmsg_capture::g_delivery;
    if (!ofmsg_equal::documented_status(st)) fail("undocumented status", len > 1 ? data[1] : 0, st);
    if (st != 0) {
        if (got.called) fail("failed decode delivered a body", data[1], st);
        return 0;
    }
    const uint8_t type = data[1];
    if (!got.called) fail("decoded message not delivered", type, st);
    if (has_body(type) != (got.body != nullptr)) fail("body missing or unexpected", type, st);
    if (type == OFPT_ECHO_REQUEST) check_echo_reply(data, got.body, got.xid);
    ofmsg_equal::release_body(type, got.body);
    return 0;
}
