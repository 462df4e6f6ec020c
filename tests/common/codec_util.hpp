// Helpers of the codec tests: hex text, whole messages, encoding to bytes, and a receive
// harness that keeps what reached the callbacks.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../../fuzz/ofmsg_equal.hpp"
#include "ofmsg.h"
#include "tools.hpp"

namespace codec {

using Bytes = std::vector<uint8_t>;
using testtools::LogCapture;

inline Bytes hex(const std::string &text) {  // blanks ignored
    Bytes out;
    std::string d;
    for (char c : text)
        if (c != ' ' && c != '\n') d += c;
    for (size_t i = 0; i + 1 < d.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(d.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string to_hex(const uint8_t *b, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += {d[b[i] >> 4], d[b[i] & 15]};
    return s;
}
inline std::string to_hex(const Bytes &b) {
    return to_hex(b.data(), b.size());
}

// The message with its header (version 4, the type, the length of it all, xid).
inline Bytes message(uint8_t type, const Bytes &body, uint32_t xid = 1) {
    Bytes m(8 + body.size());
    const uint32_t head[] = {
        4, type, uint32_t(m.size() >> 8), uint32_t(m.size()), xid >> 24, xid >> 16, xid >> 8, xid};
    for (size_t i = 0; i < m.size(); i++)
        m[i] = i < 8 ? uint8_t(head[i]) : body[i - 8];
    return m;
}

// A flow-mod's fixed part (cookie 1, priority 0x8000, no buffer, any port and group), and the
// empty match that may follow it.
inline const std::string kFlowModFixed =
    "0000000000000001 0000000000000000 00 00 0000 0000 8000 ffffffff ffffffff ffffffff 0000 0000";
inline const std::string kEmptyMatch = "0001000400000000";

// Bytes of the encoded message; empty when the encoder refused.
inline Bytes encode(uint8_t type, const void *body, uint32_t xid = 0x01020304) {
    uint8_t *buf = nullptr;
    uint32_t len = 0;
    if (ofmsg_tx_encode(type, body, xid, &buf, &len) != 0 || !buf) return {};
    Bytes out(buf, buf + len);
    std::free(buf);
    return out;
}

// The text ofmsg_print gives the body, after the header's own "{...}".
inline std::string body_text(const Bytes &msg, const void *body) {
    const std::string text = ofmsg_print(msg.data(), body);
    return text.substr(text.find('}') + 1);
}

// Decodes with a capturing callback on every type (or none); keeps the delivered body until
// the next decode or destruction. Every delivery is checked: the record's field of the
// message's type holds the body, and every other field is null.
class Rx {
   public:
    explicit Rx(bool with_callbacks = true) {
        ofmsg_rx_cb table[OFMSG_NUM_TYPES] = {};
        if (with_callbacks)
            for (auto &cb : table)
                cb = capture;
        ofmsg_register_callbacks(table);
    }
    ~Rx() {
        drop();
        ofmsg_rx_cb none[OFMSG_NUM_TYPES] = {};
        ofmsg_register_callbacks(none);
    }
    int32_t decode(const Bytes &msg, void *ctx = nullptr) {
        drop();
        type_ = msg.size() > 1 ? msg[1] : 0;
        const int32_t status = ofmsg_rx_decode(ctx, msg.data(), static_cast<uint32_t>(msg.size()));
        const ofmsg &r = st().rec;
        const std::pair<uint8_t, const void *> fields[] = {
            {OFPT_ERROR, r.error},
            {OFPT_EXPERIMENTER, r.exp},
            {OFPT_FEATURES_REPLY, r.features_reply},
            {OFPT_PORT_STATUS, r.port_status},
            {OFPT_FLOW_MOD, r.flow_mod},
            {OFPT_MULTIPART_REQUEST, r.multipart_request},
            {OFPT_MULTIPART_REPLY, r.multipart_reply},
            {OFPT_PACKET_IN, r.packet_in},
            {OFPT_ECHO_REQUEST, r.echo_request}};
        for (const auto &[type, field] : fields)
            EXPECT_EQ(field, type == type_ ? st().body : nullptr)
                << "record field of type " << +type;
        return status;
    }
    template <class T = void>
    T *body() const {
        return static_cast<T *>(st().body);
    }
    int calls() const { return st().calls; }
    uint32_t xid() const { return st().xid; }
    void *ctx() const { return st().ctx; }

   private:
    struct State {
        int calls = 0;
        void *body = nullptr, *ctx = nullptr;
        uint32_t xid = 0;
        ofmsg rec{};
    };
    static State &st() {
        static State s;
        return s;
    }
    static void capture(void *body, ofmsg *m) {
        st().calls++;
        st().body = body;
        st().xid = m->xid;
        st().ctx = m->ctx;
        st().rec = *m;
    }
    void drop() {
        if (st().body) ofmsg_equal::release_body(type_, st().body);
        st() = State{};
    }
    uint8_t type_ = 0;
};

// Scales property-test case counts (OFAGENT_PROPERTY_SCALE, default 1; smaller on qemu).
inline int scaled(int count) {
    const char *s = std::getenv("OFAGENT_PROPERTY_SCALE");
    double scale = s ? std::atof(s) : 1.0;
#if defined(__mips__)
    scale *= 0.2;  // qemu-user runs the big-endian target far slower
#endif
    return count * scale >= 1 ? static_cast<int>(count * scale) : 1;
}

}  // namespace codec
