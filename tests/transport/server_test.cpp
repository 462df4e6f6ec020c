// The server manager: accepting, the client list, many concurrent clients, disconnecting one,
// stopping with clients connected and starting again, and a busy port.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.hpp"

namespace {

using th::msg;
using th::rec;

class Server : public ::testing::Test {
   protected:
    void SetUp() override {
        th::capture_logs();
        th::reset_recorder();
        ofhost_disp_wait(0);
        fds_before = th::count_fds();
        ofconn_registration reg = th::registration();
        list = ofserver_register(&reg);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(ofserver_local_inst.ofclient_list, list);
    }
    void TearDown() override {
        rec().on_rx = nullptr;
        if (ofserver_local_inst.ofs_ctx) ofserver_stop();
        for (int fd : peers)
            close(fd);
        free(ofserver_local_inst.ofclient_list);
        ofserver_local_inst.ofclient_list = nullptr;
        EXPECT_EQ(th::count_fds(), fds_before);
    }
    // Connects n peers and waits until the server announced them all.
    void connect_peers(size_t n) {
        size_t ups = rec().count(OFCONN_CONNECTION_UP);
        for (size_t i = 0; i < n; i++) {
            int fd = th::connect_loopback(th::server_port());
            ASSERT_GE(fd, 0);
            peers.push_back(fd);
            ASSERT_TRUE(
                th::run_until([&] { return rec().count(OFCONN_CONNECTION_UP) == ups + i + 1; }));
        }
    }
    int fds_before = 0;
    oflist *list = nullptr;
    std::vector<int> peers;
};

// The host echoes every message back on the connection it came from.
void echo(ofconn *c, const uint8_t *b, int32_t n) {
    ofserver_send(reinterpret_cast<ofserver_client *>(c), b, uint32_t(n));
}

TEST_F(Server, AcceptedClientIsListedNamedAndAnnouncedAfterTheConnectionLayer) {
    ASSERT_EQ(ofserver_start(0x7f000001, 0), 0);
    // The text is of the requested address: port 0 asks the kernel for any port.
    EXPECT_TRUE(th::has_log("^INFO ofserver_start:[0-9]+ Started server on 127\\.0\\.0\\.1:0$"));
    connect_peers(1);
    ofserver_client *client = reinterpret_cast<ofserver_client *>(rec().last_up());
    EXPECT_EQ(ListEntries(list), 1u);
    EXPECT_EQ(ListGet(list, LIST_GET_FIRST), client);
    EXPECT_EQ(client->client_ip, 0x7f000001u);
    std::string name = "127.0.0.1:" + std::to_string(th::bound_port(peers[0]));
    EXPECT_EQ(ofserver_get_client_name(client), name);
    EXPECT_TRUE(
        th::has_log("^INFO ofserver_accept:[0-9]+ Client got connected from " + name + "$"));
    // The connection layer saw the event before the host did.
    auto up = th::logged("^DBUG ofconn_event_handler:[0-9]+ <" + name +
                         ">: Rcvd event:OFCONN_CONNECTION_UP $");
    ASSERT_EQ(up.size(), 1u);
    size_t up_at = 0;
    while (th::log_lines()[up_at] != up[0])
        up_at++;
    EXPECT_LT(up_at, rec().events.back().log_index);
    EXPECT_NE(client->conn.rx_buf, nullptr);
    EXPECT_EQ(client->conn.rx_buf->size, 4096u);
    EXPECT_EQ(client->conn.type, uint32_t(OFCONN_TYPE_SERVER));
    EXPECT_TRUE(fcntl(client->conn.sock->socket_fd, F_GETFL) & O_NONBLOCK);
    int v = 0;
    socklen_t l = sizeof v;
    getsockopt(client->conn.sock->socket_fd, IPPROTO_TCP, TCP_NODELAY, &v, &l);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(ofserver_get_client_opaque_data(client), nullptr);
    ofserver_set_client_opaque_data(client, this);
    EXPECT_EQ(ofserver_get_client_opaque_data(client), this);
}

TEST_F(Server, TwoHundredConcurrentClientsEachExchangeMessages) {
    const size_t kClients = 200;
    rec().on_rx = echo;
    ASSERT_EQ(ofserver_start(0x7f000001, 0), 0);
    connect_peers(kClients);
    EXPECT_EQ(ListEntries(list), kClients);
    // Every peer sends first, then all replies are collected.
    for (size_t i = 0; i < kClients; i++)
        ASSERT_TRUE(th::write_all(peers[i], msg(2, uint16_t(16 + i), uint32_t(i), uint8_t(i))));
    ASSERT_TRUE(th::run_until([&] { return rec().msgs.size() == kClients; }, 10000));
    for (size_t i = 0; i < kClients; i++) {
        std::vector<uint8_t> want = msg(2, uint16_t(16 + i), uint32_t(i), uint8_t(i));
        EXPECT_EQ(th::read_n(peers[i], want.size()), want) << "client " << i;
    }
    ofserver_stop();
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), kClients);
}

