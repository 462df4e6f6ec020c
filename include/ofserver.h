/*
 * Server connection manager: listens on one IPv4 address and port, accepts plain TCP
 * clients, keeps them in a list and reports them to the host through the callbacks of its
 * ofconn_registration.
 */
#ifndef OFSERVER_H
#define OFSERVER_H

#include <stdint.h>

#include "ofagent_export.h"
#include "ofconn.h"
#include "ofplatform.h"

OFAGENT_BEGIN_DECLS

typedef struct ofserver_client {
    ofconn conn;        /* first: a pointer to the record is a pointer to its ofconn */
    void *opaque_data;  /* the host's own pointer */
    uint32_t client_ip; /* host byte order */
} ofserver_client;

typedef struct ofserver_instance {
    oflist *ofclient_list; /* the accepted clients */
    ofsocket *ofs_ctx;     /* the listening socket, null while stopped */
    ofconn_event_cb event_cb;
    ofconn_rx_cb rx_cb;
    ofconn_cfg conn_cfg;
} ofserver_instance;

extern OFAGENT_API ofserver_instance ofserver_local_inst;

/* Clears the instance, copies the registration, creates the client list and returns it. */
OFAGENT_API oflist *ofserver_register(const ofconn_registration *reg);
/* ip and port in host byte order (ip 0: every interface). 0 when listening, -1 on failure,
 * after which the server can be started again. */
OFAGENT_API int ofserver_start(uint32_t ip, uint16_t port);
/* Destroys every client (each one is reported down once, also when called from inside a
 * client's callback) and closes the listening socket. */
OFAGENT_API void ofserver_stop(void);
/* 1 when everything queued was written, else 0. */
OFAGENT_API int ofserver_send(ofserver_client *client, const uint8_t *bytes, uint32_t length);
/* event_cb hears OFCONN_CONNECTION_DOWN and the record is freed. */
OFAGENT_API void ofserver_disconnect_client(ofserver_client *client);
/* "a.b.c.d:port" in the static text of ofsocket_print_addr. */
OFAGENT_API char *ofserver_get_client_name(ofserver_client *client);
OFAGENT_API int32_t ofserver_dispatch_rx_msg(ofconn *conn, const uint8_t *bytes, int32_t length);
OFAGENT_API void ofserver_handle_connection_down_event(ofconn *conn);
OFAGENT_API void *ofserver_get_client_opaque_data(ofserver_client *client);
OFAGENT_API void ofserver_set_client_opaque_data(ofserver_client *client, void *data);

OFAGENT_END_DECLS

#endif /* OFSERVER_H */
