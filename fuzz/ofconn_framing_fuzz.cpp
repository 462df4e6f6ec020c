// libFuzzer target for the receive framing of a server connection. A loopback peer writes an
// arbitrary byte stream, cut where the input says, into a connection accepted by the server
// manager and driven by the reference dispatcher; each receive readiness is checked against a
// model of the framing: which whole messages it hands over, in order, and how the call ends
// (a partial read, a read that would block, a message with a body, or the connection going
// down for a bad header, a bad length, the peer's close or the host's disconnect). The host
// may echo each message back (checked on the peer's side) and disconnect after the k-th one.
//
// Input: rx_buf_size (2 bytes, big-endian, below 4096), flags (bit 0: echo), k (0: never),
// the number of cuts, 2 bytes per cut (offsets into the stream), then the stream itself.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ofhost.h"
#include "oflog.h"
#include "ofmsg.h"
#include "ofserver.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kHdrLen = 8;
constexpr int kWaitMs = 2000;

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "framing oracle: %s\n", what);
    std::abort();
}

void require(bool ok, const char *what) {
    if (!ok) fail(what);
}

// ---- The model --------------------------------------------------------------------------

// How one receive call ends.
enum class End { Partial, WouldBlock, Body, DownBadHeader, DownLength, DownEof, DownHost };

const char *end_name(End e) {
    static const char *const names[] = {"partial read",         "would block",  "message with body",
                                        "down: bad header",     "down: length", "down: peer closed",
                                        "down: host disconnect"};
    return names[static_cast<int>(e)];
}

bool is_down(End e) {
    return e >= End::DownBadHeader;
}

// The connection layer's receive engine as the framing rules state it, fed from the stream.
struct Model {
    const uint8_t *stream = nullptr;
    size_t pos = 0;  // stream bytes the connection has read
    uint32_t size = 0;
    bool reading_hdr = true;
    uint32_t read_size = 0;
    Bytes cur;                      // bytes of the current message held
    uint32_t disconnect_after = 0;  // the host disconnects inside this delivery (0: never)
    uint32_t delivered = 0;
    int32_t bad_len = 0;  // the number logged with a length fault

    // ofmsg_payload_len: version 4 and type at most 29, else -1.
    int32_t msg_len() const {
        if (cur[0] != OFP_VERSION || cur[1] > OFPT_METER_MOD) return -1;
        return (cur[2] << 8) | cur[3];
    }

    // Hands the message over; true when the host disconnects inside this delivery.
    bool deliver(std::vector<Bytes> &out) {
        out.push_back(cur);
        cur.clear();
        read_size = 0;
        reading_hdr = true;
        return ++delivered == disconnect_after;
    }

    // One receive call with `avail` stream bytes in the socket and, when eof, the peer's FIN
    // behind them.
    End step(size_t avail, bool eof, std::vector<Bytes> &out) {
        for (;;) {
            uint32_t wanted;
            if (reading_hdr) {
                wanted = kHdrLen - read_size;
            } else {
                const int32_t total = msg_len();
                if (total == -1) return End::DownBadHeader;
                wanted = static_cast<uint32_t>(total) - read_size;
                if (wanted == 0) {
                    if (deliver(out)) return End::DownHost;
                    continue;
                }
            }
            if (size - read_size < wanted) {
                bad_len = static_cast<int32_t>(wanted);
                return End::DownLength;
            }
            const size_t n = std::min<size_t>(wanted, avail);
            if (n == 0) return eof ? End::DownEof : End::WouldBlock;
            cur.insert(cur.end(), stream + pos, stream + pos + n);
            pos += n;
            avail -= n;
            read_size += static_cast<uint32_t>(n);
            if (n < wanted) return End::Partial;
            if (reading_hdr) {
                reading_hdr = false;
                continue;
            }
            return deliver(out) ? End::DownHost : End::Body;
        }
    }
};

// ---- The host -----------------------------------------------------------------------------

// What the library did during one receive call, from its callbacks and log lines.
struct Seen {
    std::vector<Bytes> msgs;
    int partial = 0, would_block = 0, bad_header = 0, bad_length = 0, peer_closed = 0,
        disconnect = 0;
    int32_t logged_len = 0;
};

struct Host {
    ofserver_client *client = nullptr;
    int ups = 0, downs = 0;
    bool echo = false;
    uint32_t disconnect_after = 0, received = 0;
    Seen seen;
    uint32_t recv_calls = 0;
};

Host g_host;

bool contains(const char *line, const char *text) {
    return std::strstr(line, text) != nullptr;
}

void sink(int, const char *line) {
    Seen &s = g_host.seen;
    s.partial += contains(line, "socket read blocked");
    s.would_block += contains(line, "socket read failed");
    s.bad_header += contains(line, "Invalid of header");
    s.peer_closed += contains(line, "Remote peer closed the socket");
    s.disconnect += contains(line, "Disconnecting client at");
    if (const char *p = std::strstr(line, "invalid length: ")) {
        s.bad_length++;
        s.logged_len = static_cast<int32_t>(std::strtol(p + 16, nullptr, 10));
    }
}

