// The server manager with plain loopback peers: how messages are framed whatever pieces they
// arrive in, the send queue, every way a connection ends (also from inside the host's receive
// callback), many clients, disconnecting one, stopping and a busy port.
#include "harness.hpp"

namespace {

using th::Bytes;
using th::msg;
using th::rec;

const std::string kPeer = "<" + th::kLo + "[0-9]+>";

class Server : public th::Net {
   protected:
    void SetUp() override {
        Net::SetUp();
        serve();
        peer = connect_peer();
        conn = rec().events.back().conn;
    }
    // Pieces written with loop rounds in between, so each reaches its own readiness.
    void trickle(const Bytes &bytes, size_t piece) {
        for (size_t off = 0; off < bytes.size(); off += piece) {
            ASSERT_TRUE(
                th::write_all(peer, bytes.data() + off, std::min(piece, bytes.size() - off)));
            size_t lines = th::log_lines().size(), msgs = rec().msgs.size();
            th::run_until(
                [&] { return th::log_lines().size() > lines || rec().msgs.size() > msgs; }, 1000);
        }
    }
    // Writes bytes, lets them arrive, then runs exactly one readiness.
    void one_readiness(const Bytes &bytes) {
        ASSERT_TRUE(th::write_all(peer, bytes));
        usleep(20000);
        ofhost_loop_run_once(500);
    }
    int peer = -1;
    ofconn *conn = nullptr;
};

void echo(ofconn *c, const uint8_t *b, int32_t n) {
    ofserver_send(th::as_client(c), b, uint32_t(n));
}

TEST_F(Server, MessagesArrivingInPiecesAreHandedOverOnceAndIntact) {
    for (size_t piece : {1, 5, 7}) {  // 5: a header in two pieces, the body in several
        Bytes m = msg(2, 40, uint32_t(piece), 0x11);
        for (size_t i = 8; i < m.size(); i++)
            m[i] = uint8_t(i * piece);
        size_t before = rec().msgs.size();
        trickle(m, piece);
        ASSERT_TRUE(th::run_until([&] { return rec().msgs.size() == before + 1; }));
        EXPECT_EQ(rec().msgs.back().second, m) << "pieces of " << piece;
        EXPECT_EQ(rec().msgs.back().first, conn);
    }
    th::run_for(30);
    EXPECT_EQ(rec().msgs.size(), 3u);
    EXPECT_TRUE(th::has_log("socket read blocked, wanted:[0-9]+, read:1$"));
}

TEST_F(Server, BackToBackHeaderOnlyMessagesShareAReadinessButBodiesTakeOneEach) {
    th::log_lines().clear();
    one_readiness(th::cat(msg(2, 8, 1), msg(3, 8, 2)));
    ASSERT_EQ(rec().msgs.size(), 2u);
    EXPECT_EQ(rec().msgs[0].second, msg(2, 8, 1));
    EXPECT_EQ(rec().msgs[1].second, msg(3, 8, 2));
    // Reading on until the socket is empty ends in this line, after both hand-overs.
    EXPECT_TRUE(
        std::regex_match(th::log_lines().back(),
                         std::regex("ERRS ofconn_rx:[0-9]+ " + kPeer +
                                    " socket read failed, err:" + th::err_re(EAGAIN, true))));
    one_readiness(th::cat(msg(2, 16, 3, 0x21), msg(3, 24, 4, 0x22)));
    ASSERT_EQ(rec().msgs.size(), 3u);
    EXPECT_EQ(rec().msgs[2].second, msg(2, 16, 3, 0x21));
    ofhost_loop_run_once(500);
    ASSERT_EQ(rec().msgs.size(), 4u);
    EXPECT_EQ(rec().msgs[3].second, msg(3, 24, 4, 0x22));
    EXPECT_EQ(rec().downs(), 0u);
}

TEST_F(Server, EveryWayAPeerEndsBringsTheConnectionDownOnceWithItsLine) {
    Bytes version5 = msg(2, 16);
    version5[0] = 5;  // the length function refuses other versions: no length line
    struct Case {
        const char *what;
        Bytes bytes;  // none: the peer shuts down, or resets when reset is set
        bool reset;
        std::string line;
    } cases[] = {
        {"beyond the buffer", msg(2, 4097), false,
         "^ERRS ofconn_rx:[0-9]+ " + kPeer + " invalid length: 4089$"},
        {"below the header", msg(2, 4), false, "invalid length: -4$"},
        {"other version", version5, false, "Rcvd event:OFCONN_CONNECTION_DOWN"},
        {"orderly close",
         {},
         false,
         "^INFO ofconn_rx:[0-9]+ " + kPeer + " \\*{6} Remote peer closed the socket, err:"},
        {"reset",
         {},
         true,
         "Remote peer closed the socket, err:" + th::err_re(ECONNRESET, true) + "$"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        size_t downs = rec().downs();
        th::log_lines().clear();
        int &fd = peers.back();
        struct linger lg = {1, 0};
        if (!c.bytes.empty()) {
            th::write_all(fd, c.bytes);
        } else if (!c.reset) {
            shutdown(fd, SHUT_WR);
        } else if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) == 0) {
            close(fd);
            fd = -1;
        }
        ASSERT_TRUE(downs_reach(downs + 1));
        EXPECT_EQ(rec().events.back().conn, conn);
        EXPECT_TRUE(th::has_log(c.line));
        EXPECT_EQ(th::has_log("invalid length"), c.line.find("invalid") != std::string::npos);
        EXPECT_TRUE(th::logs("INFO ofserver_handle_connection_down_event",
                             "Got connection down for client :" + th::kLo + "[0-9]+$"));
        EXPECT_EQ(ListEntries(list), 0u);
        EXPECT_TRUE(fd < 0 || th::peer_closed(fd));
        connect_peer();
        conn = rec().events.back().conn;
    }
    EXPECT_TRUE(rec().msgs.empty());
}

