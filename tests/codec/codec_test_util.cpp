#include "codec_test_util.hpp"

#include <cstdlib>
#include <cstring>

#include "../../fuzz/ofmsg_equal.hpp"

namespace codec_test {
namespace {

std::vector<LogLine> g_lines;
Delivered g_delivered;
uint8_t g_type;

void sink(int level, const char *line) {
    // "TAG function:line message": the message starts after the second space.
    const char *p = std::strchr(line, ' ');
    p = p ? std::strchr(p + 1, ' ') : nullptr;
    g_lines.push_back({level, p ? std::string(p + 1) : std::string(line)});
}

void *body_field(uint8_t type, const ofmsg *m) {
    switch (type) {
        case OFPT_ERROR:
            return m->error;
        case OFPT_ECHO_REQUEST:
            return m->echo_request;
        case OFPT_EXPERIMENTER:
            return m->exp;
        case OFPT_FEATURES_REPLY:
            return m->features_reply;
        case OFPT_PORT_STATUS:
            return m->port_status;
        case OFPT_PACKET_IN:
            return m->packet_in;
        case OFPT_FLOW_MOD:
            return m->flow_mod;
        case OFPT_MULTIPART_REQUEST:
            return m->multipart_request;
        case OFPT_MULTIPART_REPLY:
            return m->multipart_reply;
        default:
            return nullptr;
    }
}

// Every body pointer other than the one of the type must stay null.
bool only_own_field_set(uint8_t type, const ofmsg *m) {
    const void *fields[] = {m->error,           m->exp,       m->features_reply,
                            m->port_status,     m->flow_mod,  m->multipart_request,
                            m->multipart_reply, m->packet_in, m->echo_request};
    int set = 0;
    for (const void *f : fields)
        set += f != nullptr;
    return set == (body_field(type, m) ? 1 : 0);
}

void capture(void *body, ofmsg *m) {
    g_delivered.calls++;
    g_delivered.body = body;
    g_delivered.xid = m->xid;
    g_delivered.ctx = m->ctx;
    g_delivered.record_points_at_body =
        body_field(g_type, m) == body && only_own_field_set(g_type, m);
}

}  // namespace

std::vector<uint8_t> hex(const std::string &text) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const uint8_t *bytes, size_t len) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < len; i++) {
        s += d[bytes[i] >> 4];
        s += d[bytes[i] & 15];
    }
    return s;
}

LogCapture::LogCapture() {
    g_lines.clear();
    syslog_func = sink;
}
LogCapture::~LogCapture() {
    syslog_func = nullptr;
}
const std::vector<LogLine> &LogCapture::lines() const {
    return g_lines;
}
bool LogCapture::has(int level, const std::string &message) const {
    return count(level, message) > 0;
}
size_t LogCapture::count(int level, const std::string &message) const {
    size_t n = 0;
    for (const LogLine &l : g_lines)
        n += l.level == level && l.message == message;
    return n;
}
void LogCapture::clear() {
    g_lines.clear();
}

RxHarness::RxHarness(bool with_callbacks) {
    g_delivered = Delivered{};
    ofmsg_rx_cb table[OFMSG_NUM_TYPES] = {};
    if (with_callbacks)
        for (auto &slot : table)
            slot = capture;
    ofmsg_register_callbacks(table);
}

RxHarness::~RxHarness() {
    if (g_delivered.body) ofmsg_equal::release_body(g_type, g_delivered.body);
    ofmsg_rx_cb none[OFMSG_NUM_TYPES] = {};
    ofmsg_register_callbacks(none);
    g_delivered = Delivered{};
}

int32_t RxHarness::decode(const std::vector<uint8_t> &msg, void *ctx) {
    if (g_delivered.body) ofmsg_equal::release_body(g_type, g_delivered.body);
    g_delivered = Delivered{};
    g_type = msg.size() > 1 ? msg[1] : 0;
    return ofmsg_rx_decode(ctx, msg.data(), static_cast<uint32_t>(msg.size()));
}

Delivered &RxHarness::delivered() {
    return g_delivered;
}

void *RxHarness::take_body() {
    void *b = g_delivered.body;
    g_delivered.body = nullptr;
    return b;
}

std::vector<uint8_t> encode(uint8_t type, const void *body, uint32_t xid) {
    uint8_t *buf = nullptr;
    uint32_t len = 0;
    if (ofmsg_tx_encode(type, body, xid, &buf, &len) != 0) return {};
    std::vector<uint8_t> out(buf, buf + len);
    std::free(buf);
    return out;
}

}  // namespace codec_test
