// TLS client connections with wolfSSL: real handshakes on loopback against an in-process
// wolfSSL server with throw-away certificates made by openssl, messages both ways, and the
// failed handshake that ends the process.
#ifdef OFAGENT_TLS

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <wolfssl/options.h>
#include <wolfssl/ssl.h>
#include <wolfssl/wolfcrypt/ecc.h>

#include "harness.hpp"

namespace {

using th::msg;
using th::rec;

// A throw-away CA with a server and a client certificate, in a temporary directory.
class Certs {
   public:
    Certs() {
        char tmpl[] = "/tmp/ofagent-tls-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return;
        dir_ = tmpl;
        std::string d = dir_;
        std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        std::string cmd =
            "cd " + d + " && printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext" +
            " && openssl req -x509" + key +
            " -days 1 -subj /CN=ofagent-test-ca -keyout ca.key -out ca.pem" + " && openssl req" +
            key + " -subj /CN=127.0.0.1 -keyout srv.key -out srv.csr" +
            " && openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1" +
            " -extfile san.ext -out srv.pem" + " && openssl req" + key +
            " -subj /CN=ofagent-client -keyout cli.key -out cli.csr" +
            " && openssl x509 -req -in cli.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 "
            "-out cli.pem";
        ok_ = system(("(" + cmd + ") >/dev/null 2>&1").c_str()) == 0;
    }
    ~Certs() {
        if (!dir_.empty()) {
            std::string cmd = "rm -rf " + dir_;
            if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir_.c_str());
        }
    }
    bool ok() const { return ok_; }
    std::string path(const char *name) const { return dir_ + "/" + name; }

   private:
    std::string dir_;
    bool ok_ = false;
};

Certs *g_certs = nullptr;

class Tls : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        wolfSSL_Init();
        g_certs = new Certs();
    }
    static void TearDownTestSuite() {
        delete g_certs;
        g_certs = nullptr;
        wc_ecc_fp_free();
        wolfSSL_Cleanup();
    }
    void SetUp() override {
        if (!g_certs->ok()) GTEST_SKIP() << "openssl could not make test certificates";
        th::capture_logs();
        th::reset_recorder();
        ofconn_registration reg = th::registration(4096);
        ofclient_register(&reg);
        listener = th::listen_loopback(&port);
        ASSERT_GE(listener, 0);
        ctx = wolfSSL_CTX_new(wolfSSLv23_client_method());
        ASSERT_NE(ctx, nullptr);
        ASSERT_EQ(wolfSSL_CTX_load_verify_locations(ctx, g_certs->path("ca.pem").c_str(), nullptr),
                  WOLFSSL_SUCCESS);
        ASSERT_EQ(wolfSSL_CTX_use_certificate_file(ctx, g_certs->path("cli.pem").c_str(),
                                                   WOLFSSL_FILETYPE_PEM),
                  WOLFSSL_SUCCESS);
        ASSERT_EQ(wolfSSL_CTX_use_PrivateKey_file(ctx, g_certs->path("cli.key").c_str(),
                                                  WOLFSSL_FILETYPE_PEM),
                  WOLFSSL_SUCCESS);
        ssl = wolfSSL_new(ctx);
        ASSERT_NE(ssl, nullptr);
    }
    void TearDown() override {
        if (ofclient_local_inst.ofserver) ofclient_disconnect(ofclient_local_inst.ofserver);
        if (server.joinable()) server.join();
        if (ssl) wolfSSL_free(ssl);
        if (ctx) wolfSSL_CTX_free(ctx);
        if (listener >= 0) close(listener);
    }
    int listener = -1;
    uint16_t port = 0;
    WOLFSSL_CTX *ctx = nullptr;
    WOLFSSL *ssl = nullptr;
    std::thread server;
};

