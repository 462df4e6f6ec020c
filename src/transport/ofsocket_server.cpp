// Server connection manager: one listening socket, every accepted IPv4 client kept in a list
// and handed to the connection layer. Server connections are plain TCP.
#include "ofserver.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>

#include "../support/oflog_internal.hpp"
#include "ofconn_internal.hpp"

extern "C" {
ofserver_instance ofserver_local_inst;
}

namespace {

const char *client_text(const ofserver_client *client) {
    return ofsocket_print_addr(client->conn.sock ? client->conn.sock->addr : nullptr);
}

// A failed start releases the listening socket so that the server can be started again.
int ofserver_start_failed() {
    ofsocket_free(ofserver_local_inst.ofs_ctx);
    ofserver_local_inst.ofs_ctx = nullptr;
    return -1;
}

void close_fd(int fd) {
    while (close(fd) < 0 && errno == EINTR) {
    }
}

// The listening socket's accept callback: one client per readiness.
int ofserver_accept(ofsocket *listen_sock) {
    OFLOG(OFLOG_INFO, "Got new connection");
    struct sockaddr *addr = nullptr;
    socklen_t len = 0;
    int fd = ofsocket_accept(listen_sock, &addr, &len);
    if (fd < 0) return -1;
    if (len != sizeof(struct sockaddr_in) || addr->sa_family != AF_INET) {
        OFLOG(OFLOG_ERRS, "Dont support anything other than ipv4 client now.");
        close_fd(fd);
        free(addr);
        return -1;
    }
    ofserver_client *client = static_cast<ofserver_client *>(calloc(1, sizeof(ofserver_client)));
    ofsocket *sock = ofsocket_alloc();
    if (client == nullptr || sock == nullptr ||
        !ListInsert(ofserver_local_inst.ofclient_list, client)) {
        OFLOG(OFLOG_ERRS, "no memory for a new client, dropping it");
        free(client);
        ofsocket_free(sock);
        close_fd(fd);
        free(addr);
        return -1;
    }
    struct sockaddr_in sin;
    memcpy(&sin, addr, sizeof sin);
    client->client_ip = ntohl(sin.sin_addr.s_addr);
    ofsocket_set_addr(sock, addr);
    OFLOG(OFLOG_INFO, "Client got connected from %s", ofsocket_print_addr(addr));
    ofsocket_set_recv(sock, ofconn_recv);
    ofsocket_set_write(sock, ofconn_send_wakeup);
    ofsocket_disable_write(sock);
    ofsocket_set_socket(sock, fd);
    ofsocket_set_option(sock, OFSOCKET_OPT_NONBLOCK, 1);
    ofsocket_set_option(sock, OFSOCKET_OPT_RCVBUF, 8192);
    ofsocket_set_option(sock, OFSOCKET_OPT_SNDBUF, 8192);
    ofsocket_set_option(sock, OFSOCKET_OPT_LINGER, 0, 0);
    ofsocket_set_option(sock, OFSOCKET_OPT_TCP_NODELAY, 1);
    ofsocket_set_tcp_keep_alive(sock);
    ofconn_init(&client->conn, OFCONN_TYPE_SERVER, &ofserver_local_inst.conn_cfg, sock, nullptr);
    ofconn_event_handler(&client->conn, OFCONN_CONNECTION_UP);
    if (client->conn.rx_buf == nullptr) {  // logged; the host never heard of this client
        ListRemove(ofserver_local_inst.ofclient_list, client);
        ofsocket_free(sock);
        free(client);
        return -1;
    }
    if (ofserver_local_inst.event_cb)
        ofserver_local_inst.event_cb(&client->conn, OFCONN_CONNECTION_UP);
    return 0;
}

}  // namespace

