// libFuzzer target for the round trip of received messages. Every message that decodes and
// whose type has an encoder is encoded again (it must be, unless too long for the header's
// 16-bit length), and the result decoded again (it must decode, to an equal record, with the
// same xid), printed with both records (the two lines must be equal and end inside the print
// buffer) and encoded once more (the bytes must not change).
#include <cstdlib>
#include <cstring>
#include <string>

#include "ofmsg_capture.hpp"
#include "ofmsg_equal.hpp"

namespace {

using ofmsg_capture::fail;

// Echo requests are answered as replies (not decodable), set-config and flow-removed have no
// encoder, and of the multipart requests only port-description requests are ever sent.
bool encodable(uint8_t type, const void *body) {
    switch (type) {
        case OFPT_ECHO_REQUEST:
        case OFPT_SET_CONFIG:
            return false;
        case OFPT_MULTIPART_REQUEST:
            return static_cast<const ofmsg_multipart_request *>(body)->type == OFPMP_PORT_DESC;
        default:
            return true;
    }
}

// ofmsg_print's line, checked to end inside the buffer.
std::string print(const uint8_t *bytes, const void *body, uint8_t type) {
    const char *text = ofmsg_print(bytes, body);
    const size_t n = strnlen(text, OFMSG_PRINT_BUF_SIZE);
    if (text != ofmsg_print_buf || n >= OFMSG_PRINT_BUF_SIZE) fail("print overran", type, 0);
    return std::string(text, n);
}

struct Encoded {
    uint8_t *buf = nullptr;
    uint32_t len = 0;
    ~Encoded() { std::free(buf); }
};

void round_trip(uint8_t type, const void *body, uint32_t xid, size_t size) {
    Encoded first;
    const int rc = ofmsg_tx_encode(type, body, xid, &first.buf, &first.len);
    if (rc != 0) {
        if (size <= 0xffff) fail("decoded body refused by its encoder", type, rc);
        return;
    }
    const std::string line = print(first.buf, body, type);
    const int32_t st = ofmsg_capture::decode(first.buf, first.len);
    const ofmsg_capture::Delivery again = ofmsg_capture::g_delivery;
    if (st != 0 || !again.called) fail("re-encoded message does not decode", type, st);
    if (again.xid != xid) fail("xid changed", type, 0);
    if (!ofmsg_equal::body_eq(type, body, again.body)) fail("record changed", type, 0);
    if (print(first.buf, again.body, type) != line) fail("prints differ", type, 0);
    Encoded second;
    if (ofmsg_tx_encode(type, again.body, xid, &second.buf, &second.len) != 0)
        fail("second encode refused", type, 0);
    if (second.len != first.len || std::memcmp(second.buf, first.buf, first.len) != 0)
        fail("second encode differs", type, 0);
    ofmsg_equal::release_body(type, again.body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ofmsg_capture::register_all();
    const uint32_t len = size > 0x100000 ? 0x100000 : static_cast<uint32_t>(size);
    if (ofmsg_capture::decode(data, len) != 0) return 0;
    const ofmsg_capture::Delivery got = ofmsg_capture::g_delivery;
    const uint8_t type = data[1];
    if (got.body && encodable(type, got.body)) round_trip(type, got.body, got.xid, len);
    if (!got.body && (type == OFPT_HELLO || type == OFPT_FEATURES_REQUEST))
        round_trip(type, nullptr, got.xid, len);
    ofmsg_equal::release_body(type, got.body);
    return 0;
}
