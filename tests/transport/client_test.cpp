// The client manager against a plain loopback listener: refused and failed connects, the
// connected socket's settings, traffic both ways, every way the connection ends, and the host
// connecting again (from inside its callbacks: the table at the end of server_test.cpp).
#include <sys/resource.h>

#include "harness.hpp"

namespace {

using th::Bytes;
using th::msg;
using th::rec;

class Client : public th::Net {
   protected:
    void SetUp() override {
        Net::SetUp();
        client_side();
        addr = th::kLo + std::to_string(port);
    }
    std::string addr;
};

// qemu-user passes SO_ERROR through untranslated, so an emulated big-endian MIPS run sees the
// x86 value of ECONNREFUSED.
const std::string kHostRefused = "111\\(Unknown error 111\\)";

TEST_F(Client, ConnectsFailingForWantOfDescriptorsOrByRefusalAllowANewConnect) {
    struct rlimit old, tight;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    int lowest_free = dup(0);  // descriptors take the lowest free number
    close(lowest_free);
    tight = old;
    tight.rlim_cur = rlim_t(lowest_free);  // no descriptor left to open
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    EXPECT_EQ(ofclient_connect_to_ofserver(0x7f000001, port, nullptr), nullptr);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_TRUE(th::logs("ERRS ofsocket_open_socket", "Socket open failed, err: 24$"));
    EXPECT_TRUE(th::logs("ERRS ofclient_connect", "Open ofsocket failed$"));
    EXPECT_TRUE(ofclient_local_inst.ofserver == nullptr && rec().events.empty());
    // Refused: reported through SO_ERROR at write readiness, or at once.
    uint16_t nobody = th::free_port();
    std::string there = th::kLo + std::to_string(nobody);
    ofclient_server *ofs = ofclient_connect_to_ofserver(0x7f000001, nobody, nullptr);
    EXPECT_TRUE(
        th::logs("INFO ofclient_connect_to_ofserver", "Connecting to server at " + there + "$"));
    if (ofs != nullptr) {
        EXPECT_EQ(ofs->state, uint32_t(STATE_INIT));
        ASSERT_TRUE(downs_reach(1));
        EXPECT_TRUE(th::logs("ERRS ofclient_connected", "Connect unsuccessfull to " + there +
                                                            ", err:(" + th::err_re(ECONNREFUSED) +
                                                            "|" + kHostRefused + ")$"));
    } else {  // refused at once
        EXPECT_EQ(rec().downs(), 1u);
        EXPECT_TRUE(th::has_log("Connect ofsocket error: " + std::to_string(ECONNREFUSED) + "$"));
    }
    EXPECT_EQ(rec().ups(), 0u);
    EXPECT_TRUE(th::logs("INFO ofclient_handle_connection_down_event",
                         "Got connection down for server:" + there + "$"));
    EXPECT_EQ(ofclient_local_inst.ofserver, nullptr);
    EXPECT_NE(connect_up(), nullptr);
}

TEST_F(Client, ConnectedSocketHasItsBuffersKeepAliveAndNoDelay) {
    ofclient_server *ofs = connect_up();
    ASSERT_NE(ofs, nullptr);
    EXPECT_EQ(ofs->state, uint32_t(STATE_CONNECTED));
    EXPECT_EQ(ofs->conn.rx_buf->size, 2048u);
    int fd = ofs->sock->socket_fd;
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    struct {
        int level, name, value;
    } want[] = {{SOL_SOCKET, SO_RCVBUF, 2 * 8192},  // the kernel doubles what is asked
                {SOL_SOCKET, SO_SNDBUF, 2 * 8192}, {SOL_SOCKET, SO_KEEPALIVE, 1},
                {IPPROTO_TCP, TCP_KEEPIDLE, 30},   {IPPROTO_TCP, TCP_KEEPINTVL, 10},
                {IPPROTO_TCP, TCP_KEEPCNT, 5},     {IPPROTO_TCP, TCP_NODELAY, 1}};
    for (const auto &w : want) {
        int v = -1;
        socklen_t l = sizeof v;
        getsockopt(fd, w.level, w.name, &v, &l);
        EXPECT_EQ(v, w.value) << "option " << w.name;
    }
    EXPECT_TRUE(th::logs("INFO ofclient_connected", "Connect successfull to " + addr + "$"));
    EXPECT_TRUE(
        th::logs("INFO ofsocket_open_socket", "Socket opened, fd: " + std::to_string(fd) + "$"));
    EXPECT_TRUE(th::logs("INFO ofsocket_get_option", "getsockopt succedded: fd:"));
    EXPECT_EQ(
        th::logged("^INFO ofsocket_set_tcp_keep_alive:[0-9]+ setsockopt succeded: fd:").size(), 3u);
    auto up = th::logged("^DBUG ofconn_event_handler:[0-9]+ <" + addr +
                         ">: Rcvd event:OFCONN_CONNECTION_UP $");
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(th::log_lines()[rec().events[0].log_index - 1], up[0]);  // just before the host
}

TEST_F(Client, DisconnectAfterRegisteringAgainDropsUnsentDataAndFreesTheRecord) {
    ofclient_server *ofs = connect_up();
    ASSERT_NE(ofs, nullptr);
    Bytes big(300000, 0x5c);
    EXPECT_EQ(ofclient_send(ofs, big.data(), uint32_t(big.size())), 0);
    EXPECT_EQ(ofclient_send(ofs, big.data(), uint32_t(big.size())), 0);
    EXPECT_EQ(ofs->conn.tx_queue_len, 2u);
    ofconn_registration reg = th::registration(2048);
    ofclient_register(&reg);  // forgets the connection; the host still holds it and may end it
    EXPECT_EQ(ofclient_local_inst.ofserver, nullptr);
    ofclient_disconnect(ofs);  // LeakSanitizer checks the queued buffers
    EXPECT_TRUE(th::logs("INFO ofclient_disconnect", "Disconnecting to server at " + addr + "$"));
    EXPECT_EQ(rec().downs(), 1u);
    EXPECT_TRUE(th::peer_closed(accepted, 5000));
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
