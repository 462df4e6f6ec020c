// The server manager with plain loopback peers: how messages are framed whatever pieces they
// arrive in, the send queue, every way a connection ends (also from inside the host's receive
// callback), many clients, disconnecting one, stopping and a busy port. Last, for both managers,
// every call a host may make from inside its UP, DOWN and receive callbacks.
#include <map>

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

// A host that waits for something by running the loop inside its receive callback: the
// connection's next message waits until the callback has returned, without waking the nested
// loop, and the bytes in hand stay as they are.
TEST_F(Server, LoopRunInsideTheReceiveCallbackLeavesTheNextMessageUntilItReturns) {
    for (uint16_t first_len : {8, 40}) {  // header-only, and with a body
        SCOPED_TRACE(first_len);
        const Bytes m1 = msg(2, first_len, 1, 0x31), m2 = msg(3, 24, 2, 0x32);
        size_t before = rec().msgs.size();
        int nested_calls = 0;
        bool first = true, intact = false;
        rec().on_rx = [&](ofconn *, const uint8_t *b, int32_t n) {
            if (!first) return;
            first = false;
            ASSERT_TRUE(th::write_all(peer, m2));
            usleep(20000);
            for (int i = 0; i < 3; i++)
                nested_calls += ofhost_disp_wait(20);
            intact = Bytes(b, b + n) == m1;
        };
        ASSERT_TRUE(th::write_all(peer, m1));
        ASSERT_TRUE(th::run_until([&] { return rec().msgs.size() >= before + 2; }));
        th::run_for(30);
        ASSERT_EQ(rec().msgs.size(), before + 2);
        EXPECT_EQ(rec().msgs[before].second, m1);
        EXPECT_EQ(rec().msgs[before + 1].second, m2);
        EXPECT_TRUE(intact);
        EXPECT_LE(nested_calls, 1);  // one look at the readiness, then quiet
        EXPECT_EQ(rec().downs(), 0u);
    }
}

