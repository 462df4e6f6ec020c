/*
 * Connection input and output: frames a socket's byte stream into whole messages (header
 * first, then the length the header announces), queues outgoing messages while the socket is
 * full, and runs the small event machine that sets a connection up and tears it down.
 * Nothing here knows OpenFlow: the framing comes from ofconn_cfg.
 */
#ifndef OFCONN_H
#define OFCONN_H

#include <stdint.h>

#include "ofagent_export.h"
#include "ofplatform.h"
#include "ofsocket.h"

OFAGENT_BEGIN_DECLS

/* wolfSSL's connection object; created and owned by the host. */
struct WOLFSSL;

#define OFCONN_TYPE_CLIENT 0
#define OFCONN_TYPE_SERVER 1

/* Connection events. */
#define OFCONN_CONNECTION_UP 0
#define OFCONN_CONNECTION_DOWN 1
#define OFCONN_BLOCKED_ON_WRITE 2
#define OFCONN_CONNECTION_DESTROY 3

/* Total message length (header included) read from hdr_len header bytes; -1 if the header is
 * not acceptable. ofmsg_payload_len meets this contract. */
typedef int32_t (*ofconn_msg_len_fn)(const uint8_t *hdr);

typedef struct ofconn_cfg {
    uint32_t hdr_len;          /* bytes read before the length is asked for */
    uint32_t rx_buf_size;      /* receive buffer capacity: the largest message accepted */
    ofconn_msg_len_fn msg_len; /* total length of a message from its header */
} ofconn_cfg;

/* One heap block: this header, then size bytes of data. */
typedef struct ofbuf {
    embq link;               /* queue link of a send buffer; first, the queue returns it */
    uint8_t reading_hdr;     /* receive: 1 while the header is read */
    uint32_t read_size;      /* receive: bytes of the current message held */
    uint8_t *read_ptr;       /* receive: data + read_size */
    uint32_t rem_write_size; /* send: bytes not yet written */
    uint8_t *write_ptr;      /* send: first byte not yet written */
    uint32_t size;           /* capacity of data */
    uint8_t data[];
} ofbuf;

typedef struct ofconn {
    ofsocket *sock;        /* its data points back to this record */
    uint32_t type;         /* OFCONN_TYPE_CLIENT or OFCONN_TYPE_SERVER */
    ofbuf *rx_buf;         /* null until OFCONN_CONNECTION_UP and after teardown */
    embq tx_queue;         /* send buffers, oldest first */
    uint32_t tx_queue_len; /* buffers in tx_queue */
    struct WOLFSSL *ssl;   /* null for plain TCP; never freed here */
    ofconn_cfg cfg;
} ofconn;

/* What the host hands a connection manager: its two callbacks and the framing. The
 * connection pointer is the manager's record (ofclient_server or ofserver_client), whose first
 * member is the ofconn. */
typedef void (*ofconn_event_cb)(ofconn *conn, uint32_t event);
typedef int32_t (*ofconn_rx_cb)(ofconn *conn, const uint8_t *bytes, int32_t length);

typedef struct ofconn_registration {
    ofconn_event_cb event_cb; /* OFCONN_CONNECTION_UP / OFCONN_CONNECTION_DOWN */
    ofconn_rx_cb rx_cb;       /* one complete message; bytes valid only during the call */
    ofconn_cfg conn_cfg;
} ofconn_registration;

/* Copies *cfg, stores type, sock and ssl, and points sock's data at conn. Without TLS
 * support in the build, ssl must be null. */
OFAGENT_API void ofconn_init(ofconn *conn, uint32_t type, const ofconn_cfg *cfg, ofsocket *sock,
                             struct WOLFSSL *ssl);
/* The event machine. OFCONN_CONNECTION_DOWN/DESTROY free the connection (through its
 * manager) before returning, unless the connection's receive callback is running: then the
 * socket is closed at once and the rest waits until that callback has returned. A connection
 * ends once: raised again while it is ending (from inside its down callback, say), they do
 * nothing. */
OFAGENT_API void ofconn_event_handler(ofconn *conn, uint32_t event);
/* Queues a copy of the message and writes what the socket takes: 1 when the queue was
 * written out, 0 when writing is pending or failed (the connection may be gone then). On a
 * connection that is ending, drops the message and returns 0. */
OFAGENT_API int ofconn_send(ofconn *conn, const uint8_t *bytes, uint32_t length);
/* The socket's write callback: removes write interest and resumes sending. */
OFAGENT_API int ofconn_send_wakeup(ofsocket *sock);
/* The socket's receive callback. */
OFAGENT_API int ofconn_recv(ofsocket *sock);

OFAGENT_END_DECLS

#endif /* OFCONN_H */
