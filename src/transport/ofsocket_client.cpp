// Client connection manager: one non-blocking connect to an OpenFlow server, completed at write
// readiness, optionally secured by a blocking TLS handshake, then handed to the connection
// layer. The library never reconnects: the host calls ofclient_connect_to_ofserver again.
#include "ofclient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>

#include <cassert>

#include "../support/oflog_internal.hpp"
#include "ofconn_internal.hpp"

#ifdef OFAGENT_TLS
#include <wolfssl/options.h>
#include <wolfssl/ssl.h>
#include <wolfssl/wolfio.h>
#endif

extern "C" {
ofclient_instance ofclient_local_inst;
}

namespace {

const char *server_text(const ofclient_server *ofs) {
    return ofsocket_print_addr(ofs->sock->addr);
}

// Set-up failures before the connect was tried: release what ofclient_connect_to_ofserver
// made, so that a later connect can start. The host is not told (it gets null back).
void ofclient_abandon(ofclient_server *ofs) {
    ofsocket_free(ofs->sock);  // closes the descriptor and removes its interests
    free(ofs);
    ofclient_local_inst.ofserver = nullptr;
}

#ifdef OFAGENT_TLS
// The whole handshake, and so each of its reads, ends within this.
constexpr int64_t kHandshakeMs = 30000;

int64_t now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Waits until fd is ready for events or the deadline has passed (errno ETIMEDOUT then).
bool wait_ready(int fd, short events, int64_t deadline) {
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left <= 0) break;
        struct pollfd p = {fd, events, 0};
        int n = poll(&p, 1, int(left));
        if (n > 0) return true;  // ready, or an error that the next read or write reports
        if (n < 0 && errno != EINTR) return false;
    }
    errno = ETIMEDOUT;
    return false;
}

// Runs the handshake on the host's object, waiting for the peer kHandshakeMs in all at the
// most. A blocking read is no bound: Debian's wolfSSL retries a read that timed out (its
// contexts come with SSL_MODE_AUTO_RETRY, ten retries), and a peer that trickles a byte at a
// time never lets one time out. So wolfSSL's socket I/O is told not to wait and the waiting is
// done here. False with errno set when the handshake failed.
bool tls_handshake(WOLFSSL *ssl, int fd) {
    wolfSSL_SetIOReadFlags(ssl, MSG_DONTWAIT);
    wolfSSL_SetIOWriteFlags(ssl, MSG_NOSIGNAL | MSG_DONTWAIT);
    int64_t deadline = now_ms() + kHandshakeMs;
    while (wolfSSL_connect(ssl) != WOLFSSL_SUCCESS) {
        int error = wolfSSL_get_error(ssl, 0);
        if (error != WOLFSSL_ERROR_WANT_READ && error != WOLFSSL_ERROR_WANT_WRITE) return false;
        if (!wait_ready(fd, error == WOLFSSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline))
            return false;
    }
    wolfSSL_SetIOReadFlags(ssl, 0);
    // wolfSSL sends with these flags: a vanished peer must give EPIPE, not SIGPIPE.
    wolfSSL_SetIOWriteFlags(ssl, MSG_NOSIGNAL);
    return true;
}
#endif

