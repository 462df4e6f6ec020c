// Connection framing, send queue and teardown, driven through the server manager with plain
// loopback peers: what arrives in what pieces, and what the host is handed.
#include <sys/socket.h>
#include <unistd.h>

#include "harness.hpp"

namespace {

using th::msg;
using th::rec;

class Framing : public ::testing::Test {
   protected:
    void start(uint32_t rx_buf_size = 4096) {
        th::capture_logs();
        th::reset_recorder();
        ofhost_disp_wait(0);  // the dispatcher's own descriptor exists before counting
        fds_before = th::count_fds();
        ofconn_registration reg = th::registration(rx_buf_size);
        ofserver_register(&reg);
        ASSERT_EQ(ofserver_start(0x7f000001, 0), 0);
        peer = th::connect_loopback(th::server_port());
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(th::run_until([] { return rec().count(OFCONN_CONNECTION_UP) == 1; }));
        conn = rec().last_up();
    }
    void SetUp() override { start(); }
    void TearDown() override {
        rec().on_rx = nullptr;
        rec().on_event = nullptr;
        ofserver_stop();
        if (peer >= 0) close(peer);
        free(ofserver_local_inst.ofclient_list);
        ofserver_local_inst.ofclient_list = nullptr;
        EXPECT_EQ(th::count_fds(), fds_before);
    }
    // Pieces written with loop rounds in between, so each reaches its own readiness.
    void trickle(const std::vector<uint8_t> &bytes, size_t piece) {
        for (size_t off = 0; off < bytes.size(); off += piece) {
            size_t n = std::min(piece, bytes.size() - off);
            ASSERT_TRUE(th::write_all(peer, bytes.data() + off, n));
            size_t lines = th::log_lines().size(), msgs = rec().msgs.size();
            th::run_until(
                [&] { return th::log_lines().size() > lines || rec().msgs.size() > msgs; }, 1000);
        }
    }
    bool went_down() {
        return th::run_until([] { return rec().count(OFCONN_CONNECTION_DOWN) == 1; });
    }
    int fds_before = 0;
    int peer = -1;
    ofconn *conn = nullptr;
};

TEST_F(Framing, MessageArrivingOneBytePerReadinessIsHandedOverOnce) {
    std::vector<uint8_t> m = msg(2, 24, 0x01020304, 0x5a);
    trickle(m, 1);
    ASSERT_TRUE(th::run_until([] { return rec().msgs.size() == 1; }));
    th::run_for(30);
    ASSERT_EQ(rec().msgs.size(), 1u);
    EXPECT_EQ(rec().msgs[0].bytes, m);
    EXPECT_EQ(rec().msgs[0].conn, conn);
    EXPECT_GE(th::logged("socket read blocked, wanted:[0-9]+, read:1$").size(), 1u);
}

TEST_F(Framing, HeaderInTwoPiecesThenBodyIsIntact) {
    std::vector<uint8_t> m = msg(2, 40, 9, 0x11);
    for (size_t i = 8; i < m.size(); i++)
        m[i] = uint8_t(i);
    trickle(std::vector<uint8_t>(m.begin(), m.begin() + 5), 5);
    EXPECT_TRUE(rec().msgs.empty());
    trickle(std::vector<uint8_t>(m.begin() + 5, m.end()), m.size());
    ASSERT_TRUE(th::run_until([] { return rec().msgs.size() == 1; }));
    EXPECT_EQ(rec().msgs[0].bytes, m);
}

TEST_F(Framing, TwoHeaderOnlyMessagesInOneReadinessThenReadFailedLine) {
    std::vector<uint8_t> both = msg(2, 8, 1);
    std::vector<uint8_t> second = msg(3, 8, 2);
    both.insert(both.end(), second.begin(), second.end());
    th::log_lines().clear();
    ASSERT_TRUE(th::write_all(peer, both));
    usleep(20000);
    ofhost_loop_run_once(500);  // one readiness
    ASSERT_EQ(rec().msgs.size(), 2u);
    EXPECT_EQ(rec().msgs[0].bytes, msg(2, 8, 1));
    EXPECT_EQ(rec().msgs[1].bytes, second);
    auto failed = th::logged(
        "^ERRS ofconn_rx:[0-9]+ <127\\.0\\.0\\.1:[0-9]+> socket read failed, "
        "err:Resource temporarily unavailable\\(11\\)$");
    ASSERT_EQ(failed.size(), 1u);
    // The line comes after both hand-overs.
    EXPECT_EQ(th::log_lines().back(), failed[0]);
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 0u);
}

