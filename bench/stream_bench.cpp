// Streaming driver: a child process sends N flow-mods of 88 bytes over loopback and this
// process receives them, in two ways within one run:
//   lib  the client manager sends, the server manager frames and the host decodes each
//        message with ofmsg_rx_decode (every log line formatted, no sink, file logging off);
//   raw  plain sockets move the same bytes: one send per message, and a receiver that reads
//        the 8-byte header, then the body, one message per readiness, as the library does.
// Every message carries its sequence number as xid; the receiver checks order and count.
// Prints one line per run: "stream mode=lib msgs=N seconds=S msgs_per_s=R cpu_ns_per_msg=C".
#include <netinet/in.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "messages.hpp"
#include "net_util.hpp"
#include "ofclient.h"
#include "ofhost.h"
#include "ofmsg.h"
#include "ofserver.h"

namespace {

constexpr uint32_t kRxBufSize = 65536;  // what ofagentd gives its connections

std::vector<uint8_t> g_msg;  // the flow-mod template

void set_xid(uint8_t *m, uint32_t xid) {
    const uint32_t be = htonl(xid);
    std::memcpy(m + 4, &be, sizeof be);
}

struct Result {
    uint64_t msgs = 0;
    uint64_t out_of_order = 0;
    double wall = 0;
    double cpu = 0;
};

// The sender runs this program again (a fresh process: a forked copy would share this one's
// event loop descriptor once the first run created it).
pid_t spawn_sender(const char *mode, uint16_t port, uint64_t n) {
    const std::string p = std::to_string(port), m = std::to_string(n);
    char *const args[] = {const_cast<char *>("stream_bench"), const_cast<char *>("--sender"),
                          const_cast<char *>(mode),           const_cast<char *>(p.c_str()),
                          const_cast<char *>(m.c_str()),      nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, args, environ) != 0) {
        std::fprintf(stderr, "stream_bench: cannot start the sender\n");
        std::exit(1);
    }
    return pid;
}

