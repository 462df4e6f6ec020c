// The transport suite's harness: captured log lines, the host's callbacks recorded, the event
// loop run until a condition holds, plain loopback peers and descriptor counting.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
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

using Bytes = std::vector<uint8_t>;

inline std::vector<std::string> &log_lines() {
    static std::vector<std::string> lines;
    return lines;
}

inline void capture_logs() {
    log_lines().clear();
    oflog_init(
        nullptr, 1, [](int, const char *line) { log_lines().push_back(line); }, nullptr);
}

// Captured lines matching the regex, in order.
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

// A line "TAG function:<line> text..." was captured; text is a regex.
inline bool logs(const std::string &tag_function, const std::string &text) {
    return has_log("^" + tag_function + ":[0-9]+ " + text);
}

const std::string kLo = "127\\.0\\.0\\.1:";  // the loopback address as a regex

// An errno value as "number(text)" (or "text(number)") regex; the numbers differ between
// architectures (MIPS has its own).
inline std::string err_re(int e, bool text_first = false) {
    std::string s = text_first ? std::string(strerror(e)) + "(" + std::to_string(e) + ")"
                               : std::to_string(e) + "(" + strerror(e) + ")";
    return std::regex_replace(s, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

inline uint64_t now_ms() {
    using namespace std::chrono;
    return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
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

inline void run_for(int ms) {
    run_until([] { return false; }, ms);
}

inline int count_fds() {  // less the iterator's own descriptor
    std::filesystem::directory_iterator it("/proc/self/fd");
    return int(std::distance(begin(it), end(it))) - 1;
}

// An OpenFlow 1.3 message: version 4, type, length, xid, then len-8 bytes of fill.
inline Bytes msg(uint8_t type, uint16_t len, uint32_t xid = 7, uint8_t fill = 0xab) {
    Bytes m(len < 8 ? 8 : len, fill);
    m[0] = 4, m[1] = type, m[2] = uint8_t(len >> 8), m[3] = uint8_t(len);
    for (int i = 0; i < 4; i++)
        m[size_t(4 + i)] = uint8_t(xid >> (24 - 8 * i));
    return m;
}

inline Bytes cat(const Bytes &a, const Bytes &b) {
    Bytes out(a.size() + b.size());  // memcpy: GCC 12 misjudges vector::insert's bounds here
    if (!a.empty()) memcpy(out.data(), a.data(), a.size());
    if (!b.empty()) memcpy(out.data() + a.size(), b.data(), b.size());
    return out;
}

inline uint16_t bound_port(int fd) {
    struct sockaddr_in a;
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &l);
    return ntohs(a.sin_port);
}

inline struct sockaddr_in loopback(uint16_t port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A blocking TCP socket on 127.0.0.1: listening on an ephemeral port (stored in *port), or
// connected to *port. -1 on failure.
inline int tcp(uint16_t *port, bool listening) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    struct sockaddr_in a = loopback(listening ? 0 : *port);
    auto *sa = reinterpret_cast<struct sockaddr *>(&a);
    if (listening ? bind(fd, sa, sizeof a) != 0 || listen(fd, 64) != 0
                  : connect(fd, sa, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    if (listening) *port = bound_port(fd);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// A port on 127.0.0.1 where nothing listens (bound and released at once).
inline uint16_t free_port() {
    uint16_t port = 0;
    close(tcp(&port, true));
    return port;
}

inline bool write_all(int fd, const void *p, size_t n) {
    ssize_t w = 0;
    for (auto *b = static_cast<const uint8_t *>(p); n > 0; b += w, n -= size_t(w))
        if ((w = send(fd, b, n, MSG_NOSIGNAL)) <= 0) return false;
    return true;
}

inline bool write_all(int fd, const Bytes &v) {
    return write_all(fd, v.data(), v.size());
}

// Reads n bytes with a deadline, running the event loop in between so that the library keeps
// writing its side.
inline Bytes read_n(int fd, size_t n, int ms = 3000) {
    Bytes out;
    for (uint64_t end = now_ms() + uint64_t(ms); out.size() < n && now_ms() < end;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5) == 1) {
            static uint8_t buf[65536];
            ssize_t r = recv(fd, buf, std::min(n - out.size(), sizeof buf), 0);
            if (r <= 0) break;
            out.insert(out.end(), buf, buf + r);
        }
        ofhost_loop_run_once(0);
    }
    return out;
}

// True when the peer has closed fd (orderly or by reset) within ms.
inline bool peer_closed(int fd, int ms = 3000) {
    for (uint64_t end = now_ms() + uint64_t(ms); now_ms() < end;) {
        ofhost_loop_run_once(0);
        struct pollfd p = {fd, POLLIN, 0};
        uint8_t b;
        ssize_t r = poll(&p, 1, 5) == 1 ? recv(fd, &b, 1, MSG_DONTWAIT) : 1;
        if (r == 0 || (r < 0 && errno != EAGAIN)) return true;
    }
    return false;
}

// What the host's two callbacks saw (with the number of log lines written before each
// event), with optional hooks run inside them.
struct Recorder {
    struct Event {
        ofconn *conn;
        uint32_t event;
        size_t log_index;
    };
    std::vector<Event> events;
    std::vector<std::pair<ofconn *, Bytes>> msgs;
    std::function<void(ofconn *, const uint8_t *, int32_t)> on_rx;
    std::function<void(ofconn *, uint32_t)> on_event;

    size_t count(uint32_t ev, const ofconn *c = nullptr) const {
        size_t n = 0;
        for (const auto &e : events)
            n += e.event == ev && (c == nullptr || e.conn == c);
        return n;
    }
    size_t ups() const { return count(OFCONN_CONNECTION_UP); }
    size_t downs() const { return count(OFCONN_CONNECTION_DOWN); }
};

inline Recorder &rec() {
    static Recorder r;
    return r;
}

inline ofconn_registration registration(uint32_t rx_buf_size) {
    ofconn_registration r;
    r.event_cb = [](ofconn *c, uint32_t ev) {
        rec().events.push_back({c, ev, log_lines().size()});
        if (rec().on_event) rec().on_event(c, ev);
    };
    r.rx_cb = [](ofconn *c, const uint8_t *b, int32_t n) -> int32_t {
        rec().msgs.emplace_back(c, Bytes(b, b + n));
        if (rec().on_rx) rec().on_rx(c, b, n);
        return 0;
    };
    r.conn_cfg.hdr_len = 8;
    r.conn_cfg.rx_buf_size = rx_buf_size;
    r.conn_cfg.msg_len = ofmsg_payload_len;
    return r;
}

inline ofserver_client *as_client(ofconn *c) {
    return reinterpret_cast<ofserver_client *>(c);
}

// Every connection test: logs captured, callbacks recorded, and no descriptor left behind by
// whichever manager the test used.
class Net : public ::testing::Test {
   protected:
    void SetUp() override {
        capture_logs();
        rec() = Recorder();
        ofhost_disp_wait(0);  // the dispatcher's own descriptor exists before counting
        fds_before = count_fds();
    }
    void TearDown() override {
        end_both();
        for (int fd : peers)
            if (fd >= 0) close(fd);
        if (accepted >= 0) close(accepted);
        if (listener >= 0) close(listener);
        free(ofserver_local_inst.ofclient_list);
        ofserver_local_inst.ofclient_list = nullptr;
        EXPECT_EQ(count_fds(), fds_before);
    }
    // Ends whatever either manager still holds, with the host's hooks gone.
    void end_both() {
        rec().on_rx = nullptr;
        rec().on_event = nullptr;
        if (client_registered && ofclient_local_inst.ofserver)
            ofclient_disconnect(ofclient_local_inst.ofserver);
        if (ofserver_local_inst.ofs_ctx) ofserver_stop();
    }
    // Server side: registers and listens on 127.0.0.1, any port.
    void serve(uint32_t rx_buf_size = 4096) {
        ofconn_registration reg = registration(rx_buf_size);
        list = ofserver_register(&reg);
        ASSERT_EQ(ofserver_start(0x7f000001, 0), 0);
    }
    uint16_t server_port() { return bound_port(ofserver_local_inst.ofs_ctx->socket_fd); }
    // Connects a plain peer and waits until the server has announced it.
    int connect_peer() {
        size_t ups = rec().ups();
        uint16_t to = server_port();
        int fd = tcp(&to, false);
        EXPECT_GE(fd, 0);
        peers.push_back(fd);
        EXPECT_TRUE(run_until([&] { return rec().ups() == ups + 1; }));
        return fd;
    }
    // Client side: registers and opens a plain listener for the client to reach.
    void client_side(uint32_t rx_buf_size = 2048) {
        ofconn_registration reg = registration(rx_buf_size);
        ofclient_register(&reg);
        client_registered = true;
        listener = tcp(&port, true);
        ASSERT_GE(listener, 0);
    }
    // Connects the client to the listener and accepts the peer end.
    ofclient_server *connect_up() {
        size_t ups = rec().ups();
        ofclient_server *ofs = ofclient_connect_to_ofserver(0x7f000001, port, nullptr);
        EXPECT_NE(ofs, nullptr);
        EXPECT_TRUE(run_until([&] { return rec().ups() == ups + 1; }));
        if (accepted >= 0) close(accepted);
        accepted = accept(listener, nullptr, nullptr);
        EXPECT_GE(accepted, 0);
        return ofs;
    }
    bool downs_reach(size_t n, int ms = 3000) {
        return run_until([n] { return rec().downs() == n; }, ms);
    }
    int fds_before = 0, listener = -1, accepted = -1;
    uint16_t port = 0;
    bool client_registered = false;
    oflist *list = nullptr;
    std::vector<int> peers;
};

}  // namespace th
