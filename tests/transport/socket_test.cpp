// The socket wrapper on real descriptors and the reference dispatcher: routing by flags,
// interest bookkeeping, the option table and the logged socket calls.
#include "harness.hpp"

namespace {

class Wrapper : public ::testing::Test {
   protected:
    void SetUp() override {
        th::capture_logs();
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        fd = sv[0];
        peer = sv[1];
        ofsocket_set_socket(sock, fd);
    }
    void TearDown() override {
        ofsocket_free(sock);
        close(peer);
    }
    int fd = -1, peer = -1;
    ofsocket *sock = ofsocket_alloc();
};

TEST_F(Wrapper, ClosedSocketKeepsItsAddressAndDataIgnoresReenableAndLogsASecondClose) {
    ofsocket_set_recv(sock, [](ofsocket *) { return 0; });
    ofsocket_set_socket(sock, fd);
    ofsocket_create_sockaddr_in(sock, htons(6653), htonl(0x7f000001));
    ofsocket_set_data(sock, this);
    ofsocket_close(sock);
    EXPECT_TRUE(sock->socket_fd == -1 && sock->recv_cb == nullptr && fcntl(fd, F_GETFD) == -1);
    EXPECT_EQ(ofsocket_get_data(sock), this);
    EXPECT_STREQ(ofsocket_print_addr(ofsocket_get_addr(sock)), "127.0.0.1:6653");
    ofsocket_reenable_receive(sock);
    EXPECT_EQ(sock->read_input, 0u);
    ofsocket_close(sock);
    EXPECT_TRUE(th::logs("ERRS ofsocket_close", "Socket close failed, fd: -1$"));
    struct sockaddr_in a = th::loopback(65535);
    a.sin_addr.s_addr = htonl(0xc0a80101);
    EXPECT_STREQ(ofsocket_print_addr(reinterpret_cast<struct sockaddr *>(&a)), "192.168.1.1:65535");
    a.sin_family = AF_INET6;
    EXPECT_STREQ(ofsocket_print_addr(reinterpret_cast<struct sockaddr *>(&a)), "null");
}

TEST_F(Wrapper, OptionTableReachesTheKernelAndBadCodesOrDescriptorsFail) {
    EXPECT_EQ(ofsocket_set_option(sock, OFSOCKET_OPT_LINGER, 1, 7), 0);
    EXPECT_EQ(ofsocket_set_option(sock, OFSOCKET_OPT_REUSEADDR, 1), 0);
    struct linger lg;
    int reuse = 0;
    socklen_t l = sizeof lg, rl = sizeof reuse;
    getsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, &l);
    getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &rl);
    EXPECT_TRUE(lg.l_onoff == 1 && lg.l_linger == 7 && reuse == 1);
    EXPECT_TRUE(th::logs("INFO ofsocket_set_option_internal", "setsockopt succedded: fd:"));
    errno = 0;
    EXPECT_EQ(ofsocket_set_option(sock, 8, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(th::logs(
        "ERRS ofsocket_set_option_internal",
        "setsockopt failed: fd:" + std::to_string(fd) + ", err:22\\(Invalid argument\\)$"));
    // Non-blocking ignores its argument; blocking clears the flag.
    EXPECT_GE(ofsocket_set_option(sock, OFSOCKET_OPT_NONBLOCK, 0), 0);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_GE(ofsocket_set_option(sock, OFSOCKET_OPT_BLOCK, 1), 0);
    EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    close(fd);  // no interests registered: the number may be closed under the wrapper
    EXPECT_EQ(ofsocket_set_option(sock, OFSOCKET_OPT_NONBLOCK, 1), -1);
    EXPECT_EQ(ofsocket_set_option(sock, OFSOCKET_OPT_BLOCK, 1), -1);
    EXPECT_EQ(th::logged("setsockopt failed: fd:[0-9]+, err:9\\(Bad file descriptor\\)").size(),
              2u);
    sock->socket_fd = -1;  // without a descriptor: -1, no line, errno untouched
    th::log_lines().clear();
    errno = 1234;
    EXPECT_EQ(ofsocket_set_option(sock, OFSOCKET_OPT_RCVBUF, 8192), -1);
    EXPECT_EQ(ofsocket_set_option(nullptr, OFSOCKET_OPT_RCVBUF, 8192), -1);
    EXPECT_TRUE(errno == 1234 && th::log_lines().empty());
}

ofsocket *tcp_socket(uint16_t port) {
    ofsocket *s = ofsocket_alloc();
    ofsocket_set_socket(s, ofsocket_open_socket(AF_INET, SOCK_STREAM, 0));
    ofsocket_create_sockaddr_in(s, htons(port), htonl(0x7f000001));
    return s;
}

TEST(SocketCalls, BindListenAcceptAndConnectLogTheirResults) {
    th::capture_logs();
    int fds_before = th::count_fds();
    const std::string lo = "addr:" + th::kLo;
    ofsocket *ls = tcp_socket(0);
    EXPECT_EQ(ls->addr_len, 16u);
    EXPECT_TRUE(ofsocket_bind(ls) == 0 && ofsocket_listen(ls, 10) == 0);
    EXPECT_TRUE(th::logs("INFO ofsocket_bind", "bind succedded: " + lo + "0, fd:"));
    EXPECT_TRUE(th::logs("INFO ofsocket_listen", "listen succedded: " + lo + "0, fd:"));
    std::string port = std::to_string(th::bound_port(ls->socket_fd));
    // A second socket on the same address cannot bind; it connects instead.
    ofsocket *cs = tcp_socket(th::bound_port(ls->socket_fd));
    EXPECT_EQ(ofsocket_bind(cs), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_TRUE(th::logs("ERRS ofsocket_bind", "bind failed: " + lo + port + ", fd:[0-9]+, err:" +
                                                   th::err_re(EADDRINUSE) + "$"));
    EXPECT_EQ(ofsocket_connect(cs), 0);
    EXPECT_TRUE(th::logs("INFO ofsocket_connect", "connect succedded: " + lo + port));
    struct sockaddr *peer = nullptr;
    socklen_t plen = 0;
    int nfd = ofsocket_accept(ls, &peer, &plen);
    EXPECT_EQ(plen, 16u);
    EXPECT_TRUE(th::logs("INFO ofsocket_accept", "accept succedded: new " + lo + "[0-9]+, new fd:" +
                                                     std::to_string(nfd) + "$"));
    free(peer);
    close(nfd);
    // Nothing pending on a non-blocking listener: failure leaves the outputs alone.
    ofsocket_set_option(ls, OFSOCKET_OPT_NONBLOCK, 1);
    peer = nullptr;
    plen = 99;
    EXPECT_EQ(ofsocket_accept(ls, &peer, &plen), -1);
    EXPECT_TRUE(peer == nullptr && plen == 99u);
    EXPECT_TRUE(th::logs("ERRS ofsocket_accept", "accept failed: fd:[0-9]+, err:11\\("));
    uint16_t nobody = th::free_port();  // a blocking connect that the peer refuses
    ofsocket *refused = tcp_socket(nobody);
    EXPECT_EQ(ofsocket_connect(refused), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_TRUE(th::logs("ERRS ofsocket_connect",
                         "connect failed: " + lo + std::to_string(nobody) +
                             ", fd:[0-9]+,  err:" + th::err_re(ECONNREFUSED) + "$"));
    for (ofsocket *s : {refused, cs, ls})
        ofsocket_free(s);
    EXPECT_EQ(th::count_fds(), fds_before);
}

}  // namespace