void on_event(ofconn *conn, uint32_t event) {
    if (event == OFCONN_CONNECTION_UP) {
        g_host.ups++;
        g_host.client = reinterpret_cast<ofserver_client *>(conn);
    } else if (event == OFCONN_CONNECTION_DOWN) {
        g_host.downs++;
        g_host.client = nullptr;
    }
}

int32_t on_message(ofconn *conn, const uint8_t *bytes, int32_t length) {
    g_host.seen.msgs.emplace_back(bytes, bytes + length);
    auto *client = reinterpret_cast<ofserver_client *>(conn);
    if (g_host.echo) ofserver_send(client, bytes, static_cast<uint32_t>(length));
    if (++g_host.received == g_host.disconnect_after) ofserver_disconnect_client(client);
    return 0;
}

int counting_recv(ofsocket *sock) {
    g_host.recv_calls++;
    return ofconn_recv(sock);
}

uint16_t g_port;
int g_baseline_inputs;

void start_server() {
    oflog_init(nullptr, 1, sink, nullptr);
    ofconn_registration reg{};
    reg.event_cb = on_event;
    reg.rx_cb = on_message;
    reg.conn_cfg = {kHdrLen, 4096, ofmsg_payload_len};
    ofserver_register(&reg);
    require(ofserver_start(0x7f000001, 0) == 0, "server does not start");
    sockaddr_in a{};
    socklen_t l = sizeof a;
    getsockname(ofserver_local_inst.ofs_ctx->socket_fd, reinterpret_cast<sockaddr *>(&a), &l);
    g_port = ntohs(a.sin_port);
    ofhost_disp_wait(0);
    g_baseline_inputs = static_cast<int>(ofhost_disp_count());
}

// ---- The peer -----------------------------------------------------------------------------

int queued(int fd, unsigned long request) {
    int n = 0;
    require(ioctl(fd, request, &n) == 0, "ioctl on a socket failed");
    return n;
}