// The socket's connect callback: the non-blocking connect has completed, well or not.
int ofclient_connected(ofsocket *sock) {
    ofclient_server *ofs = static_cast<ofclient_server *>(ofsocket_get_data(sock));
    int error = 0;
    socklen_t length = sizeof error;
    if (ofsocket_get_option(sock, SO_ERROR, &error, &length) < 0) error = errno;
    if (error != 0) {
        OFLOG(OFLOG_ERRS, "Connect unsuccessfull to %s, err:%d(%s)", server_text(ofs), error,
              strerror(error));
        ofagent::ofconn_teardown(&ofs->conn);
        return -1;
    }
    OFLOG(OFLOG_INFO, "Connect successfull to %s", server_text(ofs));
    ofsocket_set_connect(sock, nullptr);
    ofsocket_reset_flag(sock, OFSOCKET_FLAG_CONNECTING);
    ofsocket_disable_write(sock);
    ofsocket_reenable_receive(sock);
    ofsocket_set_option(sock, OFSOCKET_OPT_RCVBUF, 8192);
    ofsocket_set_option(sock, OFSOCKET_OPT_SNDBUF, 8192);
    ofs->state = STATE_CONNECTED;
    ofsocket_set_tcp_keep_alive(sock);
#ifdef OFAGENT_TLS
    if (WOLFSSL *ssl = ofs->conn.ssl) {
        // A handshake that holds the event loop for 30 s at the most; a failure ends the
        // process and the daemon is restarted from outside. The descriptor is blocking with a
        // 30 s receive timeout meanwhile, a bound also for reads that ignore the I/O flags.
        wolfSSL_set_fd(ssl, sock->socket_fd);
        if (ofsocket_set_option(sock, OFSOCKET_OPT_BLOCK, 1) < 0)
            OFLOG(OFLOG_ERRS, "failed to make ofs fd blocking");
        struct timeval tv;
        tv.tv_sec = 30;
        tv.tv_usec = 0;
        setsockopt(sock->socket_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (!tls_handshake(ssl, sock->socket_fd)) {
            int err = errno;
            int code = wolfSSL_get_error(ssl, 0);
            char text[WOLFSSL_MAX_ERROR_SZ > 80 ? WOLFSSL_MAX_ERROR_SZ : 80];
            wolfSSL_ERR_error_string(static_cast<unsigned long>(code), text);
            OFLOG(OFLOG_ERRS, "wolfSSL_connect: error \"%s(%d)\", linux error \"%s(%d)\"", text,
                  code, strerror(err), err);
            OFLOG(OFLOG_ERRS, "wolfSSL connect timeout  .. tavid restart in <= 2 minutes \n");
            exit(0);
        }
        OFLOG(OFLOG_INFO, "wolfSSL_connect successful");
        if (ofsocket_set_option(sock, OFSOCKET_OPT_NONBLOCK, 1) < 0)
            OFLOG(OFLOG_ERRS, "failed to make ofs fd non-blocking");
    }
#endif
    ofconn_event_handler(&ofs->conn, OFCONN_CONNECTION_UP);
    if (ofs->conn.rx_buf == nullptr) {  // logged: the connect ends as a failed one does
        ofagent::ofconn_teardown(&ofs->conn);
        return -1;
    }
    if (ofclient_local_inst.event_cb)
        ofclient_local_inst.event_cb(&ofs->conn, OFCONN_CONNECTION_UP);
    return 0;
}

// Opens the descriptor and starts the connect: 0 while under way or done, -1 on failure
// (the record is released then).
int ofclient_connect(ofclient_server *ofs) {
    assert(ofs->state == STATE_INIT);
    ofsocket *sock = ofs->sock;
    int fd = ofsocket_open_socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        OFLOG(OFLOG_ERRS, "Open ofsocket failed");
        ofclient_abandon(ofs);
        return -1;
    }
    ofsocket_set_connect(sock, ofclient_connected);
    ofsocket_set_flag(sock, OFSOCKET_FLAG_CONNECTING);
    ofsocket_set_write(sock, ofconn_send_wakeup);
    ofsocket_set_recv(sock, ofconn_recv);
    ofsocket_set_socket(sock, fd);
    if (ofsocket_set_option(sock, OFSOCKET_OPT_TCP_NODELAY, 1) < 0) {
        OFLOG(OFLOG_ERRS, "Set tcp no delay option failed");
        ofclient_abandon(ofs);
        return -1;
    }
    if (ofsocket_set_option(sock, OFSOCKET_OPT_NONBLOCK, 1) < 0) {
        OFLOG(OFLOG_ERRS, "Set non blocking option failed");
        ofclient_abandon(ofs);
        return -1;
    }
    ofsocket_reenable_write(sock);
    ofsocket_disable_receive(sock);
    if (ofsocket_connect(sock) == 0) {
        // Connected at once: should that end it (the record is gone then), say so.
        const int rc = ofclient_connected(sock);
        OFLOG(OFLOG_ERRS, "Connect ofclient invalid path");
        return rc;
    }
    int err = errno;
    if (err == EINPROGRESS) return 0;
    ofagent::ofconn_teardown(&ofs->conn);
    OFLOG(OFLOG_ERRS, "Connect ofsocket error: %d", err);
    return -1;
}

}  // namespace

