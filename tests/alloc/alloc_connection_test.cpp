// Allocation failure in the transport: a client connection's set-up (plain TCP in a build
// with TLS), a server's start and a server's accept, each followed by one message each way,
// swept over every allocation they make. A failing run must leave no block, descriptor or
// dispatcher interest behind, must end every connection the host heard come up, and must say
// so: a null or -1 result, or an error log line.
#include <poll.h>

#include <string>

#include "alloc_hook.hpp"
#include "transport/harness.hpp"

namespace {

using th::Bytes;
using th::rec;

// What one set-up and exchange came to.
struct Outcome {
    bool refused = false;    // the call that starts it returned null or -1
    bool exchanged = false;  // one message went each way
    bool ended = true;       // every connection that came up was reported down by the end
    bool error_logged = false;
    int fds = 0;
    uint32_t inputs = 0;  // dispatcher interests
};

// The server closed fd (orderly or by reset), without consuming anything.
bool closed_by_peer(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 0) != 1) return false;
    uint8_t b;
    ssize_t r = recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT);
    return r == 0 || (r < 0 && errno != EAGAIN);
}

class AllocNet : public th::Net {
   protected:
    void SetUp() override {
        th::Net::SetUp();
        // Before any listener: the accept sweep counts its own server's.
        inputs_clean = ofhost_disp_count();
    }

    // Events, messages and log lines from here on.
    void mark() {
        ups0 = rec().ups(), downs0 = rec().downs(), msgs0 = rec().msgs.size();
        log0 = th::log_lines().size();
    }
    bool up() const { return rec().ups() > ups0; }
    bool down() const { return rec().downs() > downs0; }

    // The host sends a hello on conn, the peer answers with one.
    bool exchange(int peer, const std::function<int(const uint8_t *, uint32_t)> &send) {
        const Bytes hello = th::msg(OFPT_HELLO, 8);
        // 0 from a send of 8 bytes to a fresh loopback connection means it failed.
        const bool sent = send(hello.data(), uint32_t(hello.size())) == 1 &&
                          th::read_n(peer, hello.size(), 1000) == hello;
        th::write_all(peer, hello);
        th::run_until([&] { return rec().msgs.size() > msgs0 || down(); }, 1000);
        return sent && rec().msgs.size() == msgs0 + 1 && rec().msgs.back().second == hello;
    }

    void finish(Outcome &o, int peer) {
        if (peer >= 0) close(peer);
        const size_t ups = rec().ups() - ups0, downs = rec().downs() - downs0;
        // Each connection that came up went down; a client whose connect failed after it was
        // started is told so by one down alone.
        o.ended = downs == ups || (client_mode && ups == 0 && downs == 1);
        for (size_t i = log0; i < th::log_lines().size(); i++)
            o.error_logged = o.error_logged || th::log_lines()[i].rfind("ERRS", 0) == 0;
        o.fds = th::count_fds();
        o.inputs = ofhost_disp_count();
    }

    // Clean runs work; every run ends with nothing kept; a failing one says so.
    void check(const Outcome &o, uint64_t n) {
        EXPECT_EQ(alloc_hook::live(), 0u) << "blocks leaked";
        EXPECT_EQ(o.fds, fds_clean) << "descriptors left open";
        EXPECT_EQ(o.inputs, inputs_clean) << "dispatcher interests left behind";
        EXPECT_TRUE(o.ended) << "a connection the host heard come up was never reported down";
        if (n == 0)
            EXPECT_TRUE(o.exchanged && !o.refused);
        else
            EXPECT_TRUE(o.refused || o.error_logged)
                << "the failure was neither returned nor logged";
    }

    // Connects the client, exchanges a message each way and disconnects.
    Outcome client_set_up() {
        Outcome o;
        mark();
        ofclient_server *ofs = ofclient_connect_to_ofserver(0x7f000001, port, nullptr);
        o.refused = ofs == nullptr;
        if (ofs) th::run_until([&] { return up() || down(); }, 2000);
        struct pollfd p = {listener, POLLIN, 0};
        const int peer = poll(&p, 1, ofs ? 1000 : 0) == 1 ? accept(listener, nullptr, nullptr) : -1;
        if (up() && !down() && peer >= 0)
            o.exchanged = exchange(peer, [](const uint8_t *b, uint32_t n) {
                return ofclient_send(ofclient_local_inst.ofserver, b, n);
            });
        if (ofclient_local_inst.ofserver) ofclient_disconnect(ofclient_local_inst.ofserver);
        finish(o, peer);
        return o;
    }

    // A peer connects to the server, a message goes each way, the host disconnects it.
    Outcome server_accept() {
        Outcome o;
        mark();
        uint16_t to = server_port();
        const int peer = th::tcp(&to, false);
        th::run_until([&] { return up() || closed_by_peer(peer); }, 2000);
        ofserver_client *client = up() ? th::as_client(rec().events.back().conn) : nullptr;
        if (up() && !down())
            o.exchanged = exchange(peer, [client](const uint8_t *b, uint32_t n) {
                return ofserver_send(client, b, n);
            });
        if (up() && !down()) ofserver_disconnect_client(client);
        finish(o, peer);
        return o;
    }

    // The sweep over op, each outcome checked against the state before the first run.
    template <class Op>
    void sweep(Op op) {
        fds_clean = th::count_fds();
        alloc_hook::sweep(op, [&](const Outcome &o, uint64_t n) { check(o, n); });
    }

    size_t ups0 = 0, downs0 = 0, msgs0 = 0, log0 = 0;
    bool client_mode = false;
    int fds_clean = 0;
    uint32_t inputs_clean = 0;
};

TEST_F(AllocNet, ClientSetUpFailsCleanlyAndSaysSoAtEveryAllocation) {
    client_mode = true;
    client_side();
    sweep([&] { return client_set_up(); });
}

TEST_F(AllocNet, ServerStartFailsCleanlyAtEveryAllocation) {
    ofconn_registration reg = th::registration(4096);
    list = ofserver_register(&reg);
    fds_clean = th::count_fds();
    alloc_hook::sweep(
        [&] {
            Outcome o;
            mark();
            o.refused = ofserver_start(0x7f000001, 0) != 0;
            if (!o.refused) {
                o.exchanged = true;  // listening is all a start promises
                ofserver_stop();
            }
            finish(o, -1);
            return o;
        },
        [&](const Outcome &o, uint64_t n) {
            check(o, n);
            EXPECT_EQ(o.refused, n != 0);
        });
}

TEST_F(AllocNet, ServerAcceptFailsCleanlyAndSaysSoAtEveryAllocation) {
    serve();
    inputs_clean = ofhost_disp_count();
    sweep([&] { return server_accept(); });
}

}  // namespace
