// TLS client connections with wolfSSL: real mutual-TLS handshakes on loopback against an
// in-process wolfSSL server with throw-away certificates made by openssl, messages both ways,
// the server going away, and the failed or stalled handshake that ends the process.
#ifdef OFAGENT_TLS

#include <stdlib.h>
#include <sys/wait.h>

#include <thread>

#include <wolfssl/options.h>
#include <wolfssl/ssl.h>
#include <wolfssl/wolfcrypt/ecc.h>

#include "common/tools.hpp"
#include "harness.hpp"

namespace {

using th::Bytes;
using th::msg;
using th::rec;

// A throw-away CA with a server and a client certificate, in a temporary directory.
const char kMakeCerts[] = R"(set -e
key="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
sign="-CA ca.pem -CAkey ca.key -CAcreateserial -days 1"
printf 'subjectAltName=IP:127.0.0.1\n' > san.ext
openssl req -x509 $key -days 1 -subj /CN=ofagent-test-ca -keyout ca.key -out ca.pem
openssl req $key -subj /CN=127.0.0.1 -keyout srv.key -out srv.csr
openssl x509 -req -in srv.csr $sign -extfile san.ext -out srv.pem
openssl req $key -subj /CN=ofagent-client -keyout cli.key -out cli.csr
openssl x509 -req -in cli.csr $sign -out cli.pem)";

