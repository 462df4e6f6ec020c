/*
 * Client connection manager: one non-blocking IPv4 TCP connection to an OpenFlow server,
 * optionally secured by a blocking wolfSSL handshake, reported to the host through the
 * callbacks of its ofconn_registration. The library never reconnects by itself.
 */
#ifndef OFCLIENT_H
#define OFCLIENT_H

#include <stdint.h>

#include "ofagent_export.h"
#include "ofconn.h"

OFAGENT_BEGIN_DECLS

#define STATE_INIT 0
#define STATE_DISCONNECTED 1
#define STATE_CONNECTED 2

typedef struct ofclient_server {
    ofconn conn;          /* first: a pointer to the record is a pointer to its ofconn */
    uint32_t server_ip;   /* host byte order */
    uint16_t server_port; /* host byte order */
    uint32_t state;       /* STATE_INIT, STATE_DISCONNECTED or STATE_CONNECTED */
    ofsocket *sock;
    void *opaque_data; /* the host's own pointer */
} ofclient_server;

typedef struct ofclient_instance {
    ofconn_event_cb event_cb;
    ofconn_rx_cb rx_cb;
    ofconn_cfg conn_cfg;
    ofclient_server *ofserver; /* the current server connection, or null */
} ofclient_instance;

extern OFAGENT_API ofclient_instance ofclient_local_inst;

/* Clears the instance (forgetting any connection) and copies the registration. */
OFAGENT_API void ofclient_register(const ofconn_registration *reg);
/* ip and port in host byte order; ssl a prepared wolfSSL object, or null for plain TCP
 * (builds without TLS support refuse a non-null one). Returns the record while the connect
 * is under way or done, null when it could not be started.
 *
 * TLS: once the TCP connect has completed, the handshake runs inside the dispatcher's write
 * callback and holds the host's event loop for 30 seconds in all at the most, whatever the peer
 * does (silent, or trickling bytes that keep each read alive). The library waits for the peer
 * itself: during the handshake wolfSSL's socket I/O on this object does not wait
 * (wolfSSL_SetIOReadFlags MSG_DONTWAIT, wolfSSL_SetIOWriteFlags MSG_NOSIGNAL | MSG_DONTWAIT);
 * afterwards reads use no flags and writes MSG_NOSIGNAL. The object must therefore use wolfSSL's
 * own socket I/O, as wolfSSL_set_fd implies (custom I/O callbacks would not see the flags);
 * nothing else of it or of its context is changed. The descriptor is blocking with a 30-second
 * receive timeout during the handshake (the timeout stays set) and non-blocking afterwards.
 * A handshake that fails or runs out of time logs two ERRS lines, "wolfSSL_connect: error ..."
 * (after a timeout: linux error "Connection timed out") and "wolfSSL connect timeout  .. tavid
 * restart in <= 2 minutes", then ends the process with exit(0): the daemon is restarted from
 * outside. SIGPIPE should be ignored by TLS hosts as a second line of defence. */
OFAGENT_API ofclient_server *ofclient_connect_to_ofserver(uint32_t ip, uint16_t port,
                                                          struct WOLFSSL *ssl);
/* Only in STATE_CONNECTED. 1 when everything queued was written, else 0. */
OFAGENT_API int ofclient_send(ofclient_server *ofs, const uint8_t *bytes, uint32_t length);
/* Drops unsent data; event_cb hears OFCONN_CONNECTION_DOWN and the record is freed (called
 * from inside the record's receive callback: once that callback returns). The instance forgets
 * the record at once, so the host may connect again right away. */
OFAGENT_API void ofclient_disconnect(ofclient_server *ofs);
/* Called by the connection layer: hands one message to the host's rx_cb. */
OFAGENT_API int32_t ofclient_dispatch_rx_msg(ofconn *conn, const uint8_t *bytes, int32_t length);
/* Called by the connection layer at the end of every client connection: tells the host,
 * frees the socket and the record. ofclient_local_inst.ofserver is already null when the host's
 * event_cb hears OFCONN_CONNECTION_DOWN, so the host may connect again from inside it. */
OFAGENT_API void ofclient_handle_connection_down_event(ofconn *conn);
OFAGENT_API void *ofclient_get_server_opaque_data(ofclient_server *ofs);
OFAGENT_API void ofclient_set_server_opaque_data(ofclient_server *ofs, void *data);

OFAGENT_END_DECLS

#endif /* OFCLIENT_H */
