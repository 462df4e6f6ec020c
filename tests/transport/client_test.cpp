// The client manager against plain loopback listeners: refused and failed connects, the
// connected socket's settings, traffic both ways, peer close, disconnect and re-registering.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.hpp"

namespace {

using th::msg;
using th::rec;

class Client : public ::testing::Test {
   protected:
    void SetUp() override {
        th::capture_logs();
        th::reset_recorder();
        ofhost_disp_wait(0);
        fds_before = th::count_fds();
        ofconn_registration reg = th::registration(2048);
        ofclient_register(&reg);
        listener = th::listen_loopback(&port);
        ASSERT_GE(listener, 0);
    }
    void TearDown() override {
        rec().on_rx = nullptr;
        rec().on_event = nullptr;
        if (ofclient_local_inst.ofserver) ofclient_disconnect(ofclient_local_inst.ofserver);
        if (accepted >= 0) close(accepted);
        close(listener);
        EXPECT_EQ(th::count_fds(), fds_before);
    }
    // Connects to the listener and accepts the peer end.
    ofclient_server *connect_up() {
        ofclient_server *ofs = ofclient_connect_to_ofserver(0x7f000001, port, nullptr);
        EXPECT_NE(ofs, nullptr);
        EXPECT_TRUE(th::run_until([] { return rec().count(OFCONN_CONNECTION_UP) == 1; }));
        accepted = accept(listener, nullptr, nullptr);
        EXPECT_GE(accepted, 0);
        return ofs;
    }
    int fds_before = 0;
    int listener = -1, accepted = -1;
    uint16_t port = 0;
};

// qemu-user passes SO_ERROR through untranslated, so an emulated big-endian MIPS run sees the
// x86 value of ECONNREFUSED.
const std::string kHostRefused = "111\\(Unknown error 111\\)";

TEST_F(Client, RefusedConnectIsReportedThroughSoErrorAndANewConnectIsAllowed) {
    uint16_t nobody = th::free_port();
    ofclient_server *ofs = ofclient_connect_to_ofserver(0x7f000001, nobody, nullptr);
    std::string addr = "127\\.0\\.0\\.1:" + std::to_string(nobody);
    EXPECT_TRUE(th::has_log("^INFO ofclient_connect_to_ofserver:[0-9]+ Connecting to server at " +
                            addr + "$"));
    if (ofs != nullptr) {  // in progress: the failure comes at write readiness
        EXPECT_EQ(ofs->state, uint32_t(STATE_INIT));
        EXPECT_EQ(ofs->server_port, nobody);
        EXPECT_EQ(ofs->server_ip, 0x7f000001u);
        ASSERT_TRUE(th::run_until([] { return rec().count(OFCONN_CONNECTION_DOWN) == 1; }));
        EXPECT_TRUE(th::has_log("^ERRS ofclient_connected:[0-9]+ Connect unsuccessfull to " + addr +
                                ", err:(" + th::err_nt(ECONNREFUSED) + "|" + kHostRefused + ")$"));
    } else {  // refused at once
        EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 1u);
        EXPECT_TRUE(th::has_log("Connect ofsocket error: " + std::to_string(ECONNREFUSED) + "$"));
    }
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_UP), 0u);
    EXPECT_TRUE(th::has_log(
        "^INFO ofclient_handle_connection_down_event:[0-9]+ Got connection down for server:" +
        addr + "$"));
    EXPECT_EQ(ofclient_local_inst.ofserver, nullptr);
    connect_up();
    EXPECT_NE(ofclient_local_inst.ofserver, nullptr);
}