struct Certs {
    testtools::TempDir tmp;
    std::string dir = tmp.path();
    bool ok = !dir.empty() &&
              system(("cd " + dir + " && (" + kMakeCerts + ") >/dev/null 2>&1").c_str()) == 0;
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

Certs *g_certs = nullptr;

// A wolfSSL context with this side's certificate and key, trusting the test CA; a file that
// does not load shows as a failed handshake.
WOLFSSL_CTX *context(bool server) {
    WOLFSSL_CTX *c =
        wolfSSL_CTX_new(server ? wolfSSLv23_server_method() : wolfSSLv23_client_method());
    std::string side = g_certs->path(server ? "srv" : "cli");
    wolfSSL_CTX_use_certificate_file(c, (side + ".pem").c_str(), WOLFSSL_FILETYPE_PEM);
    wolfSSL_CTX_use_PrivateKey_file(c, (side + ".key").c_str(), WOLFSSL_FILETYPE_PEM);
    wolfSSL_CTX_load_verify_locations(c, g_certs->path("ca.pem").c_str(), nullptr);
    if (server)
        wolfSSL_CTX_set_verify(c, WOLFSSL_VERIFY_PEER | WOLFSSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                               nullptr);
    return c;
}

bool tls_read_exact(WOLFSSL *s, uint8_t *p, size_t n) {
    for (int r; n > 0; p += r, n -= size_t(r))
        if ((r = wolfSSL_read(s, p, int(n))) <= 0) return false;
    return true;
}

// The server side, on its own thread: a mutual-TLS handshake, three messages in one record,
// then it echoes the client's 56-byte request and closes.
void tls_peer(int listener) {
    WOLFSSL_CTX *sctx = context(true);
    int fd = accept(listener, nullptr, nullptr);
    WOLFSSL *s = wolfSSL_new(sctx);
    wolfSSL_set_fd(s, fd);
    Bytes three = th::cat(th::cat(msg(0, 8, 1), msg(6, 32, 2, 0x66)), msg(2, 40, 3, 0x22));
    Bytes request(56);
    if (wolfSSL_accept(s) == WOLFSSL_SUCCESS &&
        wolfSSL_write(s, three.data(), int(three.size())) > 0 &&
        tls_read_exact(s, request.data(), request.size()))
        wolfSSL_write(s, request.data(), int(request.size()));
    wolfSSL_shutdown(s);
    wolfSSL_free(s);
    close(fd);
    wolfSSL_CTX_free(sctx);
    wc_ecc_fp_free();  // wolfSSL's ECC point cache is per thread
}

class Tls : public th::Net {
   protected:
    static void SetUpTestSuite() {
        wolfSSL_Init();
        g_certs = new Certs();
    }
    static void TearDownTestSuite() {
        delete g_certs;
        wc_ecc_fp_free();
        wolfSSL_Cleanup();
    }
    void SetUp() override {
        if (!g_certs->ok) GTEST_SKIP() << "openssl could not make test certificates";
        ctx = context(false);
        ssl = wolfSSL_new(ctx);
        ASSERT_NE(ssl, nullptr);
        Net::SetUp();
        client_side(4096);
    }
    void TearDown() override {
        if (ofclient_local_inst.ofserver) ofclient_disconnect(ofclient_local_inst.ofserver);
        if (server.joinable()) server.join();
        wolfSSL_free(ssl);
        wolfSSL_CTX_free(ctx);
        if (!IsSkipped()) Net::TearDown();
    }
    WOLFSSL_CTX *ctx = nullptr;
    WOLFSSL *ssl = nullptr;
    std::thread server;
};

TEST_F(Tls, HandshakeThenMessagesBothWaysWithoutWaitingForMoreBytesThenTheServerCloses) {
    server = std::thread(tls_peer, listener);
    ofclient_server *ofs = ofclient_connect_to_ofserver(0x7f000001, port, ssl);
    ASSERT_NE(ofs, nullptr);
    ASSERT_TRUE(th::run_until([] { return rec().ups() == 1; }, 10000));
    EXPECT_TRUE(th::logs("INFO ofclient_connected", "wolfSSL_connect successful$"));
    EXPECT_TRUE(fcntl(ofs->sock->socket_fd, F_GETFL) & O_NONBLOCK);
    // All three arrive although they came in one record and the server then sends nothing.
    ASSERT_TRUE(th::run_until([] { return rec().msgs.size() == 3; }, 5000));
    EXPECT_EQ(rec().msgs[0].second, msg(0, 8, 1));
    EXPECT_EQ(rec().msgs[1].second, msg(6, 32, 2, 0x66));
    EXPECT_EQ(rec().msgs[2].second, msg(2, 40, 3, 0x22));
    Bytes request = msg(18, 56, 9, 0x12);
    EXPECT_EQ(ofclient_send(ofs, request.data(), uint32_t(request.size())), 1);
    ASSERT_TRUE(downs_reach(1, 10000));
    ASSERT_EQ(rec().msgs.size(), 4u);
    EXPECT_EQ(rec().msgs[3].second, request);
    EXPECT_TRUE(
        th::logs("ERRS ofconn_rx", "<" + th::kLo +
                                       "[0-9]+> \\*{6} Remote peer closed the socket - SSL error "
                                       ".*\\(-?[0-9]+\\), Linux error .*\\([0-9]+\\)$"));
    EXPECT_EQ(ofclient_local_inst.ofserver, nullptr);
}

WOLFSSL *g_death_ssl = nullptr;  // reachable at exit, so leak checking stays quiet

// How the peer meets the ClientHello: with bytes that are not TLS, with silence, or with a
// 16 KiB handshake record announced and then sent a byte a second, so that no read times out.
enum class Peer { Garbage, Silent, Trickle };

// The child: the client's handshake against that peer, which must end the process.
[[noreturn]] void failing_handshake(WOLFSSL *ssl, Peer kind) {
    oflog_init(
        nullptr, 1, [](int, const char *line) { fprintf(stderr, "%s\n", line); }, nullptr);
    uint16_t port = 0;
    int listener = th::tcp(&port, true);
    std::thread([listener, kind] {
        int fd = accept(listener, nullptr, nullptr);
        const char junk[] = "HTTP/1.1 400 Bad Request\r\n\r\n";
        const uint8_t header[] = {0x16, 0x03, 0x03, 0x40, 0x00};
        if (kind == Peer::Garbage) th::write_all(fd, junk, sizeof junk);
        if (kind == Peer::Trickle) th::write_all(fd, header, sizeof header);
        for (uint8_t b = 2; kind == Peer::Trickle; sleep(1))
            th::write_all(fd, &b, 1);
        pause();
    }).detach();
    g_death_ssl = ssl;
    ofclient_connect_to_ofserver(0x7f000001, port, ssl);
    th::run_for(600000);
    fprintf(stderr, "handshake did not end\n");
    _exit(1);
}

// ---- Failed and stalled handshakes ---------------------------------------------------------
// Each runs in a child process; the stalled ones wait out the 30-second bound side by side, and
// the suite's TlsStall test has a ctest entry of its own that runs beside the others.
struct Child {
    Peer kind;
    const char *what;
    std::string linux_error;  // the second half of the first line, as a regex
    pid_t pid = -1;
    int err = -1;  // read end of its standard error
    std::string text{};
    int status = -1;
    uint64_t ms = 0;  // from the fork until it ended
};

using TlsStall = Tls;

TEST_F(TlsStall, FailedOrStalledHandshakeEndsTheProcessWithTwoLines) {
    Child children[] = {{Peer::Garbage, "garbage", "[^\n\"]*\\([0-9]+\\)"},
                        {Peer::Silent, "silent", th::err_re(ETIMEDOUT, true)},
                        {Peer::Trickle, "trickling", th::err_re(ETIMEDOUT, true)}};
    uint64_t start = th::now_ms();
    fflush(nullptr);  // nothing buffered is written twice
    for (Child &c : children) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        c.pid = fork();
        ASSERT_GE(c.pid, 0);
        if (c.pid == 0) {
            dup2(p[1], 2);
            close(p[0]);
            close(p[1]);
            failing_handshake(ssl, c.kind);
        }
        close(p[1]);
        c.err = p[0];
    }
    // Their output until each has ended; one still running after 90 s is killed.
    for (size_t open = std::size(children); open > 0;) {
        bool late = th::now_ms() - start > 90000;
        for (Child &c : children) {
            if (c.err < 0) continue;
            if (late) kill(c.pid, SIGKILL);
            struct pollfd p = {c.err, POLLIN, 0};
            if (poll(&p, 1, 50) != 1) continue;
            char buf[4096];
            ssize_t n = read(c.err, buf, sizeof buf);
            if (n > 0) {
                c.text.append(buf, size_t(n));
                continue;
            }
            close(c.err);
            c.err = -1;
            waitpid(c.pid, &c.status, 0);
            c.ms = th::now_ms() - start;
            open--;
        }
    }
    for (const Child &c : children) {
        SCOPED_TRACE(c.what);
        printf("%s peer: the process ended after %llu ms\n", c.what,
               static_cast<unsigned long long>(c.ms));
        EXPECT_TRUE(WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0) << c.text;
        const std::string lines =
            "\nERRS ofclient_connected:[0-9]+ wolfSSL_connect: error \"[^\n\"]*\\(-?[0-9]+\\)\", "
            "linux error \"" +
            c.linux_error +
            "\"\nERRS ofclient_connected:[0-9]+ wolfSSL connect timeout  \\.\\. tavid restart in "
            "<= 2 minutes \n\n$";
        EXPECT_TRUE(std::regex_search(c.text, std::regex(lines))) << c.text;
        // A stalled one ran out of time rather than into an error.
        EXPECT_TRUE(c.kind == Peer::Garbage || c.ms >= 29000u) << c.ms;
    }
}

}  // namespace

#endif  // OFAGENT_TLS
