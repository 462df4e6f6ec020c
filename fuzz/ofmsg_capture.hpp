// What the codec fuzz targets share: every receive callback registered to capture the body it
// is handed, and the oracle's failure report.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "ofmsg.h"

namespace ofmsg_capture {

struct Delivery {
    bool called;
    void *body;
    uint32_t xid;
};

inline Delivery g_delivery;

inline void capture(void *body, ofmsg *msg) {
    g_delivery.called = true;
    g_delivery.body = body;
    g_delivery.xid = msg->xid;
}

// Registers capture for every type, once. With OFAGENT_FUZZ_LOG set in the environment the
// library's log lines go to stderr (for reproducing a finding).
inline void register_all() {
    static bool registered = false;
    if (registered) return;
    if (std::getenv("OFAGENT_FUZZ_LOG"))
        oflog_init(
            nullptr, 0, [](int, const char *line) { std::fprintf(stderr, "%s\n", line); }, nullptr);
    ofmsg_rx_cb table[OFMSG_NUM_TYPES];
    for (auto &slot : table)
        slot = capture;
    ofmsg_register_callbacks(table);
    registered = true;
}

// Decodes len bytes with a fresh capture: the status, and what was delivered in g_delivery.
inline int32_t decode(const uint8_t *bytes, uint32_t len) {
    g_delivery = Delivery{};
    return ofmsg_rx_decode(nullptr, bytes, len);
}

[[noreturn]] inline void fail(const char *what, uint8_t type, int32_t st) {
    std::fprintf(stderr, "oracle: %s (type %u, status 0x%08x)\n", what, type,
                 static_cast<unsigned>(st));
    std::abort();
}

}  // namespace ofmsg_capture
