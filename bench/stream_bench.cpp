// Streaming driver: a child process sends N flow-mods of 88 bytes over loopback and this
// process receives them, in three ways within one run (alternating, round by round):
//   lib    the server manager frames each message and the host decodes it with ofmsg_rx_decode
//          (every log line formatted, no sink, file logging off);
//   frame  the same, but the host only reads the xid: the library's transport alone;
//   raw    a plain receiver that reads the 8-byte header, then the body, one message per
//          readiness, as the library does.
// The sender is the same plain one for all three, and fast enough (a batch of messages per
// write) that every receiver always finds its next message waiting: its CPU per message is
// then its own cost, not how often it happened to sleep and be woken (a receiver that keeps up
// with a slower sender pays a wake-up for a message now and then, so a faster one would look
// dearer). Every message carries its sequence number as xid; the receiver checks order and
// count. Prints one line per run: "stream mode=lib msgs=N out_of_order=O seconds=S
// msgs_per_s=R cpu_ns_per_msg=C stall_s=T max_gap_ms=G vcsw_per_msg=V": the receiver's time
// between its first and last message, its CPU time per message, the sum of the gaps of 20 ms
// or more between consecutive messages (the stream standing still: TCP waiting on a timer), the
// longest gap, and the receiver's voluntary context switches per message (how often it found
// the socket empty and slept).
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
#include "ofhost.h"
#include "ofmsg.h"
#include "ofserver.h"

namespace {

constexpr uint32_t kRxBufSize = 65536;  // what ofagentd gives its connections

std::vector<uint8_t> g_msg;  // the flow-mod template
size_t g_batch = 16;         // messages per write of the sender: 1,408 bytes, one Ethernet segment

void set_xid(uint8_t *m, uint32_t xid) {
    const uint32_t be = htonl(xid);
    std::memcpy(m + 4, &be, sizeof be);
}

struct Result {
    uint64_t msgs = 0;
    uint64_t out_of_order = 0;
    double wall = 0;
    double cpu = 0;
    double stall = 0;    // seconds in gaps of kStallGap or more
    double max_gap = 0;  // seconds
    long vcsw = 0;       // voluntary context switches of the receiver
};

constexpr double kStallGap = 0.020;

// Called at each message received: the first starts the clocks, each notes the gap since the
// one before (with the coarse clock: a few ns, enough for gaps of milliseconds).
struct Clock {
    double t0 = 0, c0 = 0, last = 0;
    long v0 = 0;
    Result *r;
    explicit Clock(Result *res) : r(res) {}
    void message() {
        const double t = bench::coarse_seconds();
        if (r->msgs == 0) {
            t0 = bench::now_seconds();
            c0 = bench::cpu_seconds();
            v0 = bench::voluntary_switches();
        } else {
            const double gap = t - last;
            if (gap >= kStallGap) r->stall += gap;
            if (gap > r->max_gap) r->max_gap = gap;
        }
        last = t;
    }
    void finish() {
        r->wall = bench::now_seconds() - t0;
        r->cpu = bench::cpu_seconds() - c0;
        r->vcsw = bench::voluntary_switches() - v0;
    }
};

// The sender runs this program again (a fresh process: a forked copy would share this one's
// event loop descriptor once the first run created it).
pid_t spawn_sender(uint16_t port, uint64_t n) {
    const std::string p = std::to_string(port), m = std::to_string(n), b = std::to_string(g_batch);
    char *const args[] = {const_cast<char *>("stream_bench"), const_cast<char *>("--sender"),
                          const_cast<char *>(p.c_str()),      const_cast<char *>(m.c_str()),
                          const_cast<char *>(b.c_str()),      nullptr};
    // The program's own path, resolved: under valgrind /proc/self/exe names the tool, but its
    // link names this program, so the sender runs natively while the receiver is profiled.
    static char self[4096];
    if (!self[0]) {
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) std::strcpy(self, "/proc/self/exe");
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, self, nullptr, nullptr, args, environ) != 0) {
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
    uint64_t want = 0;
    Result r;
    Clock clock{&r};
    bool down = false;
} g_rx;

void received(uint32_t xid) {
    g_rx.clock.message();
    if (xid != g_rx.r.msgs) g_rx.r.out_of_order++;
    g_rx.r.msgs++;
    if (g_rx.r.msgs == g_rx.want) {
        g_rx.clock.finish();
        ofhost_loop_stop();
    }
}

void on_flow_mod(void *body, ofmsg *msg) {
    ofmsg_free(OFPT_FLOW_MOD, body);
    received(msg->xid);
}

uint32_t xid_of(const uint8_t *m) {
    uint32_t be;
    std::memcpy(&be, m + 4, sizeof be);
    return ntohl(be);
}