TEST_F(Server, PartialWritesPutExactlyTheMessagesOnTheWireInOrder) {
    // The peer does not read at first, so the 8 KiB send buffer fills and large blocks are
    // taken in part; the send path does not look inside the bytes.
    Bytes expected;
    int blocked = 0;
    for (uint32_t i = 0; i < 12; i++) {
        Bytes m(100000 + i * 4099);
        for (size_t k = 0; k < m.size(); k++)
            m[k] = uint8_t(k * 31 + i);
        expected = th::cat(expected, m);
        blocked += ofserver_send(th::as_client(conn), m.data(), uint32_t(m.size())) == 0;
    }
    EXPECT_GT(blocked, 0);
    th::run_for(100);
    Bytes got = th::read_n(peer, expected.size(), 10000);
    EXPECT_TRUE(
        th::logs("DBUG ofconn_tx", kPeer + " write blocked, requested:[0-9]+, sent:[0-9]+$"));
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    EXPECT_TRUE(th::run_until([&] { return conn->tx_queue_len == 0; }));
    EXPECT_EQ(rec().downs(), 0u);
}

TEST_F(Server, HostDisconnectingInsideItsReceiveCallbackIsSafe) {
    rec().on_rx = [](ofconn *c, const uint8_t *, int32_t) {
        ofserver_disconnect_client(th::as_client(c));
        // Still inside the callback: a reply is dropped quietly, the host not yet told.
        EXPECT_EQ(ofserver_send(th::as_client(c), msg(3, 8).data(), 8), 0);
        EXPECT_EQ(rec().downs(), 0u);
    };
    // Two header-only messages: the second must not be handed over after the disconnect.
    ASSERT_TRUE(th::write_all(peer, th::cat(msg(2, 8, 1), msg(2, 8, 2))));
    ASSERT_TRUE(downs_reach(1));
    th::run_for(30);
    EXPECT_EQ(rec().msgs.size(), 1u);
    EXPECT_EQ(rec().downs(), 1u);
    EXPECT_FALSE(th::has_log("write to socket failed"));  // the reply never reached the socket
    EXPECT_EQ(ListEntries(list), 0u);
    EXPECT_TRUE(th::peer_closed(peer));
}

// The first write draws a reset, a later one EPIPE.
void send_until_epipe(ofconn *c) {
    Bytes m = msg(3, 64);
    for (int i = 0; i < 6 && !th::has_log("err:32$"); i++, usleep(20000))
        ofserver_send(th::as_client(c), m.data(), uint32_t(m.size()));
}

TEST_F(Server, SendToAVanishedPeerMeetsEpipeAndGoesDownOnceAlsoInsideTheReceiveCallback) {
    for (bool inside : {false, true}) {
        SCOPED_TRACE(inside ? "inside" : "outside");
        th::log_lines().clear();
        size_t downs = rec().downs();
        rec().on_rx = [](ofconn *c, const uint8_t *, int32_t) { send_until_epipe(c); };
        ASSERT_TRUE(!inside || th::write_all(peers.back(), msg(2, 16)));
        close(peers.back());  // gone before the reply
        peers.back() = -1;
        usleep(50000);
        if (!inside) send_until_epipe(conn);  // nothing runs the loop meanwhile
        ASSERT_TRUE(downs_reach(downs + 1));
        th::run_for(30);
        EXPECT_EQ(rec().downs(), downs + 1);
        EXPECT_TRUE(th::logs("INFO ofconn_tx", kPeer + " Remote peer closed the socket, err:32$"));
        EXPECT_EQ(ListEntries(list), 0u);
        connect_peer();
        conn = rec().events.back().conn;
    }
}