extern "C" {

void ofclient_register(const ofconn_registration *reg) {
    memset(&ofclient_local_inst, 0, sizeof ofclient_local_inst);
    ofclient_local_inst.event_cb = reg->event_cb;
    ofclient_local_inst.rx_cb = reg->rx_cb;
    ofclient_local_inst.conn_cfg = reg->conn_cfg;
    ofagent::ofconn_owners[OFCONN_TYPE_CLIENT] = {ofclient_dispatch_rx_msg,
                                                  ofclient_handle_connection_down_event};
}

ofclient_server *ofclient_connect_to_ofserver(uint32_t ip, uint16_t port, struct WOLFSSL *ssl) {
#ifndef OFAGENT_TLS
    if (ssl != nullptr) {  // this build has no TLS: refuse rather than talk in the clear
        OFLOG(OFLOG_ERRS, "TLS requested but not supported by this build");
        return nullptr;
    }
#endif
    ofclient_server *ofs = static_cast<ofclient_server *>(calloc(1, sizeof(ofclient_server)));
    if (ofs == nullptr) return nullptr;
    assert(ofclient_local_inst.ofserver == ((void *)0));
    ofsocket *sock = ofsocket_alloc();
    if (sock == nullptr || ofsocket_create_sockaddr_in(sock, htons(port), htonl(ip)) == nullptr) {
        ofsocket_free(sock);
        free(ofs);
        return nullptr;
    }
    ofclient_local_inst.ofserver = ofs;
    ofconn_init(&ofs->conn, OFCONN_TYPE_CLIENT, &ofclient_local_inst.conn_cfg, sock, ssl);
    ofs->state = STATE_INIT;
    ofs->server_ip = ip;
    ofs->server_port = port;
    ofs->sock = sock;
    OFLOG(OFLOG_INFO, "Connecting to server at %s", server_text(ofs));
    if (ofclient_connect(ofs) != 0) return nullptr;
    // A connect that completed at once may already have failed and freed the record.
    return ofclient_local_inst.ofserver == ofs ? ofs : nullptr;
}

int ofclient_send(ofclient_server *ofs, const uint8_t *bytes, uint32_t length) {
    assert(ofs->state == STATE_CONNECTED);
    return ofconn_send(&ofs->conn, bytes, length);
}

void ofclient_disconnect(ofclient_server *ofs) {
    OFLOG(OFLOG_INFO, "Disconnecting to server at %s", server_text(ofs));
    // The host has let go of it: a new connection may start at once, also while the teardown
    // waits for a receive callback to return.
    if (ofclient_local_inst.ofserver == ofs) ofclient_local_inst.ofserver = nullptr;
    ofconn_event_handler(&ofs->conn, OFCONN_CONNECTION_DESTROY);
}

int32_t ofclient_dispatch_rx_msg(ofconn *conn, const uint8_t *bytes, int32_t length) {
    if (ofclient_local_inst.rx_cb == nullptr) return 0;
    return ofclient_local_inst.rx_cb(conn, bytes, length);
}

void ofclient_handle_connection_down_event(ofconn *conn) {
    ofclient_server *ofs = reinterpret_cast<ofclient_server *>(conn);
    OFLOG(OFLOG_INFO, "Got connection down for server:%s", server_text(ofs));
    ofs->state = STATE_DISCONNECTED;
    // Forget the record before telling the host, so that its callback may connect anew.
    if (ofclient_local_inst.ofserver == ofs) ofclient_local_inst.ofserver = nullptr;
    if (ofclient_local_inst.event_cb) ofclient_local_inst.event_cb(conn, OFCONN_CONNECTION_DOWN);
    ofsocket_free(ofs->sock);
    free(ofs);
}

void *ofclient_get_server_opaque_data(ofclient_server *ofs) {
    return ofs->opaque_data;
}

void ofclient_set_server_opaque_data(ofclient_server *ofs, void *data) {
    ofs->opaque_data = data;
}

}  // extern "C"