int32_t decode_rx(ofconn *conn, const uint8_t *bytes, int32_t len) {
    return ofmsg_rx_decode(conn, bytes, static_cast<uint32_t>(len));
}

int32_t frame_rx(ofconn *, const uint8_t *bytes, int32_t) {
    received(xid_of(bytes));
    return 0;
}

void server_event(ofconn *, uint32_t event) {
    if (event == OFCONN_CONNECTION_DOWN && g_rx.r.msgs < g_rx.want) {
        g_rx.down = true;
        ofhost_loop_stop();
    }
}

void stop_loop(void *) {
    ofhost_loop_stop();
}

// decode: the host decodes each message; otherwise it only reads the xid.
Result run_lib(uint64_t n, bool decode) {
    g_rx.want = n;
    g_rx.r = Result{};
    g_rx.clock = Clock{&g_rx.r};
    g_rx.down = false;
    ofconn_registration reg{server_event,
                            decode ? decode_rx : frame_rx,
                            {OFP_HEADER_LEN, kRxBufSize, ofmsg_payload_len}};
    ofserver_register(&reg);
    if (ofserver_start(INADDR_LOOPBACK, 0) != 0) {
        std::fprintf(stderr, "stream_bench: cannot listen\n");
        std::exit(1);
    }
    const pid_t child = spawn_sender(bench::local_port(ofserver_local_inst.ofs_ctx->socket_fd), n);
    const uint32_t timer = ofhost_timer_add(120000, 0, stop_loop, nullptr);
    ofhost_loop_run();
    ofhost_timer_cancel(timer);
    ofserver_stop();
    const int rc = wait_sender(child);
    if (g_rx.r.msgs != n || g_rx.down || rc != 0) {
        std::fprintf(stderr, "stream_bench: lib run received %llu of %llu (sender exit %d)\n",
                     static_cast<unsigned long long>(g_rx.r.msgs),
                     static_cast<unsigned long long>(n), rc);
        std::exit(1);
    }
    return g_rx.r;
}

// ---- The sender (child) and the raw receiver -------------------------------------------------

int sender(uint16_t port, uint64_t n, size_t batch) {
    const int fd = bench::connect_loopback(port);
    if (fd < 0) return 3;
    const size_t len = g_msg.size();
    std::vector<uint8_t> m(len * batch);
    for (size_t j = 0; j < batch; j++)
        std::memcpy(m.data() + j * len, g_msg.data(), len);
    for (uint64_t i = 0; i < n;) {
        size_t j = 0;
        for (; j < batch && i < n; j++, i++)
            set_xid(m.data() + j * len, static_cast<uint32_t>(i));
        if (!bench::write_all(fd, m.data(), j * len)) return 4;
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
    const pid_t child = spawn_sender(port, n);
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
    Clock clock{&r};
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
            clock.message();
            if (xid_of(buf.data()) != r.msgs) r.out_of_order++;
            r.msgs++;
            have = 0;
            in_hdr = true;
            break;
        }
    }
    clock.finish();
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
    const double n = static_cast<double>(r.msgs);
    std::printf(
        "stream mode=%s msgs=%llu out_of_order=%llu seconds=%.6f msgs_per_s=%.0f "
        "cpu_ns_per_msg=%.1f stall_s=%.3f max_gap_ms=%.0f vcsw_per_msg=%.3f\n",
        mode, static_cast<unsigned long long>(r.msgs),
        static_cast<unsigned long long>(r.out_of_order), r.wall, n / r.wall, r.cpu * 1e9 / n,
        r.stall, r.max_gap * 1e3, static_cast<double>(r.vcsw) / n);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 5 && !std::strcmp(argv[1], "--sender")) {
        if (!load_message()) return 1;
        const uint16_t port = static_cast<uint16_t>(std::atoi(argv[2]));
        const uint64_t count = std::strtoull(argv[3], nullptr, 10);
        const size_t batch = std::strtoul(argv[4], nullptr, 10);
        return sender(port, count, batch ? batch : 1);
    }
    uint64_t n = 200000;
    int rounds = 3;
    std::string mode = "all";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--messages"))
            n = std::strtoull(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--mode"))
            mode = argv[i + 1];
        else if (!std::strcmp(argv[i], "--batch"))
            g_batch = std::strtoul(argv[i + 1], nullptr, 10);
        else {
            std::fprintf(stderr,
                         "usage: %s [--messages N] [--rounds R] [--mode lib|frame|raw|all] "
                         "[--batch MESSAGES_PER_WRITE]\n",
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
        if (mode == "all" || mode == "lib") print("lib", run_lib(n, true));
        if (mode == "all" || mode == "frame") print("frame", run_lib(n, false));
        if (mode == "all" || mode == "raw") print("raw", run_raw(n));
    }
    return 0;
}
