// Shared fixtures for the transport suite: a log capture, the event loop driven until a
// condition holds, plain loopback peers, OpenFlow-shaped messages and descriptor counting.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ofclient.h"
#include "ofconn.h"
#include "ofhost.h"
#include "oflog.h"
#include "ofmsg.h"
#include "ofserver.h"
#include "ofsocket.h"

namespace th {

inline std::vector<std::string> &log_lines() {
    static std::vector<std::string> lines;
    return lines;
}

inline void capture_sink(int, const char *line) {
    log_lines().push_back(line);
}

inline void capture_logs() {
    log_lines().clear();
    oflog_init(nullptr, 1, capture_sink, nullptr);
}

// Lines matching the regex, in order.
inline std::vector<std::string> logged(const std::string &re) {
    std::vector<std::string> out;
    std::regex r(re);
    for (const auto &l : log_lines())
        if (std::regex_search(l, r)) out.push_back(l);
    return out;
}

inline bool has_log(const std::string &re) {
    return !logged(re).empty();
}

// "text(number)" and "number(text)" of an errno value as regexes; the numbers differ between
// architectures (MIPS has its own).
inline std::string re_escape(const std::string &s) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(s, special, R"(\$&)");
}
inline std::string err_tn(int e) {
    return re_escape(std::string(strerror(e)) + "(" + std::to_string(e) + ")");
}
inline std::string err_nt(int e) {
    return re_escape(std::to_string(e) + "(" + strerror(e) + ")");
}

inline uint64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

// Runs loop rounds until pred holds or ms pass; returns pred's final value.
inline bool run_until(const std::function<bool()> &pred, int ms = 3000) {
    uint64_t end = now_ms() + uint64_t(ms);
    while (!pred()) {
        if (now_ms() > end) return false;
        ofhost_loop_run_once(10);
    }
    return true;
}

// Runs the loop for ms milliseconds regardless.
inline void run_for(int ms) {
    uint64_t end = now_ms() + uint64_t(ms);
    while (now_ms() < end)
        ofhost_loop_run_once(5);
}

inline int count_fds() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

// An OpenFlow 1.3 message: version 4, the type, the length, xid, then len-8 bytes of fill.
inline std::vector<uint8_t> msg(uint8_t type, uint16_t len, uint32_t xid = 7, uint8_t fill = 0xab) {
    std::vector<uint8_t> m(len < 8 ? 8 : len, fill);
    m[0] = 4;
    m[1] = type;
    m[2] = uint8_t(len >> 8);
    m[3] = uint8_t(len);
    m[4] = uint8_t(xid >> 24);
    m[5] = uint8_t(xid >> 16);
    m[6] = uint8_t(xid >> 8);
    m[7] = uint8_t(xid);
    return m;
}

inline uint16_t bound_port(int fd) {
    struct sockaddr_in a;
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &l);
    return ntohs(a.sin_port);
}

// A blocking listener on 127.0.0.1 with an ephemeral port.
inline int listen_loopback(uint16_t *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    *port = bound_port(fd);
    return fd;
}

// A port on 127.0.0.1 where nothing listens (bound and released at once).
inline uint16_t free_port() {
    uint16_t port = 0;
    int fd = listen_loopback(&port);
    close(fd);
    return port;
}

inline int connect_loopback(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

inline bool write_all(int fd, const void *p, size_t n) {
    const uint8_t *b = static_cast<const uint8_t *>(p);
    while (n > 0) {
        ssize_t w = send(fd, b, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        b += w;
        n -= size_t(w);
    }
    return true;
}

inline bool write_all(int fd, const std::vector<uint8_t> &v) {
    return write_all(fd, v.data(), v.size());
}

// Reads exactly n bytes with a deadline, running the event loop in between so that the
// library keeps writing its side.
inline std::vector<uint8_t> read_n(int fd, size_t n, int ms = 3000) {
    std::vector<uint8_t> out;
    uint64_t end = now_ms() + uint64_t(ms);
    while (out.size() < n && now_ms() < end) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5) == 1) {
            uint8_t buf[65536];
            size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
            ssize_t r = recv(fd, buf, want, 0);
            if (r <= 0) break;
            out.insert(out.end(), buf, buf + r);
        }
        ofhost_loop_run_once(0);
    }
    return out;
}

// True when the peer has closed fd (orderly or by reset) within ms.
inline bool peer_closed(int fd, int ms = 3000) {
    uint64_t end = now_ms() + uint64_t(ms);
    while (now_ms() < end) {
        ofhost_loop_run_once(0);
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5) == 1) {
            uint8_t b;
            ssize_t r = recv(fd, &b, 1, MSG_DONTWAIT);
            if (r == 0 || (r < 0 && errno != EAGAIN)) return true;
        }
    }
    return false;
}

inline ofconn_cfg of_cfg(uint32_t rx_buf_size = 4096) {
    ofconn_cfg c;
    c.hdr_len = 8;
    c.rx_buf_size = rx_buf_size;
    c.msg_len = ofmsg_payload_len;
    return c;
}

}  // namespace th

namespace th {

// What the host's two callbacks saw, plus optional hooks run inside them.
struct Recorder {
    struct Event {
        ofconn *conn;
        uint32_t event;
        size_t log_index;  // log lines written before the host heard it
    };
    struct Message {
        ofconn *conn;
        std::vector<uint8_t> bytes;
        size_t log_index;
    };
    std::vector<Event> events;
    std::vector<Message> msgs;
    std::function<void(ofconn *, const uint8_t *, int32_t)> on_rx;
    std::function<void(ofconn *, uint32_t)> on_event;

    size_t count(uint32_t ev) const {
        size_t n = 0;
        for (const auto &e : events)
            n += e.event == ev;
        return n;
    }
    size_t count(uint32_t ev, const ofconn *c) const {
        size_t n = 0;
        for (const auto &e : events)
            n += e.event == ev && e.conn == c;
        return n;
    }
    ofconn *last_up() const {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->event == OFCONN_CONNECTION_UP) return it->conn;
        return nullptr;
    }
};

inline Recorder &rec() {
    static Recorder r;
    return r;
}

inline void rec_event(ofconn *c, uint32_t ev) {
    rec().events.push_back({c, ev, log_lines().size()});
    if (rec().on_event) rec().on_event(c, ev);
}

inline int32_t rec_rx(ofconn *c, const uint8_t *b, int32_t n) {
    rec().msgs.push_back({c, std::vector<uint8_t>(b, b + n), log_lines().size()});
    if (rec().on_rx) rec().on_rx(c, b, n);
    return 0;
}

inline ofconn_registration registration(uint32_t rx_buf_size = 4096) {
    ofconn_registration r;
    r.event_cb = rec_event;
    r.rx_cb = rec_rx;
    r.conn_cfg = of_cfg(rx_buf_size);
    return r;
}

inline void reset_recorder() {
    rec().events.clear();
    rec().msgs.clear();
    rec().on_rx = nullptr;
    rec().on_event = nullptr;
}

inline uint16_t server_port() {
    return bound_port(ofserver_local_inst.ofs_ctx->socket_fd);
}

}  // namespace th