// Writes until one meets EPIPE: after a closed peer's reset, or after the error of a reset
// peer has been reported.
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
        struct linger reset = {1, 0};  // outside: the peer resets rather than closes
        if (!inside) setsockopt(peers.back(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(peers.back());  // gone before the reply
        peers.back() = -1;
        usleep(50000);
        if (!inside) send_until_epipe(conn);  // nothing runs the loop meanwhile
        ASSERT_TRUE(downs_reach(downs + 1));
        th::run_for(30);
        EXPECT_EQ(rec().downs(), downs + 1);
        EXPECT_TRUE(th::logs("INFO ofconn_tx", kPeer + " Remote peer closed the socket, err:32$"));
        // A reset is reported by the write that meets it, which is lost; the connection stays
        // until the next write.
        EXPECT_EQ(th::logs("ERRS ofconn_tx", kPeer + " write to socket failed - err : " +
                                                 th::err_re(ECONNRESET, true) + "$"),
                  !inside);
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
    EXPECT_EQ(th::tcp(&port, false), -1);  // no longer listening
    // The closed connections' TIME_WAIT does not stop the bind.
    ASSERT_EQ(ofserver_start(0x7f000001, port), 0);
    connect_peer();
    EXPECT_EQ(ListEntries(list), 1u);
}

TEST_F(Server, BusyPortFailsTheStartAndReleasesTheListeningDescriptor) {
    ofserver_stop();
    uint16_t port = 0;
    int busy = th::tcp(&port, true), fds = th::count_fds();
    EXPECT_EQ(ofserver_start(0x7f000001, port), -1);  // its line: SocketCalls' bind
    EXPECT_EQ(ofserver_local_inst.ofs_ctx, nullptr);
    EXPECT_EQ(th::count_fds(), fds);
    close(busy);
    ASSERT_EQ(ofserver_start(0, port), 0);  // every interface
    EXPECT_TRUE(th::has_log("Started server on 0\\.0\\.0\\.0:" + std::to_string(port) + "$"));
    connect_peer();
}

// ---- The host calling back into the library from inside its callbacks -----------------------

// Which callback of the connection "self" the host is in: UP, DOWN (its peer closed, the server
// stops, or the client's connect was refused) or receive.
enum class In { Up, Down, DownInStop, DownRefused, Rx };
// What the host calls from there.
enum class Call { Stop, DisconnectSelf, DisconnectOther, SendSelf, SendOther, Connect, Reconnect };

struct Reentry {
    bool server;  // self belongs to the server manager, else to the client manager
    In in;
    Call call;
    size_t downs, ups;  // events the host has heard once the loop has settled
};

std::string reentry_name(const ::testing::TestParamInfo<Reentry> &info) {
    const char *in[] = {"Up", "Down", "DownInStop", "DownRefused", "Rx"};
    const char *call[] = {"Stop",      "DisconnectSelf", "DisconnectOther", "SendSelf",
                          "SendOther", "Connect",        "Reconnect"};
    const Reentry &r = info.param;
    return std::string(r.server ? "Server" : "Client") + "In" + in[int(r.in)] + call[int(r.call)];
}

// Server rows: two clients; self is the second one (the first in a stop, so that the other is
// still listed when self goes down), other the first. Client rows: self is the one connection.
const Reentry kReentries[] = {
    {true, In::Up, Call::Stop, 2, 2},
    {true, In::Up, Call::DisconnectSelf, 1, 2},
    {true, In::Up, Call::DisconnectOther, 1, 2},
    {true, In::Up, Call::SendSelf, 0, 2},
    {true, In::Up, Call::SendOther, 0, 2},
    {true, In::Down, Call::Stop, 2, 2},
    {true, In::Down, Call::DisconnectSelf, 1, 2},
    {true, In::Down, Call::DisconnectOther, 2, 2},
    {true, In::Down, Call::SendSelf, 1, 2},
    {true, In::Down, Call::SendOther, 1, 2},
    {true, In::DownInStop, Call::Stop, 2, 2},
    {true, In::DownInStop, Call::DisconnectOther, 2, 2},
    {true, In::Rx, Call::Stop, 2, 2},
    {true, In::Rx, Call::DisconnectSelf, 1, 2},
    {true, In::Rx, Call::DisconnectOther, 1, 2},
    {true, In::Rx, Call::SendSelf, 0, 2},
    {true, In::Rx, Call::SendOther, 0, 2},
    {false, In::Up, Call::DisconnectSelf, 1, 1},
    {false, In::Up, Call::Reconnect, 1, 2},
    {false, In::Up, Call::SendSelf, 0, 1},
    {false, In::Down, Call::DisconnectSelf, 1, 1},
    {false, In::Down, Call::Connect, 1, 2},
    {false, In::Down, Call::Reconnect, 1, 2},
    {false, In::DownRefused, Call::DisconnectSelf, 1, 0},
    {false, In::DownRefused, Call::Reconnect, 1, 1},
    {false, In::Rx, Call::DisconnectSelf, 1, 1},
    {false, In::Rx, Call::Reconnect, 1, 2},
    {false, In::Rx, Call::SendSelf, 0, 1},
};

class HostCalls : public th::Net, public ::testing::WithParamInterface<Reentry> {
   protected:
    // Runs the row's call the first time self's callback is reached (self is not known
    // beforehand for UP and for a refused connect).
    void arm() {
        const Reentry &r = GetParam();
        auto hook = [this](ofconn *c) {
            if (called || (self != nullptr && c != self)) return;
            called = true;
            self = c;
            call();
        };
        if (r.in == In::Rx) {
            rec().on_rx = [hook](ofconn *c, const uint8_t *, int32_t) { hook(c); };
        } else {
            uint32_t want = r.in == In::Up ? OFCONN_CONNECTION_UP : OFCONN_CONNECTION_DOWN;
            rec().on_event = [hook, want](ofconn *c, uint32_t ev) {
                if (ev == want) hook(c);
            };
        }
    }
    void call() {
        const Reentry &r = GetParam();
        switch (r.call) {
            case Call::Stop:
                ofserver_stop();
                break;
            case Call::DisconnectSelf:
                disconnect(self);
                if (sends_after_disconnect()) {  // dropped quietly, the host not yet told
                    sent = ofserver_send(th::as_client(self), reply.data(), 8);
                    EXPECT_EQ(rec().downs(), 0u);
                }
                break;
            case Call::DisconnectOther:
                ofserver_disconnect_client(th::as_client(other));
                break;
            case Call::SendSelf:
                sent = r.server ? ofserver_send(th::as_client(self), reply.data(), 8)
                                : ofclient_send(reinterpret_cast<ofclient_server *>(self),
                                                reply.data(), 8);
                break;
            case Call::SendOther:
                sent = ofserver_send(th::as_client(other), reply.data(), 8);
                break;
            case Call::Reconnect:
                disconnect(self);
                [[fallthrough]];
            case Call::Connect:
                EXPECT_NE(ofclient_connect_to_ofserver(0x7f000001, port, nullptr), nullptr);
                break;
        }
    }
    bool sends_after_disconnect() const {
        return GetParam().server && GetParam().in == In::Rx &&
               GetParam().call == Call::DisconnectSelf;
    }
    void disconnect(ofconn *c) {
        if (GetParam().server)
            ofserver_disconnect_client(th::as_client(c));
        else
            ofclient_disconnect(reinterpret_cast<ofclient_server *>(c));
    }
    // Brings self to the row's callback.
    void server_side() {
        serve();
        int first = connect_peer();
        ofconn *first_conn = rec().events.back().conn;
        if (GetParam().in == In::Up) {
            other = first_conn;
            other_peer = first;
            arm();
            self_peer = connect_peer();
            return;
        }
        int second = connect_peer();
        ofconn *second_conn = rec().events.back().conn;
        bool self_first = GetParam().in == In::DownInStop;
        self = self_first ? first_conn : second_conn;
        self_peer = self_first ? first : second;
        other = self_first ? second_conn : first_conn;
        other_peer = self_first ? second : first;
        arm();
        if (GetParam().in == In::Down) shutdown(self_peer, SHUT_WR);
        if (GetParam().in == In::DownInStop) ofserver_stop();
        // Two header-only messages: once self has ended, the second is not handed over.
        if (GetParam().in == In::Rx) th::write_all(self_peer, th::cat(msg(2, 8, 1), msg(2, 8, 2)));
    }
    void client_side_of_row() {
        client_side();
        In in = GetParam().in;
        if (in == In::DownRefused) {
            arm();
            ofclient_connect_to_ofserver(0x7f000001, th::free_port(), nullptr);
            return;
        }
        if (in == In::Up) arm();
        ofclient_server *ofs = connect_up();
        self_peer = accepted;
        if (in == In::Up) return;
        self = &ofs->conn;
        arm();
        if (in == In::Down) shutdown(accepted, SHUT_WR);
        if (in == In::Rx) th::write_all(accepted, msg(2, 16));
    }
    ofconn *self = nullptr, *other = nullptr;
    int self_peer = -1, other_peer = -1, sent = -1;
    bool called = false;
    Bytes reply = msg(3, 8, 99);
};

// Whatever the host calls from inside UP, DOWN and receive callbacks, each connection ends
// exactly once, nothing freed is touched (AddressSanitizer) and no descriptor stays open (the
// fixture counts them).
TEST_P(HostCalls, EveryConnectionEndsOnce) {
    const Reentry &r = GetParam();
    if (r.server)
        server_side();
    else
        client_side_of_row();
    bool self_ends = r.call == Call::Stop || r.call == Call::DisconnectSelf;
    size_t msgs = r.in != In::Rx ? 0 : !r.server || self_ends ? 1 : 2;
    ASSERT_TRUE(th::run_until([&] {
        return called && rec().downs() == r.downs && rec().ups() == r.ups &&
               rec().msgs.size() == msgs;
    }));
    th::run_for(50);
    EXPECT_EQ(rec().downs(), r.downs);
    EXPECT_EQ(rec().ups(), r.ups);
    EXPECT_EQ(rec().msgs.size(), msgs);
    if (r.call == Call::SendSelf || r.call == Call::SendOther || sends_after_disconnect()) {
        bool gone = sends_after_disconnect() ||
                    (r.call == Call::SendSelf && r.in != In::Up && r.in != In::Rx);
        if (gone) {  // a send on a connection going down is dropped quietly
            EXPECT_EQ(sent, 0);
            EXPECT_FALSE(th::has_log("write to socket failed"));
        } else {
            EXPECT_EQ(th::read_n(r.call == Call::SendSelf ? self_peer : other_peer, 8), reply);
        }
    }
    end_both();
    // One DOWN per connection, and never two in a row for one record.
    EXPECT_EQ(rec().downs(), rec().ups() + (r.in == In::DownRefused));
    std::map<ofconn *, uint32_t> last;
    for (const auto &e : rec().events) {
        auto it = last.find(e.conn);
        EXPECT_FALSE(e.event == OFCONN_CONNECTION_DOWN && it != last.end() &&
                     it->second == OFCONN_CONNECTION_DOWN);
        last[e.conn] = e.event;
    }
}

INSTANTIATE_TEST_SUITE_P(FromInsideItsCallbacks, HostCalls, ::testing::ValuesIn(kReentries),
                         reentry_name);

}  // namespace