TEST_F(Client, ConnectedSocketHasItsBuffersKeepAliveAndNoDelay) {
    ofclient_server *ofs = connect_up();
    ASSERT_NE(ofs, nullptr);
    EXPECT_EQ(ofs->state, uint32_t(STATE_CONNECTED));
    EXPECT_EQ(ofs->sock, ofs->conn.sock);
    EXPECT_EQ(ofsocket_get_data(ofs->sock), ofs);
    ASSERT_NE(ofs->conn.rx_buf, nullptr);
    EXPECT_EQ(ofs->conn.rx_buf->size, 2048u);
    EXPECT_EQ(ofs->sock->connect_cb, nullptr);
    EXPECT_EQ(ofs->sock->flags & OFSOCKET_FLAG_CONNECTING, 0u);
    EXPECT_NE(ofs->sock->read_input, 0u);
    EXPECT_EQ(ofs->sock->write_input, 0u);
    int fd = ofs->sock->socket_fd;
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    auto opt = [fd](int level, int name) {
        int v = -1;
        socklen_t l = sizeof v;
        getsockopt(fd, level, name, &v, &l);
        return v;
    };
    EXPECT_EQ(opt(SOL_SOCKET, SO_RCVBUF), 2 * 8192);  // the kernel doubles what is asked
    EXPECT_EQ(opt(SOL_SOCKET, SO_SNDBUF), 2 * 8192);
    EXPECT_EQ(opt(SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(opt(IPPROTO_TCP, TCP_KEEPIDLE), 30);
    EXPECT_EQ(opt(IPPROTO_TCP, TCP_KEEPINTVL), 10);
    EXPECT_EQ(opt(IPPROTO_TCP, TCP_KEEPCNT), 5);
    EXPECT_EQ(opt(IPPROTO_TCP, TCP_NODELAY), 1);
    std::string addr = "127\\.0\\.0\\.1:" + std::to_string(port);
    EXPECT_TRUE(
        th::has_log("^INFO ofclient_connected:[0-9]+ Connect successfull to " + addr + "$"));
    auto up = th::logged("^DBUG ofconn_event_handler:[0-9]+ <" + addr +
                         ">: Rcvd event:OFCONN_CONNECTION_UP $");
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(th::log_lines()[rec().events[0].log_index - 1],
              up[0]);  // the last line before the host heard it
    EXPECT_EQ(ofclient_get_server_opaque_data(ofs), nullptr);
    ofclient_set_server_opaque_data(ofs, this);
    EXPECT_EQ(ofclient_get_server_opaque_data(ofs), this);
}

TEST_F(Client, MessagesFlowBothWays) {
    ofclient_server *ofs = connect_up();
    ASSERT_NE(ofs, nullptr);
    std::vector<uint8_t> hello = msg(0, 8, 1);
    std::vector<uint8_t> features = msg(6, 32, 2, 0x66);
    ASSERT_TRUE(th::write_all(accepted, hello));
    ASSERT_TRUE(th::write_all(accepted, features));
    ASSERT_TRUE(th::run_until([] { return rec().msgs.size() == 2; }));
    EXPECT_EQ(rec().msgs[0].bytes, hello);
    EXPECT_EQ(rec().msgs[1].bytes, features);
    EXPECT_EQ(rec().msgs[0].conn, &ofs->conn);
    std::vector<uint8_t> reply = msg(3, 24, 3, 0x33);
    EXPECT_EQ(ofclient_send(ofs, reply.data(), uint32_t(reply.size())), 1);
    EXPECT_EQ(th::read_n(accepted, reply.size()), reply);
}

TEST_F(Client, PeerCloseTearsDownAndAllowsAReconnect) {
    ofclient_server *ofs = connect_up();
    ASSERT_NE(ofs, nullptr);
    close(accepted);
    accepted = -1;
    ASSERT_TRUE(th::run_until([] { return rec().count(OFCONN_CONNECTION_DOWN) == 1; }));
    EXPECT_EQ(ofclient_local_inst.ofserver, nullptr);
    rec().events.clear();
    connect_up();
}

TEST_F(Client, DisconnectDropsUnsentDataAndFreesTheRecord) {
    ofclient_server *ofs = connect_up();
    ASSERT_NE(ofs, nullptr);
    std::vector<uint8_t> big(300000, 0x5c);
    EXPECT_EQ(ofclient_send(ofs, big.data(), uint32_t(big.size())), 0);
    EXPECT_EQ(ofclient_send(ofs, big.data(), uint32_t(big.size())), 0);
    EXPECT_EQ(ofs->conn.tx_queue_len, 2u);
    ofclient_disconnect(ofs);
    EXPECT_TRUE(th::has_log(
        "^INFO ofclient_disconnect:[0-9]+ Disconnecting to server at 127\\.0\\.0\\.1:[0-9]+$"));
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 1u);
    EXPECT_EQ(ofclient_local_inst.ofserver, nullptr);
    EXPECT_TRUE(th::peer_closed(accepted, 5000));
}

TEST_F(Client, HostReconnectingFromItsDownCallbackIsAllowed) {
    ofclient_server *ofs = connect_up();
    ASSERT_NE(ofs, nullptr);
    uint16_t p = port;
    rec().on_event = [p](ofconn *, uint32_t ev) {
        if (ev == OFCONN_CONNECTION_DOWN && rec().count(OFCONN_CONNECTION_DOWN) == 1) {
            EXPECT_NE(ofclient_connect_to_ofserver(0x7f000001, p, nullptr), nullptr);
        }
    };
    ofclient_disconnect(ofs);
    ASSERT_NE(ofclient_local_inst.ofserver, nullptr);
    EXPECT_TRUE(th::run_until([] { return rec().count(OFCONN_CONNECTION_UP) == 2; }));
    int second = accept(listener, nullptr, nullptr);
    EXPECT_GE(second, 0);
    close(second);
}

TEST_F(Client, RegisteringAgainForgetsTheConnection) {
    ofclient_server *ofs = connect_up();
    ASSERT_NE(ofs, nullptr);
    ofconn_registration reg = th::registration(2048);
    ofclient_register(&reg);
    EXPECT_EQ(ofclient_local_inst.ofserver, nullptr);
    ofclient_disconnect(ofs);  // the host still holds it and may end it
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 1u);
}

TEST_F(Client, DescriptorShortageFailsTheConnectCleanly) {
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit tight = old;
    int lowest_free = dup(0);  // descriptors take the lowest free number
    close(lowest_free);
    tight.rlim_cur = rlim_t(lowest_free);  // no descriptor left to open
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    ofclient_server *ofs = ofclient_connect_to_ofserver(0x7f000001, port, nullptr);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(ofs, nullptr);
    EXPECT_TRUE(th::has_log("^ERRS ofsocket_open_socket:[0-9]+ Socket open failed, err: 24$"));
    EXPECT_TRUE(th::has_log("^ERRS ofclient_connect:[0-9]+ Open ofsocket failed$"));
    EXPECT_EQ(ofclient_local_inst.ofserver, nullptr);
    connect_up();  // the manager can connect again
}

#ifndef OFAGENT_TLS
TEST_F(Client, TlsObjectIsRefusedByABuildWithoutTls) {
    int dummy = 0;
    EXPECT_EQ(
        ofclient_connect_to_ofserver(0x7f000001, port, reinterpret_cast<struct WOLFSSL *>(&dummy)),
        nullptr);
    EXPECT_EQ(ofclient_local_inst.ofserver, nullptr);
    EXPECT_TRUE(rec().events.empty());
}
#endif

}  // namespace