TEST_F(Server, AcceptedClientIsListedNamedAndAnnouncedAfterTheConnectionLayer) {
    EXPECT_TRUE(th::logs("INFO ofserver_start", "Started server on " + th::kLo + "0$"));
    ofserver_client *client = th::as_client(conn);
    EXPECT_EQ(ListGet(list, LIST_GET_FIRST), client);
    EXPECT_EQ(client->client_ip, 0x7f000001u);
    std::string name = "127.0.0.1:" + std::to_string(th::bound_port(peer));
    EXPECT_EQ(ofserver_get_client_name(client), name);
    EXPECT_TRUE(th::logs("INFO ofserver_accept", "Client got connected from " + name + "$"));
    auto up = th::logged("^DBUG ofconn_event_handler:[0-9]+ <" + name +
                         ">: Rcvd event:OFCONN_CONNECTION_UP $");
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(th::log_lines()[rec().events.back().log_index - 1], up[0]);  // just before the host
    EXPECT_EQ(client->conn.rx_buf->size, 4096u);
    int fd = client->conn.sock->socket_fd, v = 0;
    socklen_t l = sizeof v;
    getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, &l);
    EXPECT_EQ(v, 1);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
}

TEST_F(Server, TwoHundredConcurrentClientsEachExchangeMessages) {
    const size_t kClients = 200;
    rec().on_rx = echo;
    while (peers.size() < kClients)
        connect_peer();
    EXPECT_EQ(ListEntries(list), kClients);
    for (size_t i = 0; i < kClients; i++)  // all send first, then the replies are collected
        ASSERT_TRUE(th::write_all(peers[i], msg(2, uint16_t(16 + i), uint32_t(i), uint8_t(i))));
    ASSERT_TRUE(th::run_until([&] { return rec().msgs.size() == kClients; }, 10000));
    for (size_t i = 0; i < kClients; i++)
        EXPECT_EQ(th::read_n(peers[i], 16 + i), msg(2, uint16_t(16 + i), uint32_t(i), uint8_t(i)))
            << "client " << i;
    ofserver_stop();
    EXPECT_EQ(rec().downs(), kClients);
}

TEST_F(Server, DisconnectingOneOfThreeDropsItsQueueAndLeavesTheOthersRunning) {
    connect_peer();
    connect_peer();
    Bytes m = msg(2, 60000);
    for (int i = 0; i < 20; i++)
        ofserver_send(th::as_client(rec().events[1].conn), m.data(), uint32_t(m.size()));
    ASSERT_GT(rec().events[1].conn->tx_queue_len, 1u);
    rec().on_rx = echo;
    ofserver_disconnect_client(th::as_client(rec().events[1].conn));  // LeakSanitizer: buffers
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN, rec().events[1].conn), 1u);
    EXPECT_TRUE(th::logs("INFO ofserver_disconnect_client",
                         "Disconnecting client at " + th::kLo + "[0-9]+$"));
    EXPECT_EQ(ListEntries(list), 2u);
    EXPECT_TRUE(th::peer_closed(peers[1], 5000));
    for (size_t i : {0, 2}) {
        ASSERT_TRUE(th::write_all(peers[i], msg(2, 32, uint32_t(i))));
        EXPECT_EQ(th::read_n(peers[i], 32), msg(2, 32, uint32_t(i)));
    }
    EXPECT_EQ(rec().downs(), 1u);
}

TEST_F(Server, StopFromInsideAReceiveCallbackReportsEveryClientOnceAndAllowsARestart) {
    uint16_t port = server_port();
    connect_peer();
    connect_peer();
    rec().on_rx = [](ofconn *, const uint8_t *, int32_t) { ofserver_stop(); };
    ASSERT_TRUE(th::write_all(peers[1], msg(2, 8)));
    ASSERT_TRUE(downs_reach(3));
    th::run_for(30);
    for (const auto &e : rec().events)
        EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN, e.conn), 1u);
    EXPECT_EQ(ListEntries(list), 0u);
    EXPECT_EQ(ofserver_local_inst.ofs_ctx, nullptr);
    EXPECT_TRUE(th::logs("INFO ofserver_stop", "Stopping server on " + th::kLo + "0$"));
    for (int fd : peers)
        EXPECT_TRUE(th::peer_closed(fd));
    EXPECT_EQ(th::connect_loopback(port), -1);  // no longer listening
    // The closed connections' TIME_WAIT does not stop the bind.
    ASSERT_EQ(ofserver_start(0x7f000001, port), 0);
    connect_peer();
    EXPECT_EQ(ListEntries(list), 1u);
}

TEST_F(Server, BusyPortFailsTheStartAndReleasesTheListeningDescriptor) {
    ofserver_stop();
    uint16_t port = 0;
    int busy = th::tcp(&port, true), fds = th::count_fds();
    EXPECT_EQ(ofserver_start(0x7f000001, port), -1);
    EXPECT_TRUE(
        th::logs("ERRS ofsocket_bind", "bind failed: addr:" + th::kLo + std::to_string(port) +
                                           ", fd:[0-9]+, err:" + th::err_re(EADDRINUSE) + "$"));
    EXPECT_EQ(ofserver_local_inst.ofs_ctx, nullptr);
    EXPECT_EQ(th::count_fds(), fds);
    close(busy);
    ASSERT_EQ(ofserver_start(0, port), 0);  // every interface
    EXPECT_TRUE(th::has_log("Started server on 0\\.0\\.0\\.0:" + std::to_string(port) + "$"));
    connect_peer();
}

}  // namespace