int wait_sender(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- Library receiver ------------------------------------------------------------------------

struct LibRx {
    uint64_t want = 0, got = 0, bad = 0;
    double t0 = 0, c0 = 0, t1 = 0, c1 = 0;
    bool down = false;
} g_rx;

void on_flow_mod(void *body, ofmsg *msg) {
    if (g_rx.got == 0) {
        g_rx.t0 = bench::now_seconds();
        g_rx.c0 = bench::cpu_seconds();
    }
    if (msg->xid != g_rx.got) g_rx.bad++;
    g_rx.got++;
    ofmsg_free(OFPT_FLOW_MOD, body);
    if (g_rx.got == g_rx.want) {
        g_rx.t1 = bench::now_seconds();
        g_rx.c1 = bench::cpu_seconds();
        ofhost_loop_stop();
    }
}

int32_t server_rx(ofconn *conn, const uint8_t *bytes, int32_t len) {
    return ofmsg_rx_decode(conn, bytes, static_cast<uint32_t>(len));
}

void server_event(ofconn *, uint32_t event) {
    if (event == OFCONN_CONNECTION_DOWN && g_rx.got < g_rx.want) {
        g_rx.down = true;
        ofhost_loop_stop();
    }
}

void stop_loop(void *) {
    ofhost_loop_stop();
}

// ---- Library sender (child) ------------------------------------------------------------------

struct LibTx {
    ofclient_server *conn = nullptr;
    bool up = false, down = false;
} g_tx;

void client_event(ofconn *, uint32_t event) {
    if (event == OFCONN_CONNECTION_UP) g_tx.up = true;
    if (event == OFCONN_CONNECTION_DOWN) g_tx.down = true;
}

int32_t client_rx(ofconn *, const uint8_t *, int32_t) {
    return 0;
}

int lib_sender(uint16_t port, uint64_t n) {
    ofconn_registration reg{
        client_event, client_rx, {OFP_HEADER_LEN, kRxBufSize, ofmsg_payload_len}};
    ofclient_register(&reg);
    g_tx.conn = ofclient_connect_to_ofserver(INADDR_LOOPBACK, port, nullptr);
    const double deadline = bench::now_seconds() + 120;
    while (g_tx.conn && !g_tx.up && !g_tx.down && bench::now_seconds() < deadline)
        ofhost_loop_run_once(100);
    if (!g_tx.up) return 3;
    std::vector<uint8_t> m = g_msg;
    uint64_t sent = 0;
    while (sent < n && !g_tx.down && bench::now_seconds() < deadline) {
        // Send until the socket is full, then let the loop flush the queue.
        while (sent < n && g_tx.conn->conn.tx_queue_len == 0 && !g_tx.down) {
            set_xid(m.data(), static_cast<uint32_t>(sent));
            sent++;
            if (!ofclient_send(g_tx.conn, m.data(), static_cast<uint32_t>(m.size()))) break;
        }
        if (sent < n || g_tx.conn->conn.tx_queue_len) ofhost_loop_run_once(100);
    }
    while (!g_tx.down && g_tx.conn->conn.tx_queue_len && bench::now_seconds() < deadline)
        ofhost_loop_run_once(100);
    // Stay connected until the receiver has everything and closes.
    while (!g_tx.down && bench::now_seconds() < deadline)
        ofhost_loop_run_once(100);
    return sent == n ? 0 : 4;
}

Result run_lib(uint64_t n) {
    g_rx = LibRx{};
    g_rx.want = n;
    ofconn_registration reg{
        server_event, server_rx, {OFP_HEADER_LEN, kRxBufSize, ofmsg_payload_len}};
    ofserver_register(&reg);
    if (ofserver_start(INADDR_LOOPBACK, 0) != 0) {
        std::fprintf(stderr, "stream_bench: cannot listen\n");
        std::exit(1);
    }
    const pid_t child =
        spawn_sender("lib", bench::local_port(ofserver_local_inst.ofs_ctx->socket_fd), n);
    const uint32_t timer = ofhost_timer_add(120000, 0, stop_loop, nullptr);
    ofhost_loop_run();
    ofhost_timer_cancel(timer);
    ofserver_stop();
    const int rc = wait_sender(child);
    if (g_rx.got != n || g_rx.down || rc != 0) {
        std::fprintf(stderr, "stream_bench: lib run received %llu of %llu (sender exit %d)\n",
                     static_cast<unsigned long long>(g_rx.got), static_cast<unsigned long long>(n),
                     rc);
        std::exit(1);
    }
    return Result{g_rx.got, g_rx.bad, g_rx.t1 - g_rx.t0, g_rx.c1 - g_rx.c0};
}

// ---- Raw baseline ------------------------------------------------------------------------------

int raw_sender(uint16_t port, uint64_t n) {
    const int fd = bench::connect_loopback(port);
    if (fd < 0) return 3;
    std::vector<uint8_t> m = g_msg;
    for (uint64_t i = 0; i < n; i++) {
        set_xid(m.data(), static_cast<uint32_t>(i));
        if (!bench::write_all(fd, m.data(), m.size())) return 4;
    }
    char c;
    (void)read(fd, &c, 1);  // until the receiver closes
    close(fd);
    return 0;
}

// Header, then body, then back to the readiness wait: the library's framing without it.
Result run_raw(uint64_t n) {
    uint16_t port = 0;
    const int lfd = bench::listen_loopback(10, &port);
    const pid_t child = spawn_sender("raw", port, n);
    const int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    close(lfd);
    bench::tune_socket(fd);
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    std::vector<uint8_t> buf(kRxBufSize);
    uint32_t have = 0;
    bool in_hdr = true;
    Result r;
    double t0 = 0, c0 = 0;
    const double deadline = bench::now_seconds() + 120;
    while (r.msgs < n && bench::now_seconds() < deadline) {
        struct epoll_event out;
        if (epoll_wait(ep, &out, 1, 100) <= 0) continue;
        for (;;) {
            const uint32_t want = in_hdr
                                      ? OFP_HEADER_LEN - have
                                      : static_cast<uint32_t>(ofmsg_payload_len(buf.data())) - have;
            const ssize_t got = read(fd, buf.data() + have, want);
            if (got <= 0) break;
            have += static_cast<uint32_t>(got);
            if (static_cast<uint32_t>(got) < want) break;
            if (in_hdr) {
                in_hdr = false;
                continue;
            }
            if (r.msgs == 0) {
                t0 = bench::now_seconds();
                c0 = bench::cpu_seconds();
            }
            uint32_t xid;
            std::memcpy(&xid, buf.data() + 4, sizeof xid);
            if (ntohl(xid) != r.msgs) r.out_of_order++;
            r.msgs++;
            have = 0;
            in_hdr = true;
            break;
        }
    }
    r.wall = bench::now_seconds() - t0;
    r.cpu = bench::cpu_seconds() - c0;
    close(ep);
    close(fd);
    const int rc = wait_sender(child);
    if (r.msgs != n || rc != 0) {
        std::fprintf(stderr, "stream_bench: raw run received %llu of %llu (sender exit %d)\n",
                     static_cast<unsigned long long>(r.msgs), static_cast<unsigned long long>(n),
                     rc);
        std::exit(1);
    }
    return r;
}

bool load_message() {
    std::vector<bench::Message> flows =
        bench::ovs_flow_mods(OFAGENT_SOURCE_DIR "/tests/data/ovs_flows.txt");
    if (flows.empty() || flows.front().bytes.size() != 88) {
        std::fprintf(stderr, "stream_bench: no 88-byte flow-mod in tests/data/ovs_flows.txt\n");
        return false;
    }
    g_msg = flows.front().bytes;
    return true;
}

void print(const char *mode, const Result &r) {
    std::printf(
        "stream mode=%s msgs=%llu out_of_order=%llu seconds=%.6f msgs_per_s=%.0f "
        "cpu_ns_per_msg=%.1f\n",
        mode, static_cast<unsigned long long>(r.msgs),
        static_cast<unsigned long long>(r.out_of_order), r.wall,
        static_cast<double>(r.msgs) / r.wall, r.cpu * 1e9 / static_cast<double>(r.msgs));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 5 && !std::strcmp(argv[1], "--sender")) {
        if (!load_message()) return 1;
        const uint16_t port = static_cast<uint16_t>(std::atoi(argv[3]));
        const uint64_t count = std::strtoull(argv[4], nullptr, 10);
        oflog_init(nullptr, getpid(), nullptr, nullptr);
        return !std::strcmp(argv[2], "lib") ? lib_sender(port, count) : raw_sender(port, count);
    }
    uint64_t n = 200000;
    int rounds = 3;
    std::string mode = "both";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--messages"))
            n = std::strtoull(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--mode"))
            mode = argv[i + 1];
        else {
            std::fprintf(stderr, "usage: %s [--messages N] [--rounds R] [--mode lib|raw|both]\n",
                         argv[0]);
            return 2;
        }
    }
    oflog_init(nullptr, getpid(), nullptr, nullptr);
    ofmsg_rx_cb table[OFMSG_NUM_TYPES] = {};
    table[OFPT_FLOW_MOD] = on_flow_mod;
    ofmsg_register_callbacks(table);
    std::vector<bench::Message> flows =
        bench::ovs_flow_mods(OFAGENT_SOURCE_DIR "/tests/data/ovs_flows.txt");
    if (flows.empty() || flows.front().bytes.size() != 88) {
        std::fprintf(stderr, "stream_bench: no 88-byte flow-mod in tests/data/ovs_flows.txt\n");
        return 1;
    }
    g_msg = flows.front().bytes;
    for (int r = 0; r < rounds; r++) {
        if (mode != "raw") print("lib", run_lib(n));
        if (mode != "lib") print("raw", run_raw(n));
    }
    return 0;
}