TEST_F(Framing, BodyMessageFollowedAtOnceByAnotherIsHandedOverOnePerReadiness) {
    std::vector<uint8_t> first = msg(2, 16, 1, 0x21);
    std::vector<uint8_t> second = msg(3, 24, 2, 0x22);
    std::vector<uint8_t> both = first;
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(th::write_all(peer, both));
    usleep(20000);
    ofhost_loop_run_once(500);
    ASSERT_EQ(rec().msgs.size(), 1u);
    EXPECT_EQ(rec().msgs[0].bytes, first);
    ofhost_loop_run_once(500);
    ASSERT_EQ(rec().msgs.size(), 2u);
    EXPECT_EQ(rec().msgs[1].bytes, second);
}

TEST_F(Framing, LengthBeyondTheReceiveBufferBringsTheConnectionDown) {
    ASSERT_TRUE(th::write_all(peer, msg(2, 4097)));
    ASSERT_TRUE(went_down());
    EXPECT_EQ(rec().events.back().conn, conn);
    EXPECT_TRUE(
        th::has_log("^ERRS ofconn_rx:[0-9]+ <127\\.0\\.0\\.1:[0-9]+> invalid length: 4089$"));
    EXPECT_TRUE(rec().msgs.empty());
    EXPECT_TRUE(th::peer_closed(peer));
    EXPECT_EQ(ListEntries(ofserver_local_inst.ofclient_list), 0u);
}

TEST_F(Framing, LengthBelowTheHeaderLogsANegativeNumber) {
    ASSERT_TRUE(th::write_all(peer, msg(2, 4)));
    ASSERT_TRUE(went_down());
    EXPECT_TRUE(th::has_log("invalid length: -4$"));
    EXPECT_TRUE(th::peer_closed(peer));
}

TEST_F(Framing, UnacceptableHeaderBringsTheConnectionDownWithoutALengthLine) {
    std::vector<uint8_t> m = msg(2, 16);
    m[0] = 5;  // the length function refuses other versions
    ASSERT_TRUE(th::write_all(peer, m));
    ASSERT_TRUE(went_down());
    EXPECT_FALSE(th::has_log("invalid length"));
    EXPECT_TRUE(rec().msgs.empty());
}

TEST_F(Framing, OrderlyPeerCloseIsLoggedAtInfoAndReported) {
    shutdown(peer, SHUT_WR);
    ASSERT_TRUE(went_down());
    EXPECT_TRUE(
        th::has_log("^INFO ofconn_rx:[0-9]+ <127\\.0\\.0\\.1:[0-9]+> \\*\\*\\*\\*\\*\\* Remote "
                    "peer closed the socket, err:"));
    EXPECT_TRUE(
        th::has_log("^INFO ofserver_handle_connection_down_event:[0-9]+ Got connection down "
                    "for client :127\\.0\\.0\\.1:[0-9]+$"));
    EXPECT_EQ(ListEntries(ofserver_local_inst.ofclient_list), 0u);
}

TEST_F(Framing, PeerResetIsReported) {
    struct linger lg = {1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(peer);  // RST
    peer = -1;
    ASSERT_TRUE(went_down());
    EXPECT_TRUE(th::has_log("Remote peer closed the socket, err:" + th::err_tn(ECONNRESET) + "$"));
}

TEST_F(Framing, SendToAVanishedPeerMeetsEpipeAndGoesDownOnce) {
    close(peer);
    peer = -1;
    usleep(50000);
    std::vector<uint8_t> m = msg(2, 64);
    // The first write draws a reset, a later one EPIPE; nothing runs the loop meanwhile.
    for (int i = 0; i < 6 && rec().count(OFCONN_CONNECTION_DOWN) == 0; i++) {
        ofserver_send(reinterpret_cast<ofserver_client *>(conn), m.data(), uint32_t(m.size()));
        usleep(20000);
    }
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 1u);
    EXPECT_TRUE(
        th::has_log("^INFO ofconn_tx:[0-9]+ <127\\.0\\.0\\.1:[0-9]+> Remote peer closed the "
                    "socket, err:32$"));
    EXPECT_EQ(ListEntries(ofserver_local_inst.ofclient_list), 0u);
}