bool tls_read_exact(WOLFSSL *s, uint8_t *p, size_t n) {
    while (n > 0) {
        int r = wolfSSL_read(s, p, int(n));
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

// The server side, on its own thread: a mutual-TLS handshake, two messages in one record,
// then it echoes one message and waits for the client to close.
void serve(int listener, std::atomic<int> *stage) {
    WOLFSSL_CTX *sctx = wolfSSL_CTX_new(wolfSSLv23_server_method());
    wolfSSL_CTX_use_certificate_file(sctx, g_certs->path("srv.pem").c_str(), WOLFSSL_FILETYPE_PEM);
    wolfSSL_CTX_use_PrivateKey_file(sctx, g_certs->path("srv.key").c_str(), WOLFSSL_FILETYPE_PEM);
    wolfSSL_CTX_load_verify_locations(sctx, g_certs->path("ca.pem").c_str(), nullptr);
    wolfSSL_CTX_set_verify(sctx, WOLFSSL_VERIFY_PEER | WOLFSSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                           nullptr);
    int fd = accept(listener, nullptr, nullptr);
    WOLFSSL *s = wolfSSL_new(sctx);
    wolfSSL_set_fd(s, fd);
    if (wolfSSL_accept(s) == WOLFSSL_SUCCESS) {
        stage->store(1);
        std::vector<uint8_t> two = msg(0, 8, 1);  // hello, header only
        std::vector<uint8_t> features = msg(6, 32, 2, 0x66);
        std::vector<uint8_t> echo = msg(2, 40, 3, 0x22);
        two.insert(two.end(), features.begin(), features.end());
        two.insert(two.end(), echo.begin(), echo.end());
        wolfSSL_write(s, two.data(), int(two.size()));  // one record, three messages
        uint8_t hdr[8];
        if (tls_read_exact(s, hdr, 8)) {
            size_t len = size_t(hdr[2]) << 8 | hdr[3];
            std::vector<uint8_t> m(hdr, hdr + 8);
            m.resize(len);
            if (len >= 8 && tls_read_exact(s, m.data() + 8, len - 8)) {
                wolfSSL_write(s, m.data(), int(m.size()));
                stage->store(2);
            }
        }
        uint8_t b;
        while (wolfSSL_read(s, &b, 1) > 0) {
        }
    }
    wolfSSL_free(s);
    close(fd);
    wolfSSL_CTX_free(sctx);
    wc_ecc_fp_free();  // wolfSSL's ECC point cache is per thread
}

TEST_F(Tls, HandshakeThenMessagesBothWaysWithoutWaitingForMoreBytes) {
    ofhost_disp_wait(0);  // the dispatcher's own descriptor exists before counting
    int fds_before = th::count_fds();
    std::atomic<int> stage{0};
    server = std::thread(serve, listener, &stage);
    ofclient_server *ofs = ofclient_connect_to_ofserver(0x7f000001, port, ssl);
    ASSERT_NE(ofs, nullptr);
    ASSERT_TRUE(th::run_until([] { return rec().count(OFCONN_CONNECTION_UP) == 1; }, 10000));
    EXPECT_TRUE(th::has_log("^INFO ofclient_connected:[0-9]+ wolfSSL_connect successful$"));
    EXPECT_TRUE(fcntl(ofs->sock->socket_fd, F_GETFL) & O_NONBLOCK);
    // All three arrive although they came in one record and the server then sends nothing.
    ASSERT_TRUE(th::run_until([] { return rec().msgs.size() == 3; }, 5000));
    EXPECT_EQ(rec().msgs[0].bytes, msg(0, 8, 1));
    EXPECT_EQ(rec().msgs[1].bytes, msg(6, 32, 2, 0x66));
    EXPECT_EQ(rec().msgs[2].bytes, msg(2, 40, 3, 0x22));
    std::vector<uint8_t> request = msg(18, 56, 9, 0x12);
    EXPECT_EQ(ofclient_send(ofs, request.data(), uint32_t(request.size())), 1);
    ASSERT_TRUE(th::run_until([] { return rec().msgs.size() == 4; }, 5000));
    EXPECT_EQ(rec().msgs[3].bytes, request);
    EXPECT_TRUE(th::run_until([&] { return stage.load() == 2; }));
    ofclient_disconnect(ofs);
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 1u);
    server.join();
    EXPECT_EQ(th::count_fds(), fds_before);
}

TEST_F(Tls, ServerClosingIsReportedAsTheTlsPeerGone) {
    std::atomic<int> stage{0};
    server = std::thread([this, &stage] {
        WOLFSSL_CTX *sctx = wolfSSL_CTX_new(wolfSSLv23_server_method());
        wolfSSL_CTX_use_certificate_file(sctx, g_certs->path("srv.pem").c_str(),
                                         WOLFSSL_FILETYPE_PEM);
        wolfSSL_CTX_use_PrivateKey_file(sctx, g_certs->path("srv.key").c_str(),
                                        WOLFSSL_FILETYPE_PEM);
        int fd = accept(listener, nullptr, nullptr);
        WOLFSSL *s = wolfSSL_new(sctx);
        wolfSSL_set_fd(s, fd);
        if (wolfSSL_accept(s) == WOLFSSL_SUCCESS) stage.store(1);
        wolfSSL_shutdown(s);
        wolfSSL_free(s);
        close(fd);
        wolfSSL_CTX_free(sctx);
        wc_ecc_fp_free();
    });
    ASSERT_NE(ofclient_connect_to_ofserver(0x7f000001, port, ssl), nullptr);
    ASSERT_TRUE(th::run_until([] { return rec().count(OFCONN_CONNECTION_DOWN) == 1; }, 10000));
    server.join();
    EXPECT_EQ(stage.load(), 1);
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_UP), 1u);
    EXPECT_TRUE(th::has_log(
        "^ERRS ofconn_rx:[0-9]+ <127\\.0\\.0\\.1:[0-9]+> \\*\\*\\*\\*\\*\\* Remote peer closed "
        "the socket - SSL error .*\\(-?[0-9]+\\), Linux error .*\\([0-9]+\\)$"));
    EXPECT_EQ(ofclient_local_inst.ofserver, nullptr);
}

void stderr_sink(int, const char *line) {
    fprintf(stderr, "%s\n", line);
}

WOLFSSL *g_death_ssl = nullptr;  // reachable at exit, so leak checking stays quiet

// The peer answers the ClientHello with bytes that are not TLS.
void connect_to_garbage(int listener, uint16_t port) {
    oflog_init(nullptr, 1, stderr_sink, nullptr);
    std::thread([listener] {
        int fd = accept(listener, nullptr, nullptr);
        const char junk[] = "HTTP/1.1 400 Bad Request\r\n\r\n";
        th::write_all(fd, junk, sizeof junk);
        pause();
    }).detach();
    ofclient_connect_to_ofserver(0x7f000001, port, g_death_ssl);
    th::run_until([] { return false; }, 10000);
    fprintf(stderr, "handshake did not fail\n");
    exit(1);
}

TEST_F(Tls, FailedHandshakeEndsTheProcessAfterTwoLines) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    g_death_ssl = ssl;
    EXPECT_EXIT(
        connect_to_garbage(listener, port), ::testing::ExitedWithCode(0),
        "\nERRS ofclient_connected:[0-9]+ wolfSSL_connect: error \"[^\n\"]*\\(-?[0-9]+\\)\", "
        "linux error \"[^\n\"]*\\([0-9]+\\)\"\n"
        "ERRS ofclient_connected:[0-9]+ wolfSSL connect timeout  \\.\\. tavid restart in <= 2 "
        "minutes \n\n$");
}

}  // namespace

#endif  // OFAGENT_TLS
