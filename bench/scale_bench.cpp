// Scale driver: a child process opens C plain-socket connections to the server manager of
// this process (paced: at most 8 not yet greeted, since the listen backlog is 10), each
// sends a HELLO and waits for the server's; then each sends M flow-mods whose xid is their
// sequence number. This process decodes every message in its message callback and checks
// that each connection's messages arrive exactly once and in order.
// Prints "scale connections=C accepted=A hellos=H rss_per_conn=B msgs=N out_of_order=O
// cpu_ns_per_msg=X msgs_per_s=Y".
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "messages.hpp"
#include "net_util.hpp"
#include "ofhost.h"
#include "ofmsg.h"
#include "ofserver.h"

namespace {

constexpr int kGreetWindow = 8;
constexpr double kTimeLimit = 300;  // seconds for the whole run

uint32_t g_rx_buf = 65536;
std::vector<uint8_t> g_flow_mod;
const uint8_t kHello[8] = {OFP_VERSION, OFPT_HELLO, 0, 8, 0, 0, 0, 0};

struct Server {
    uint64_t up = 0, down = 0, hellos = 0, msgs = 0, bad = 0, want_msgs = 0, want_hellos = 0;
    double t0 = 0, c0 = 0, t1 = 0, c1 = 0;
} g_srv;

// The next expected xid of a connection lives in its opaque pointer: the host keeps nothing
// per connection but the library's records.
uint32_t expected(ofserver_client *c) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ofserver_get_client_opaque_data(c)));
}

void on_hello(void *, ofmsg *) {
    if (++g_srv.hellos == g_srv.want_hellos) ofhost_loop_stop();
}

void on_flow_mod(void *body, ofmsg *msg) {
    auto *client = static_cast<ofserver_client *>(msg->ctx);
    const uint32_t want = expected(client);
    if (msg->xid != want) g_srv.bad++;
    ofserver_set_client_opaque_data(client, reinterpret_cast<void *>(uintptr_t{want} + 1));
    ofmsg_free(OFPT_FLOW_MOD, body);
    if (g_srv.msgs++ == 0) {
        g_srv.t0 = bench::now_seconds();
        g_srv.c0 = bench::cpu_seconds();
    }
    if (g_srv.msgs == g_srv.want_msgs) {
        g_srv.t1 = bench::now_seconds();
        g_srv.c1 = bench::cpu_seconds();
        ofhost_loop_stop();
    }
}

int32_t server_rx(ofconn *conn, const uint8_t *bytes, int32_t len) {
    return ofmsg_rx_decode(conn, bytes, static_cast<uint32_t>(len));
}

void server_event(ofconn *conn, uint32_t event) {
    if (event == OFCONN_CONNECTION_UP) {
        g_srv.up++;
        ofserver_send(reinterpret_cast<ofserver_client *>(conn), kHello, sizeof kHello);
    } else if (event == OFCONN_CONNECTION_DOWN) {
        g_srv.down++;
    }
}

void stop_loop(void *) {
    ofhost_loop_stop();
}

// ---- Clients (child) -----------------------------------------------------------------------

bool greet(int fd) {
    uint8_t hello[8];
    return bench::read_all(fd, hello, sizeof hello) && hello[1] == OFPT_HELLO;
}

bool connect_all(uint16_t port, uint32_t n, std::vector<int> &fds) {
    std::deque<int> waiting;
    for (uint32_t i = 0; i < n; i++) {
        const int fd = bench::connect_loopback(port);
        if (fd < 0) {
            std::fprintf(stderr, "scale_bench: connection %u failed: %s\n", i,
                         std::strerror(errno));
            return false;
        }
        fds.push_back(fd);
        if (!bench::write_all(fd, kHello, sizeof kHello)) return false;
        waiting.push_back(fd);
        while (waiting.size() >= kGreetWindow) {
            if (!greet(waiting.front())) return false;
            waiting.pop_front();
        }
    }
    for (int fd : waiting)
        if (!greet(fd)) return false;
    return true;
}

struct Out {
    uint32_t next = 0;
    std::vector<uint8_t> buf;
    size_t off = 0;
};

// Writes every connection's M flow-mods as fast as the sockets take them.
bool send_all(const std::vector<int> &fds, uint32_t m) {
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Out> out(fds.size());
    for (size_t i = 0; i < fds.size(); i++) {
        struct epoll_event ev = {};
        ev.events = EPOLLOUT;
        ev.data.u64 = i;
        if (epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev) != 0) return false;
    }
    size_t left = fds.size();
    const size_t kBatch = 32;
    std::vector<struct epoll_event> ready(256);
    while (left > 0) {
        const int n = epoll_wait(ep, ready.data(), static_cast<int>(ready.size()), 1000);
        if (n < 0 && errno != EINTR) return false;
        for (int k = 0; k < n; k++) {
            const size_t i = ready[static_cast<size_t>(k)].data.u64;
            Out &o = out[i];
            for (;;) {
                if (o.off == o.buf.size()) {
                    o.buf.clear();
                    o.off = 0;
                    for (size_t b = 0; b < kBatch && o.next < m; b++, o.next++) {
                        const size_t at = o.buf.size();
                        o.buf.insert(o.buf.end(), g_flow_mod.begin(), g_flow_mod.end());
                        const uint32_t be = htonl(o.next);
                        std::memcpy(&o.buf[at + 4], &be, sizeof be);
                    }
                    if (o.buf.empty()) {
                        epoll_ctl(ep, EPOLL_CTL_DEL, fds[i], nullptr);
                        left--;
                        break;
                    }
                }
                const ssize_t w =
                    send(fds[i], o.buf.data() + o.off, o.buf.size() - o.off, MSG_NOSIGNAL);
                if (w < 0 && (errno == EAGAIN || errno == EINTR)) break;
                if (w <= 0) return false;
                o.off += static_cast<size_t>(w);
            }
        }
    }
    close(ep);
    return true;
}