TEST_F(Framing, PartialWritesPutExactlyTheMessagesOnTheWireInOrder) {
    // The peer does not read at first; the server side's 8 KiB send buffer fills up. The
    // send path does not look inside the bytes, so large blocks force partial writes.
    std::vector<uint8_t> expected;
    ofserver_client *client = reinterpret_cast<ofserver_client *>(conn);
    int blocked = 0;
    for (uint32_t i = 0; i < 12; i++) {
        std::vector<uint8_t> m(100000 + i * 4099);
        for (size_t k = 0; k < m.size(); k++)
            m[k] = uint8_t(k * 31 + i);
        expected.insert(expected.end(), m.begin(), m.end());
        if (ofserver_send(client, m.data(), uint32_t(m.size())) == 0) blocked++;
    }
    EXPECT_GT(blocked, 0);
    EXPECT_GT(conn->tx_queue_len, 0u);
    EXPECT_NE(conn->sock->write_input, 0u);  // waiting for write readiness
    th::run_for(100);                        // the reader pauses
    std::vector<uint8_t> got = th::read_n(peer, expected.size(), 10000);
    // Some writes were taken only in part and resumed from where they stopped.
    EXPECT_TRUE(
        th::has_log("^DBUG ofconn_tx:[0-9]+ <127\\.0\\.0\\.1:[0-9]+> write blocked, "
                    "requested:[0-9]+, sent:[0-9]+$"));
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    EXPECT_TRUE(th::run_until([&] { return conn->tx_queue_len == 0; }));
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 0u);
}

TEST_F(Framing, DisconnectWithQueuedDataDropsItAndTellsTheHost) {
    ofserver_client *client = reinterpret_cast<ofserver_client *>(conn);
    std::vector<uint8_t> m = msg(2, 60000);
    for (int i = 0; i < 20; i++)
        ofserver_send(client, m.data(), uint32_t(m.size()));
    ASSERT_GT(conn->tx_queue_len, 1u);
    ofserver_disconnect_client(client);  // LeakSanitizer checks that every buffer was freed
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 1u);
    EXPECT_TRUE(th::has_log(
        "^INFO ofserver_disconnect_client:[0-9]+ Disconnecting client at 127\\.0\\.0\\.1:[0-9]+$"));
    EXPECT_EQ(ListEntries(ofserver_local_inst.ofclient_list), 0u);
    EXPECT_TRUE(th::peer_closed(peer, 5000));
}

TEST_F(Framing, HostDisconnectingInsideItsReceiveCallbackIsSafe) {
    rec().on_rx = [](ofconn *c, const uint8_t *, int32_t) {
        ofserver_disconnect_client(reinterpret_cast<ofserver_client *>(c));
        // Still inside the callback: a reply is dropped quietly, the host not yet told.
        std::vector<uint8_t> reply = msg(3, 8);
        EXPECT_EQ(ofserver_send(reinterpret_cast<ofserver_client *>(c), reply.data(), 8), 0);
        EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 0u);
    };
    // Two header-only messages: the second must not be handed over after the disconnect.
    std::vector<uint8_t> both = msg(2, 8, 1);
    std::vector<uint8_t> second = msg(2, 8, 2);
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(th::write_all(peer, both));
    ASSERT_TRUE(went_down());
    th::run_for(30);
    EXPECT_EQ(rec().msgs.size(), 1u);
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 1u);
    EXPECT_EQ(ListEntries(ofserver_local_inst.ofclient_list), 0u);
    EXPECT_TRUE(th::peer_closed(peer));
}

TEST_F(Framing, ReplyMeetingEpipeInsideTheReceiveCallbackIsSafe) {
    rec().on_rx = [](ofconn *c, const uint8_t *, int32_t) {
        std::vector<uint8_t> reply = msg(3, 64);
        for (int i = 0; i < 6 && rec().count(OFCONN_CONNECTION_DOWN) == 0; i++) {
            if (ofserver_send(reinterpret_cast<ofserver_client *>(c), reply.data(), 64) == 0 &&
                th::has_log("err:32$"))
                break;
            usleep(20000);
        }
    };
    ASSERT_TRUE(th::write_all(peer, msg(2, 16)));
    close(peer);  // gone before the reply
    peer = -1;
    usleep(50000);
    ASSERT_TRUE(went_down());
    th::run_for(30);
    EXPECT_EQ(rec().count(OFCONN_CONNECTION_DOWN), 1u);
    EXPECT_TRUE(th::has_log("Remote peer closed the socket, err:32$"));
    EXPECT_EQ(ListEntries(ofserver_local_inst.ofclient_list), 0u);
}

}  // namespace
