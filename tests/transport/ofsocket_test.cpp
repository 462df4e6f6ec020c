// The socket wrapper: routing by flags, interest bookkeeping, the option table and the
// logged socket calls, on real descriptors and the reference dispatcher.
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.hpp"

namespace {

int g_recv, g_accept, g_write, g_connect;
int on_recv(ofsocket *) {
    return ++g_recv;
}
int on_accept(ofsocket *) {
    return ++g_accept;
}
int on_write(ofsocket *s) {
    ofsocket_disable_write(s);  // stop the level-triggered repeats
    return ++g_write;
}
int on_connect(ofsocket *s) {
    ofsocket_disable_write(s);
    return ++g_connect;
}

class Wrapper : public ::testing::Test {
   protected:
    void SetUp() override {
        th::capture_logs();
        g_recv = g_accept = g_write = g_connect = 0;
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        fd = sv[0];
        peer = sv[1];
        sock = ofsocket_alloc();
        ASSERT_NE(sock, nullptr);
    }
    void TearDown() override {
        ofsocket_free(sock);
        close(peer);
    }
    int fd = -1, peer = -1;
    ofsocket *sock = nullptr;
};

TEST_F(Wrapper, ConnectingFlagRoutesWriteReadinessToConnectCallback) {
    ofsocket_set_write(sock, on_write);
    ofsocket_set_connect(sock, on_connect);
    ofsocket_set_flag(sock, OFSOCKET_FLAG_CONNECTING);
    ofsocket_set_socket(sock, fd);
    EXPECT_EQ(sock->read_input, 0u);
    EXPECT_NE(sock->write_input, 0u);
    th::run_until([] { return g_connect > 0; }, 500);
    EXPECT_EQ(g_connect, 1);
    EXPECT_EQ(g_write, 0);
    ofsocket_reset_flag(sock, OFSOCKET_FLAG_CONNECTING);
    ofsocket_reenable_write(sock);
    th::run_until([] { return g_write > 0; }, 500);
    EXPECT_EQ(g_write, 1);
    EXPECT_EQ(g_connect, 1);
}

TEST_F(Wrapper, ListenFlagRoutesReadReadinessToAcceptCallback) {
    ofsocket_set_recv(sock, on_recv);
    ofsocket_set_accept(sock, on_accept);
    ofsocket_set_flag(sock, OFSOCKET_FLAG_LISTEN);
    ofsocket_set_socket(sock, fd);
    ASSERT_EQ(write(peer, "x", 1), 1);
    ofhost_loop_run_once(100);
    EXPECT_EQ(g_accept, 1);
    EXPECT_EQ(g_recv, 0);
    ofsocket_reset_flag(sock, OFSOCKET_FLAG_LISTEN);
    ofhost_loop_run_once(100);
    EXPECT_EQ(g_recv, 1);
}

TEST_F(Wrapper, AttachingAgainWithTheSameDescriptorRegistersNewlyDueInterests) {
    ofsocket_set_recv(sock, on_recv);
    ofsocket_set_socket(sock, fd);
    uint32_t rd = sock->read_input;
    EXPECT_NE(rd, 0u);
    EXPECT_EQ(sock->write_input, 0u);
    ofsocket_set_write(sock, on_write);
    ofsocket_set_socket(sock, fd);
    EXPECT_EQ(sock->read_input, rd);  // already registered: untouched
    EXPECT_NE(sock->write_input, 0u);
    ofsocket_set_recv(sock, nullptr);
    ofsocket_set_socket(sock, fd);
    EXPECT_EQ(sock->read_input, 0u);
}

TEST_F(Wrapper, ClosedSocketIgnoresReenableAndLogsASecondClose) {
    ofsocket_set_recv(sock, on_recv);
    ofsocket_set_write(sock, on_write);
    ofsocket_set_flag(sock, OFSOCKET_FLAG_CONNECTING | OFSOCKET_FLAG_LISTEN);
    ofsocket_create_sockaddr_in(sock, htons(6653), htonl(0x7f000001));
    ofsocket_set_data(sock, this);
    ofsocket_set_socket(sock, fd);
    ofsocket_close(sock);
    EXPECT_EQ(sock->socket_fd, -1);
    EXPECT_EQ(sock->read_input, 0u);
    EXPECT_EQ(sock->write_input, 0u);
    EXPECT_EQ(sock->flags, 0u);
    EXPECT_EQ(sock->recv_cb, nullptr);
    EXPECT_EQ(sock->write_cb, nullptr);
    EXPECT_EQ(ofsocket_get_data(sock), this);  // addr and data stay
    EXPECT_STREQ(ofsocket_print_addr(ofsocket_get_addr(sock)), "127.0.0.1:6653");
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the descriptor is closed
    ofsocket_reenable_receive(sock);
    ofsocket_reenable_write(sock);
    EXPECT_EQ(sock->read_input, 0u);
    EXPECT_EQ(sock->write_input, 0u);
    th::log_lines().clear();
    ofsocket_close(sock);
    EXPECT_TRUE(th::has_log("^ERRS ofsocket_close:[0-9]+ Socket close failed, fd: -1$"));
}

TEST_F(Wrapper, OptionCodesOutsideTheTableFailWithEinval) {
    ofsocket_set_socket(sock, fd);
    errno = 0;
    EXPECT_EQ(ofsocket_set_option(sock, 8, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(th::has_log("^ERRS ofsocket_set_option_internal:[0-9]+ setsockopt failed: fd:" +
                            std::to_string(fd) + ", err:22\\(Invalid argument\\)$"));
    // Without a descriptor: -1, no line, errno untouched.
    ofsocket *bare = ofsocket_alloc();
    th::log_lines().clear();
    errno = 1234;
    EXPECT_EQ(ofsocket_set_option(bare, OFSOCKET_OPT_RCVBUF, 8192), -1);
    EXPECT_EQ(errno, 1234);
    EXPECT_TRUE(th::log_lines().empty());
    EXPECT_EQ(ofsocket_set_option(nullptr, OFSOCKET_OPT_RCVBUF, 8192), -1);
    ofsocket_free(bare);
}

TEST_F(Wrapper, NonblockIgnoresItsArgumentAndBlockClearsTheFlag) {
    ofsocket_set_socket(sock, fd);
    EXPECT_GE(ofsocket_set_option(sock, OFSOCKET_OPT_NONBLOCK, 0), 0);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(th::has_log("^INFO ofsocket_set_option_internal:[0-9]+ setsockopt succedded: fd:"));
    EXPECT_GE(ofsocket_set_option(sock, OFSOCKET_OPT_BLOCK, 1), 0);
    EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
}

TEST_F(Wrapper, StatusFlagOptionsFailWhenTheDescriptorIsBad) {
    int dead = dup(fd);
    close(dead);
    sock->socket_fd = dead;  // a number with no open file behind it
    EXPECT_EQ(ofsocket_set_option(sock, OFSOCKET_OPT_NONBLOCK, 1), -1);
    EXPECT_EQ(ofsocket_set_option(sock, OFSOCKET_OPT_BLOCK, 1), -1);
    EXPECT_EQ(th::logged("setsockopt failed: fd:[0-9]+, err:9\\(Bad file descriptor\\)").size(),
              2u);
    sock->socket_fd = -1;
    close(fd);
}

TEST(SocketOptions, TcpOptionsKeepAliveAndLingerReachTheKernel) {
    th::capture_logs();
    ofsocket *sock = ofsocket_alloc();
    int fd = ofsocket_open_socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(th::has_log(
        "^INFO ofsocket_open_socket:[0-9]+ Socket opened, fd: " + std::to_string(fd) + "$"));
    ofsocket_set_socket(sock, fd);
    EXPECT_EQ(ofsocket_set_option(sock, OFSOCKET_OPT_TCP_NODELAY, 1), 0);
    EXPECT_EQ(ofsocket_set_option(sock, OFSOCKET_OPT_LINGER, 1, 7), 0);
    EXPECT_EQ(ofsocket_set_option(sock, OFSOCKET_OPT_REUSEADDR, 1), 0);
    ofsocket_set_tcp_keep_alive(sock);
    EXPECT_EQ(
        th::logged("^INFO ofsocket_set_tcp_keep_alive:[0-9]+ setsockopt succeded: fd:").size(), 3u);
    int v = 0;
    socklen_t l = sizeof v;
    getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, &l);
    EXPECT_EQ(v, 1);
    getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &v, &l);
    EXPECT_EQ(v, 1);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &v, &l);
    EXPECT_EQ(v, 30);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &v, &l);
    EXPECT_EQ(v, 10);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &v, &l);
    EXPECT_EQ(v, 5);
    struct linger lg;
    l = sizeof lg;
    getsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, &l);
    EXPECT_EQ(lg.l_onoff, 1);
    EXPECT_EQ(lg.l_linger, 7);
    int err = -1;
    l = sizeof err;
    EXPECT_EQ(ofsocket_get_option(sock, SO_ERROR, &err, &l), 0);
    EXPECT_EQ(err, 0);
    EXPECT_TRUE(th::has_log("^INFO ofsocket_get_option:[0-9]+ getsockopt succedded: fd:"));
    ofsocket_free(sock);
}

