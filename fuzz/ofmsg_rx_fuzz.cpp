// libFuzzer target for the receive path. Oracle: every status is 0 or a documented decode
// status; a decoded body of an encodable type encodes again and decodes to an equal record;
// an echo request is answered by a reply carrying the same payload. Leaks are caught by
// LeakSanitizer, out-of-bounds access by AddressSanitizer.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ofmsg.h"
#include "ofmsg_equal.hpp"

namespace {

struct Delivery {
    bool called;
    void *body;
    uint32_t xid;
};

Delivery g_delivery;

void capture(void *body, ofmsg *msg) {
    g_delivery.called = true;
    g_delivery.body = body;
    g_delivery.xid = msg->xid;
}

void register_all() {
    ofmsg_rx_cb table[OFMSG_NUM_TYPES];
    for (auto &slot : table)
        slot = capture;
    ofmsg_register_callbacks(table);
}

[[noreturn]] void fail(const char *what, uint8_t type, int32_t st) {
    std::fprintf(stderr, "oracle: %s (type %u, status 0x%08x)\n", what, type,
                 static_cast<unsigned>(st));
    std::abort();
}

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

// Multipart requests are received in several kinds but only port-description requests are
// ever sent: the others have no encoder.
bool encodable(uint8_t type, const void *body) {
    if (type != OFPT_MULTIPART_REQUEST) return true;
    return static_cast<const ofmsg_multipart_request *>(body)->type == OFPMP_PORT_DESC;
}

// Encodes the body again and decodes the result: the record must come back equal.
void check_round_trip(uint8_t type, const void *body, uint32_t xid, size_t size) {
    if (!encodable(type, body)) return;
    uint8_t *buf = nullptr;
    uint32_t len = 0;
    const int rc = ofmsg_tx_encode(type, body, xid, &buf, &len);
    if (rc != 0) {
        // Only a message too long for the header's length field may be refused.
        if (size <= 0xffff) fail("decoded body refused by its encoder", type, rc);
        return;
    }
    g_delivery = Delivery{};
    const int32_t st = ofmsg_rx_decode(nullptr, buf, len);
    if (st != 0 || !g_delivery.called) fail("re-encoded message does not decode", type, st);
    if (g_delivery.xid != xid) fail("xid changed", type, 0);
    if (!ofmsg_equal::body_eq(type, body, g_delivery.body)) fail("record changed", type, 0);
    ofmsg_equal::release_body(type, g_delivery.body);
    std::free(buf);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool registered = false;
    if (!registered) {
        register_all();
        registered = true;
    }
    // buflen is 32 bits: larger inputs are cut rather than wrapped.
    const uint32_t len = size > 0x100000 ? 0x100000 : static_cast<uint32_t>(size);
    g_delivery = Delivery{};
    const int32_t st = ofmsg_rx_decode(nullptr, data, len);
    if (!ofmsg_equal::documented_status(st)) fail("undocumented status", len > 1 ? data[1] : 0, st);
    if (st != 0) {
        if (g_delivery.called) fail("failed decode delivered a body", data[1], st);
        return 0;
    }
    if (!g_delivery.called) fail("decoded message not delivered", data[1], st);
    const uint8_t type = data[1];
    const Delivery first = g_delivery;
    if (has_body(type) && !first.body) fail("body missing", type, st);
    if (type == OFPT_ECHO_REQUEST)
        check_echo_reply(data, first.body, first.xid);
    else if (type != OFPT_SET_CONFIG)
        check_round_trip(type, first.body, first.xid, len);
    ofmsg_equal::release_body(type, first.body);
    return 0;
}