TEST_F(Server, DisconnectingOneOfThreeLeavesTheOthersRunning) {
    rec().on_rx = echo;
    ASSERT_EQ(ofserver_start(0x7f000001, 0), 0);
    connect_peers(3);
    ofconn *middle = rec().events[1].conn;
    ofserver_disconnect_client(reinterpret_cast<ofserver_client *>(middle));
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN, middle), 1u);
    EXPECT_EQ(ListEntries(list), 2u);
    EXPECT_TRUE(th::peer_closed(peers[1]));
    for (int i : {0, 2}) {
        std::vector<uint8_t> m = msg(2, 32, uint32_t(i));
        ASSERT_TRUE(th::write_all(peers[size_t(i)], m));
        EXPECT_EQ(th::read_n(peers[size_t(i)], m.size()), m);
    }
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 1u);
}

TEST_F(Server, StopWithThreeClientsReportsEachAndAllowsARestart) {
    ASSERT_EQ(ofserver_start(0x7f000001, 0), 0);
    uint16_t port = th::server_port();
    connect_peers(3);
    ofserver_stop();
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 3u);
    EXPECT_EQ(ListEntries(list), 0u);
    EXPECT_EQ(ofserver_local_inst.ofs_ctx, nullptr);
    EXPECT_TRUE(th::has_log("^INFO ofserver_stop:[0-9]+ Stopping server on 127\\.0\\.0\\.1:0$"));
    for (int fd : peers)
        EXPECT_TRUE(th::peer_closed(fd));
    EXPECT_EQ(th::connect_loopback(port), -1);  // no longer listening
    // Same port again: the closed connections' TIME_WAIT does not stop the bind.
    ASSERT_EQ(ofserver_start(0x7f000001, port), 0);
    connect_peers(1);
    EXPECT_EQ(ListEntries(list), 1u);
    ofserver_stop();
    EXPECT_TRUE(th::has_log("^INFO ofserver_stop:[0-9]+ Stopping server on 127\\.0\\.0\\.1:" +
                            std::to_string(port) + "$"));
}

TEST_F(Server, StopFromInsideAClientsReceiveCallbackReportsEveryClientOnce) {
    ASSERT_EQ(ofserver_start(0x7f000001, 0), 0);
    connect_peers(3);
    rec().on_rx = [](ofconn *, const uint8_t *, int32_t) { ofserver_stop(); };
    ASSERT_TRUE(th::write_all(peers[1], msg(2, 8)));
    ASSERT_TRUE(th::run_until([] { return rec().count(OFCONN_CONNECTION_DOWN) == 3; }));
    th::run_for(30);
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 3u);
    for (const auto &e : rec().events) {
        if (e.event == OFCONN_CONNECTION_DOWN) {
            EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN, e.conn), 1u);
        }
    }
    EXPECT_EQ(ListEntries(list), 0u);
    EXPECT_EQ(ofserver_local_inst.ofs_ctx, nullptr);
    for (int fd : peers)
        EXPECT_TRUE(th::peer_closed(fd));
}

TEST_F(Server, BusyPortFailsTheStartAndALaterStartSucceeds) {
    uint16_t port = 0;
    int busy = th::listen_loopback(&port);
    ASSERT_GE(busy, 0);
    int fds = th::count_fds();
    EXPECT_EQ(ofserver_start(0x7f000001, port), -1);
    EXPECT_TRUE(th::has_log(
        "^ERRS ofsocket_bind:[0-9]+ bind failed: addr:127\\.0\\.0\\.1:" + std::to_string(port) +
        ", fd:[0-9]+, err:" + th::err_nt(EADDRINUSE) + "$"));
    EXPECT_EQ(ofserver_local_inst.ofs_ctx, nullptr);
    EXPECT_EQ(th::count_fds(), fds);  // the listening descriptor was released
    close(busy);
    ASSERT_EQ(ofserver_start(0x7f000001, port), 0);
    connect_peers(1);
}

TEST_F(Server, PeerThatLeavesIsRemovedFromTheList) {
    ASSERT_EQ(ofserver_start(0, 0), 0);  // every interface
    EXPECT_TRUE(th::has_log("Started server on 0\\.0\\.0\\.0:[0-9]+$"));
    connect_peers(2);
    close(peers[0]);
    peers.erase(peers.begin());
    ASSERT_TRUE(th::run_until([] { return rec().count(OFCONN_CONNECTION_DOWN) == 1; }));
    EXPECT_EQ(ListEntries(list), 1u);
}

}  // namespace