int clients(uint16_t port, uint32_t n, uint32_t m) {
    bench::raise_nofile(n + 64);
    std::vector<int> fds;
    if (!connect_all(port, n, fds)) return 3;
    if (m > 0) {
        for (int fd : fds)
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        if (!send_all(fds, m)) return 4;
        for (int fd : fds)
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    // Hold every connection until the server stops and closes it.
    for (int fd : fds) {
        char c;
        while (read(fd, &c, 1) > 0) {
        }
        close(fd);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    uint32_t conns = 1000, msgs = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--connections"))
            conns = static_cast<uint32_t>(std::atol(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--messages"))
            msgs = static_cast<uint32_t>(std::atol(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--rx-buf"))
            g_rx_buf = static_cast<uint32_t>(std::atol(argv[i + 1]));
        else {
            std::fprintf(stderr,
                         "usage: %s [--connections C] [--messages M per connection] [--rx-buf B]\n",
                         argv[0]);
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (bench::raise_nofile(conns + 64) < conns + 64) {
        std::fprintf(stderr, "scale_bench: the descriptor limit is below %u\n", conns + 64);
        return 1;
    }
    std::vector<bench::Message> flows =
        bench::ovs_flow_mods(OFAGENT_SOURCE_DIR "/tests/data/ovs_flows.txt");
    if (flows.empty()) return 1;
    g_flow_mod = flows.front().bytes;
    // The child is forked before this process opens its dispatcher, so they share nothing.
    bench::Child child([conns, msgs](uint32_t port, int) {
        return clients(static_cast<uint16_t>(port), conns, msgs);
    });

    oflog_init(nullptr, getpid(), nullptr, nullptr);
    ofmsg_rx_cb table[OFMSG_NUM_TYPES] = {};
    table[OFPT_HELLO] = on_hello;
    table[OFPT_FLOW_MOD] = on_flow_mod;
    ofmsg_register_callbacks(table);
    ofconn_registration reg{server_event, server_rx, {OFP_HEADER_LEN, g_rx_buf, ofmsg_payload_len}};
    ofserver_register(&reg);
    if (ofserver_start(INADDR_LOOPBACK, 0) != 0) return 1;
    g_srv.want_hellos = conns;
    g_srv.want_msgs = uint64_t{conns} * msgs;
    const size_t rss0 = bench::rss_bytes();
    const double start = bench::now_seconds();
    child.go(bench::local_port(ofserver_local_inst.ofs_ctx->socket_fd));

    const uint32_t timer =
        ofhost_timer_add(static_cast<uint32_t>(kTimeLimit * 1000), 0, stop_loop, nullptr);
    ofhost_loop_run();  // until every client said hello
    const double connected = bench::now_seconds() - start;
    const size_t rss1 = bench::rss_bytes();
    if (g_srv.want_msgs > 0 && g_srv.hellos == conns) ofhost_loop_run();  // until every message
    ofhost_timer_cancel(timer);
    const double t_stop = bench::now_seconds();
    ofserver_stop();
    const double stop_s = bench::now_seconds() - t_stop;
    const int rc = child.wait();

    const double per_conn = conns ? static_cast<double>(rss1 - rss0) / conns : 0;
    const double cpu = g_srv.c1 - g_srv.c0, wall = g_srv.t1 - g_srv.t0;
    std::printf(
        "scale connections=%u accepted=%llu hellos=%llu connect_seconds=%.3f rx_buf=%u "
        "rss_per_conn=%.0f msgs=%llu out_of_order=%llu cpu_ns_per_msg=%.1f "
        "msgs_per_s=%.0f stop_seconds=%.3f down=%llu client_exit=%d\n",
        conns, static_cast<unsigned long long>(g_srv.up),
        static_cast<unsigned long long>(g_srv.hellos), connected, g_rx_buf, per_conn,
        static_cast<unsigned long long>(g_srv.msgs), static_cast<unsigned long long>(g_srv.bad),
        g_srv.msgs ? cpu * 1e9 / static_cast<double>(g_srv.msgs) : 0.0,
        wall > 0 ? static_cast<double>(g_srv.msgs) / wall : 0.0, stop_s,
        static_cast<unsigned long long>(g_srv.down), rc);
    const bool ok = g_srv.up == conns && g_srv.hellos == conns && g_srv.msgs == g_srv.want_msgs &&
                    g_srv.bad == 0 && g_srv.down == conns && rc == 0;
    if (!ok) std::fprintf(stderr, "scale_bench: FAILED\n");
    return ok ? 0 : 1;
}