// Waits until fd reports one of the poll events (the loop is not run meanwhile).
bool wait_for(int fd, short events) {
    pollfd p{fd, events, 0};
    for (int waited = 0; waited < kWaitMs; waited++) {
        int r = poll(&p, 1, 1);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}

int connect_peer() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    require(fd >= 0, "no socket for the peer");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(g_port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Non-blocking: the fuzzer's timer signal cannot interrupt it, and an EINTR would leave
    // the connect running anyway.
    int r = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    require(r == 0 || errno == EINPROGRESS || errno == EINTR, "peer connect failed");
    require(wait_for(fd, POLLOUT), "peer connect did not complete");
    for (int i = 0; i < kWaitMs && !g_host.client; i++)
        ofhost_disp_wait(1);
    require(g_host.client && g_host.ups == 1, "accepted peer not announced once");
    return fd;
}

// All of a segment into the socket (the caller then waits for it at the server).
void write_segment(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            wait_for(fd, POLLOUT);
            continue;
        }
        require(w > 0, "peer write failed");
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// Waits until the server's socket holds n unread bytes (on loopback they are there as soon
// as the write returns, but waiting costs nothing then). Waiting for the peer's send queue to
// empty instead would wait for the server's delayed acknowledgement.
void await_unread(int server_fd, size_t n) {
    for (int i = 0; queued(server_fd, FIONREAD) != static_cast<int>(n); i++) {
        require(i < kWaitMs * 10, "written bytes never reached the server");
        if (i > 100) usleep(100);
    }
}

// What the server echoed so far, appended to `echo`.
void drain(int fd, Bytes &echo) {
    uint8_t buf[4096];
    for (;;) {
        ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (r <= 0) return;
        echo.insert(echo.end(), buf, buf + r);
    }
}

Bytes concat(const std::vector<Bytes> &msgs) {
    Bytes all;
    for (const Bytes &m : msgs)
        all.insert(all.end(), m.begin(), m.end());
    return all;
}

// ---- One exchange -------------------------------------------------------------------------

struct Run {
    Model model;
    std::vector<Bytes> expected;  // everything the model delivered so far
    std::vector<Bytes> delivered;
    size_t written = 0;
    bool eof = false;
    bool down = false;
    int server_fd = -1;
};

// Runs one receive readiness of the server connection and checks it against the model.
void one_call(Run &run) {
    const size_t avail = run.written - run.model.pos;
    require(queued(run.server_fd, FIONREAD) == static_cast<int>(avail),
            "the connection read more or less than the framing asks for");
    std::vector<Bytes> want;
    const End end = run.model.step(avail, run.eof, want);

    g_host.seen = Seen{};
    const uint32_t calls = g_host.recv_calls;
    for (int i = 0; i < kWaitMs && g_host.recv_calls == calls; i++)
        ofhost_disp_wait(1);
    require(g_host.recv_calls == calls + 1, "no receive call on a readable connection");

    const Seen &s = g_host.seen;
    if (s.msgs != want) {
        std::fprintf(stderr, "call ending in %s: %zu messages handed over, %zu expected\n",
                     end_name(end), s.msgs.size(), want.size());
        fail("wrong messages handed over");
    }
    run.delivered.insert(run.delivered.end(), s.msgs.begin(), s.msgs.end());
    run.expected.insert(run.expected.end(), want.begin(), want.end());
    bool ok = s.partial == (end == End::Partial) && s.would_block == (end == End::WouldBlock) &&
              s.bad_header == (end == End::DownBadHeader) &&
              s.bad_length == (end == End::DownLength) && s.peer_closed == (end == End::DownEof) &&
              s.disconnect == (end == End::DownHost) &&
              (end != End::DownLength || s.logged_len == run.model.bad_len) &&
              (g_host.client == nullptr) == is_down(end);
    if (!ok) {
        std::fprintf(stderr,
                     "expected %s; saw partial %d, would-block %d, bad header %d, bad length %d "
                     "(%d, expected %d), peer closed %d, disconnect %d, up %d\n",
                     end_name(end), s.partial, s.would_block, s.bad_header, s.bad_length,
                     s.logged_len, run.model.bad_len, s.peer_closed, s.disconnect,
                     g_host.client != nullptr);
        fail("receive call ended otherwise than the framing says");
    }
    if (is_down(end)) {
        run.down = true;
        require(g_host.downs == 1, "connection down not reported once");
        require(fcntl(run.server_fd, F_GETFD) == -1 && errno == EBADF,
                "descriptor of a connection gone down still open");
    }
}

// Runs receive calls while the server's socket is readable and the connection is up.
void drain_server(Run &run) {
    while (!run.down && (run.written > run.model.pos || run.eof))
        one_call(run);
}

// Takes the cut list off the front of the input; what follows is the stream. Each cut is an
// offset into the stream (taken modulo its length plus one); the stream's end is always one.
std::vector<size_t> segment_ends(const uint8_t *&p, size_t &n) {
    std::vector<size_t> cuts;
    const size_t ncuts = n ? std::min<size_t>(p[0], (n - 1) / 2) : 0;
    for (size_t i = 0; i < ncuts; i++)
        cuts.push_back((size_t{p[1 + 2 * i]} << 8) | p[2 + 2 * i]);
    const size_t used = n ? 1 + 2 * ncuts : 0;
    p += used, n -= used;
    for (size_t &c : cuts)
        c %= n + 1;
    cuts.push_back(n);
    std::sort(cuts.begin(), cuts.end());
    return cuts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool started = false;
    if (!started) {
        start_server();
        started = true;
    }
    if (size < 4) return 0;
    const uint32_t rx_buf_size = ((uint32_t{data[0]} << 8) | data[1]) % 4096;
    const bool echo = data[2] & 1;
    const uint32_t disconnect_after = data[3];
    const uint8_t *p = data + 4;
    size_t n = size - 4;
    const std::vector<size_t> cuts = segment_ends(p, n);
    const uint8_t *stream = p;

    ofserver_local_inst.conn_cfg.rx_buf_size = rx_buf_size;
    g_host = Host{};
    g_host.echo = echo;
    g_host.disconnect_after = disconnect_after;
    const int peer = connect_peer();
    ofsocket_set_recv(g_host.client->conn.sock, counting_recv);

    Run run;
    run.model.stream = stream;
    run.model.size = rx_buf_size;
    run.model.disconnect_after = disconnect_after;
    run.server_fd = g_host.client->conn.sock->socket_fd;
    Bytes echoed;

    size_t from = 0;
    for (size_t cut : cuts) {
        if (run.down) break;
        if (cut == from) continue;
        write_segment(peer, stream + from, cut - from);
        run.written = cut;
        await_unread(run.server_fd, run.written - run.model.pos);
        from = cut;
        drain_server(run);
        drain(peer, echoed);
    }
    if (!run.down) {
        // Every echo is out before the peer closes its side.
        const size_t want = echo ? concat(run.delivered).size() : 0;
        for (int i = 0; i < kWaitMs && echoed.size() < want; i++) {
            ofhost_disp_wait(1);
            drain(peer, echoed);
        }
        require(echoed.size() == want, "echoed messages did not all arrive");
        shutdown(peer, SHUT_WR);
        require(wait_for(run.server_fd, POLLRDHUP), "peer's close not seen by the server");
        run.eof = true;
        drain_server(run);
        require(run.down, "connection still up after the peer closed");
    }
    require(run.delivered == run.expected, "delivered messages differ from the model's");
    drain(peer, echoed);
    const Bytes all = concat(run.delivered);
    require(echoed.size() <= all.size() && std::equal(echoed.begin(), echoed.end(), all.begin()),
            "echo is not the delivered messages in order");
    require(echo || echoed.empty(), "bytes sent back without an echo");
    require(g_host.ups == 1 && g_host.downs == 1 && !g_host.client, "up/down not reported once");
    require(ListEntries(ofserver_local_inst.ofclient_list) == 0, "client still listed");
    require(static_cast<int>(ofhost_disp_count()) == g_baseline_inputs,
            "dispatcher interests left behind");

    // Reset rather than a FIN: no TIME_WAIT is left for each of millions of exchanges.
    linger lg{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(peer);
    return 0;
}