TEST(SocketCalls, BindListenAcceptAndConnectLogTheirResults) {
    th::capture_logs();
    int fds_before = th::count_fds();
    ofsocket *ls = ofsocket_alloc();
    ofsocket_set_socket(ls, ofsocket_open_socket(AF_INET, SOCK_STREAM, 0));
    ofsocket_create_sockaddr_in(ls, 0, htonl(0x7f000001));
    EXPECT_EQ(ls->addr_len, 16u);
    EXPECT_EQ(ofsocket_bind(ls), 0);
    EXPECT_TRUE(
        th::has_log("^INFO ofsocket_bind:[0-9]+ bind succedded: addr:127\\.0\\.0\\.1:0, fd:"));
    EXPECT_EQ(ofsocket_listen(ls, 10), 0);
    EXPECT_TRUE(
        th::has_log("^INFO ofsocket_listen:[0-9]+ listen succedded: addr:127\\.0\\.0\\.1:0, fd:"));
    uint16_t port = th::bound_port(ls->socket_fd);

    // A second socket on the same address: bind fails with EADDRINUSE.
    ofsocket *dup_s = ofsocket_alloc();
    ofsocket_set_socket(dup_s, ofsocket_open_socket(AF_INET, SOCK_STREAM, 0));
    ofsocket_create_sockaddr_in(dup_s, htons(port), htonl(0x7f000001));
    EXPECT_EQ(ofsocket_bind(dup_s), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_TRUE(th::has_log(
        "^ERRS ofsocket_bind:[0-9]+ bind failed: addr:127\\.0\\.0\\.1:" + std::to_string(port) +
        ", fd:[0-9]+, err:" + th::err_nt(EADDRINUSE) + "$"));
    // Use it as the client instead.
    EXPECT_EQ(ofsocket_connect(dup_s), 0);
    EXPECT_TRUE(
        th::has_log("^INFO ofsocket_connect:[0-9]+ connect succedded: addr:127\\.0\\.0\\.1:" +
                    std::to_string(port) + ", fd:"));

    struct sockaddr *peer = nullptr;
    socklen_t plen = 0;
    int nfd = ofsocket_accept(ls, &peer, &plen);
    ASSERT_GE(nfd, 0);
    EXPECT_EQ(plen, 16u);
    EXPECT_TRUE(th::has_log(
        "^INFO ofsocket_accept:[0-9]+ accept succedded: new addr:127\\.0\\.0\\.1:[0-9]+, new fd:" +
        std::to_string(nfd) + "$"));
    free(peer);
    close(nfd);

    // Nothing pending on a non-blocking listener: failure leaves the outputs alone.
    ofsocket_set_option(ls, OFSOCKET_OPT_NONBLOCK, 1);
    struct sockaddr *untouched = reinterpret_cast<struct sockaddr *>(&plen);
    socklen_t ulen = 99;
    EXPECT_EQ(ofsocket_accept(ls, &untouched, &ulen), -1);
    EXPECT_EQ(untouched, reinterpret_cast<struct sockaddr *>(&plen));
    EXPECT_EQ(ulen, 99u);
    EXPECT_TRUE(th::has_log("^ERRS ofsocket_accept:[0-9]+ accept failed: fd:[0-9]+, err:11\\("));

    // A connect that the peer refuses, on a blocking socket.
    ofsocket *refused = ofsocket_alloc();
    ofsocket_set_socket(refused, ofsocket_open_socket(AF_INET, SOCK_STREAM, 0));
    uint16_t nobody = th::free_port();
    ofsocket_create_sockaddr_in(refused, htons(nobody), htonl(0x7f000001));
    EXPECT_EQ(ofsocket_connect(refused), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_TRUE(th::has_log("^ERRS ofsocket_connect:[0-9]+ connect failed: addr:127\\.0\\.0\\.1:" +
                            std::to_string(nobody) +
                            ", fd:[0-9]+,  err:" + th::err_nt(ECONNREFUSED) + "$"));
    ofsocket_free(refused);
    ofsocket_free(dup_s);
    ofsocket_free(ls);
    EXPECT_EQ(th::count_fds(), fds_before);
}

TEST(SocketRecords, AddressTextAndDispatcherIdDefaults) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(65535);
    a.sin_addr.s_addr = htonl(0xc0a80101);
    EXPECT_STREQ(ofsocket_print_addr(reinterpret_cast<struct sockaddr *>(&a)), "192.168.1.1:65535");
    struct sockaddr_in6 six;
    memset(&six, 0, sizeof six);
    six.sin6_family = AF_INET6;
    EXPECT_STREQ(ofsocket_print_addr(reinterpret_cast<struct sockaddr *>(&six)), "null");
    EXPECT_STREQ(ofsocket_print_addr(nullptr), "null");

    ofsocket *before = ofsocket_alloc();
    ofsocket_set_dispatcher_id(42);
    ofsocket *after = ofsocket_alloc();
    EXPECT_EQ(g_disp_id, 42u);
    EXPECT_EQ(before->disp_id, 0u);
    EXPECT_EQ(after->disp_id, 42u);
    EXPECT_EQ(after->socket_fd, -1);
    EXPECT_EQ(ofsocket_get_socket_fd(after), -1);
    ofsocket_set_dispatcher_id(0);
    ofsocket_free(before);
    ofsocket_free(after);
}

}  // namespace