extern "C" {

oflist *ofserver_register(const ofconn_registration *reg) {
    memset(&ofserver_local_inst, 0, sizeof ofserver_local_inst);
    ofserver_local_inst.event_cb = reg->event_cb;
    ofserver_local_inst.rx_cb = reg->rx_cb;
    ofserver_local_inst.conn_cfg = reg->conn_cfg;
    ofserver_local_inst.ofclient_list = ListCreate();
    ofagent::ofconn_owners[OFCONN_TYPE_SERVER] = {ofserver_dispatch_rx_msg,
                                                  ofserver_handle_connection_down_event};
    return ofserver_local_inst.ofclient_list;
}

int ofserver_start(uint32_t ip, uint16_t port) {
    ofsocket *sock = ofsocket_alloc();
    if (sock == nullptr) return -1;
    assert(ofserver_local_inst.ofs_ctx == ((void *)0));
    ofserver_local_inst.ofs_ctx = sock;
    ofsocket_set_data(sock, &ofserver_local_inst);
    int fd = ofsocket_open_socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return ofserver_start_failed();
    ofsocket_set_flag(sock, OFSOCKET_FLAG_LISTEN);
    ofsocket_set_accept(sock, ofserver_accept);
    ofsocket_set_socket(sock, fd);
    if (ofsocket_create_sockaddr_in(sock, htons(port), htonl(ip)) == nullptr)
        return ofserver_start_failed();
    if (ofsocket_set_option(sock, OFSOCKET_OPT_NONBLOCK, 1) < 0 ||
        ofsocket_set_option(sock, OFSOCKET_OPT_REUSEADDR, 1) < 0 || ofsocket_bind(sock) != 0 ||
        ofsocket_listen(sock, 10) != 0)
        return ofserver_start_failed();
    OFLOG(OFLOG_INFO, "Started server on %s", ofsocket_print_addr(sock->addr));
    return 0;
}

void ofserver_stop(void) {
    OFLOG(OFLOG_INFO, "Stopping server on %s",
          ofsocket_print_addr(ofserver_local_inst.ofs_ctx ? ofserver_local_inst.ofs_ctx->addr
                                                          : nullptr));
    oflist *list = ofserver_local_inst.ofclient_list;
    if (list != nullptr) {
        // A client that is closing (the host stops the server from inside one of its callbacks)
        // stays listed until its teardown has told the host; its socket is closed already.
        uint32_t closing = 0;
        ListGet(list, LIST_GET_FIRST);
        while (void *client = ListGet(list, LIST_GET_NEXT)) {
            ofconn *conn = static_cast<ofconn *>(client);
            ofconn_event_handler(conn, OFCONN_CONNECTION_DESTROY);
            if (ofagent::ofconn_closing(conn)) closing++;
        }
        assert(ListEntries(ofserver_local_inst.ofclient_list) == closing);
        (void)closing;
    }
    // Taken only now: a host that stopped the server again from a client's down callback has
    // released the listening socket already.
    ofsocket *sock = ofserver_local_inst.ofs_ctx;
    ofserver_local_inst.ofs_ctx = nullptr;
    ofsocket_free(sock);
}

int ofserver_send(ofserver_client *client, const uint8_t *bytes, uint32_t length) {
    return ofconn_send(&client->conn, bytes, length);
}

void ofserver_disconnect_client(ofserver_client *client) {
    OFLOG(OFLOG_INFO, "Disconnecting client at %s", client_text(client));
    ofconn_event_handler(&client->conn, OFCONN_CONNECTION_DESTROY);
}

char *ofserver_get_client_name(ofserver_client *client) {
    return ofsocket_print_addr(client->conn.sock ? client->conn.sock->addr : nullptr);
}

int32_t ofserver_dispatch_rx_msg(ofconn *conn, const uint8_t *bytes, int32_t length) {
    if (ofserver_local_inst.rx_cb == nullptr) return 0;
    return ofserver_local_inst.rx_cb(conn, bytes, length);
}

void ofserver_handle_connection_down_event(ofconn *conn) {
    ofserver_client *client = reinterpret_cast<ofserver_client *>(conn);
    OFLOG(OFLOG_INFO, "Got connection down for client :%s", client_text(client));
    if (ofserver_local_inst.event_cb) ofserver_local_inst.event_cb(conn, OFCONN_CONNECTION_DOWN);
    ListRemove(ofserver_local_inst.ofclient_list, client);
    ofsocket_free(conn->sock);
    free(client);
}

void *ofserver_get_client_opaque_data(ofserver_client *client) {
    return client->opaque_data;
}

void ofserver_set_client_opaque_data(ofserver_client *client, void *data) {
    client->opaque_data = data;
}

}  // extern "C"
