#include "family_util.hpp"

#include <cstdlib>
#include <cstring>

namespace fam {
namespace {

struct Line {
    int level;
    std::string message;
};
std::vector<Line> g_lines;

void sink(int level, const char *line) {
    // "TAG function:line message": the message starts after the second blank.
    const char *p = std::strchr(line, ' ');
    p = p ? std::strchr(p + 1, ' ') : nullptr;
    g_lines.push_back({level, p ? std::string(p + 1) : std::string(line)});
}

Rx *g_rx = nullptr;
void *g_body = nullptr;
int g_calls = 0;

void capture(void *body, ofmsg *) {
    g_calls++;
    g_body = body;
}

}  // namespace

Bytes hex(const std::string &text) {
    Bytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != '\n' && c != '\t') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const Bytes &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
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

bool LogCapture::has(int level, const std::string &message) const {
    return count(level, message) > 0;
}

size_t LogCapture::count(int level, const std::string &message) const {
    size_t n = 0;
    for (const Line &l : g_lines)
        n += l.level == level && l.message == message;
    return n;
}

std::string LogCapture::dump() const {
    std::string s;
    for (const Line &l : g_lines)
        s += std::to_string(l.level) + " [" + l.message + "]\n";
    return s;
}

void LogCapture::clear() {
    g_lines.clear();
}

Rx::Rx() {
    ofmsg_rx_cb table[OFMSG_NUM_TYPES];
    for (auto &cb : table)
        cb = capture;
    ofmsg_register_callbacks(table);
    g_rx = this;
}

Rx::~Rx() {
    if (body_) release_body(type_, body_);
    ofmsg_rx_cb none[OFMSG_NUM_TYPES] = {};
    ofmsg_register_callbacks(none);
    g_rx = nullptr;
}

int32_t Rx::decode(const Bytes &msg) {
    if (body_) release_body(type_, body_);
    body_ = nullptr;
    g_body = nullptr;
    g_calls = 0;
    type_ = msg.size() > 1 ? msg[1] : 0;
    const int32_t st = ofmsg_rx_decode(nullptr, msg.data(), static_cast<uint32_t>(msg.size()));
    body_ = g_body;
    calls_ = g_calls;
    return st;
}

void *Rx::take() {
    void *b = body_;
    body_ = nullptr;
    return b;
}

Bytes encode(uint8_t type, const void *body, uint32_t xid) {
    uint8_t *buf = nullptr;
    uint32_t len = 0;
    if (ofmsg_tx_encode(type, body, xid, &buf, &len) != 0 || !buf) return {};
    Bytes out(buf, buf + len);
    std::free(buf);
    return out;
}

void release_body(uint8_t type, void *body) {
    if (!body) return;
    if (type == OFPT_MULTIPART_REPLY) {
        auto *r = static_cast<ofmsg_multipart_reply *>(body);
        if (r->type == OFPMP_FLOW && r->body) {
            auto *f = static_cast<ofmsg_flow_stats_reply *>(r->body);
            for (uint32_t i = 0; i < f->num_flows; i++) {
                if (!f->flow_stats[i]) continue;
                ofmsg_flow_match_free(f->flow_stats[i]->match);
                if (f->flow_stats[i]->instructions)
                    ofmsg_flow_instructions_free(f->flow_stats[i]->instructions);
            }
        }
    }
    ofmsg_free(type, body);
}

Bytes message(uint8_t type, const Bytes &after_header, uint32_t xid) {
    const size_t len = 8 + after_header.size();
    Bytes m(len, 0);
    m[0] = 0x04;
    m[1] = type;
    m[2] = static_cast<uint8_t>(len >> 8);
    m[3] = static_cast<uint8_t>(len);
    for (int i = 0; i < 4; i++)
        m[4 + i] = static_cast<uint8_t>(xid >> (24 - 8 * i));
    for (size_t i = 0; i < after_header.size(); i++)
        m[8 + i] = after_header[i];
    return m;
}

int scaled(int count) {
    double scale = 1.0;
    if (const char *s = std::getenv("OFAGENT_PROPERTY_SCALE")) scale = std::atof(s);
#if defined(__mips__)
    scale *= 0.2;  // qemu-user runs the big-endian target far slower
#endif
    const int n = static_cast<int>(count * scale);
    return n > 0 ? n : 1;
}

}  // namespace fam
