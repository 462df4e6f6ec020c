/*
 * Socket wrapper: binds one descriptor to the host's descriptor dispatcher and routes its
 * readiness to one of four callbacks chosen by two flag bits. Also the logged forms of the
 * socket calls, a small table of socket options and the printable form of an IPv4 address.
 * Single-threaded: everything runs on the host's event thread.
 */
#ifndef OFSOCKET_H
#define OFSOCKET_H

#include <netinet/in.h>
#include <stdarg.h>
#include <stdint.h>
#include <sys/socket.h>

#include "ofagent_export.h"

OFAGENT_BEGIN_DECLS

/* Read readiness goes to accept_cb instead of recv_cb. */
#define OFSOCKET_FLAG_LISTEN 0x1u
/* Write readiness goes to connect_cb instead of write_cb. */
#define OFSOCKET_FLAG_CONNECTING 0x2u

/* Option codes of ofsocket_set_option (the library's own numbering). */
#define OFSOCKET_OPT_RCVBUF 0      /* one int */
#define OFSOCKET_OPT_SNDBUF 1      /* one int */
#define OFSOCKET_OPT_REUSEADDR 2   /* one int */
#define OFSOCKET_OPT_KEEPALIVE 3   /* one int */
#define OFSOCKET_OPT_NONBLOCK 4    /* one int, ignored: O_NONBLOCK is set */
#define OFSOCKET_OPT_TCP_NODELAY 5 /* one int */
#define OFSOCKET_OPT_LINGER 6      /* two ints: on/off and seconds */
#define OFSOCKET_OPT_BLOCK 7       /* one int, ignored: O_NONBLOCK is cleared */

/* Size of the text ofsocket_print_addr returns. */
#define OFSOCKET_ADDR_TEXT_SIZE 96

struct ofsocket;
/* A readiness callback; its result is ignored by the wrapper. */
typedef int (*ofsocket_cb)(struct ofsocket *sock);

typedef struct ofsocket {
    uint32_t flags;
    uint32_t disp_id;     /* dispatcher instance for every DispAddInput/DispRemoveInput */
    uint32_t read_input;  /* handle of the registered read interest, 0 when none */
    uint32_t write_input; /* handle of the registered write interest, 0 when none */
    int32_t socket_fd;    /* -1 when the socket holds no descriptor */
    ofsocket_cb recv_cb;
    ofsocket_cb accept_cb;
    ofsocket_cb write_cb;
    ofsocket_cb connect_cb;
    struct sockaddr *addr; /* owned by the record, freed with it */
    socklen_t addr_len;
    void *data; /* back pointer for the callbacks */
} ofsocket;

/* The dispatcher instance that newly allocated sockets take (0 until set). */
extern OFAGENT_API uint32_t g_disp_id;

OFAGENT_API void ofsocket_set_dispatcher_id(uint32_t id);
/* The functions handed to DispAddInput; data is the ofsocket. */
OFAGENT_API void ofsocket_rdispatch_cb(void *sock, int fd);
OFAGENT_API void ofsocket_wdispatch_cb(void *sock, int fd);
OFAGENT_API void ofsocket_enable_read_internal(ofsocket *sock);
OFAGENT_API void ofsocket_enable_write_internal(ofsocket *sock);
OFAGENT_API void ofsocket_disable_read_internal(ofsocket *sock);
OFAGENT_API void ofsocket_disable_write_internal(ofsocket *sock);

/* Attaches fd (set callbacks and flags first): registers the interests whose callbacks are
 * present and removes the others. */
OFAGENT_API void ofsocket_set_socket(ofsocket *sock, int fd);
/* Removes the interests, forgets the descriptor (without closing it), clears both routing
 * flags and all four callbacks. */
OFAGENT_API void ofsocket_reset_socket(ofsocket *sock);
OFAGENT_API void ofsocket_disable_receive(ofsocket *sock);
OFAGENT_API void ofsocket_disable_write(ofsocket *sock);
OFAGENT_API void ofsocket_reenable_receive(ofsocket *sock);
OFAGENT_API void ofsocket_reenable_write(ofsocket *sock);

/* Logged socket calls: 0 or a descriptor on success, -1 with errno set on failure. */
OFAGENT_API int ofsocket_open_socket(int domain, int type, int protocol);
OFAGENT_API int ofsocket_bind(ofsocket *sock);
/* -1 with errno EINPROGRESS while a non-blocking connect is under way. */
OFAGENT_API int ofsocket_connect(ofsocket *sock);
OFAGENT_API int ofsocket_listen(ofsocket *sock, int backlog);
/* On success *addr_out receives a malloc'd address (the caller frees it) and *len_out its
 * length; on failure both are left untouched. */
OFAGENT_API int ofsocket_accept(ofsocket *sock, struct sockaddr **addr_out, socklen_t *len_out);
/* Resets the socket, then closes its former descriptor (retrying on EINTR). */
OFAGENT_API void ofsocket_close(ofsocket *sock);

/* code is an OFSOCKET_OPT_ value; returns >= 0 on success, negative on failure. A null
 * socket or one without descriptor gives -1 silently. */
OFAGENT_API int ofsocket_set_option(ofsocket *sock, int code, ...);
OFAGENT_API int ofsocket_set_option_internal(ofsocket *sock, int code, va_list args);
/* getsockopt at SOL_SOCKET with the platform's own option number. */
OFAGENT_API int ofsocket_get_option(ofsocket *sock, int optname, void *optval, socklen_t *optlen);
/* Keep-alive on, 30 s idle, 10 s between probes, 5 probes. */
OFAGENT_API void ofsocket_set_tcp_keep_alive(ofsocket *sock);

/* Zero-filled record with no descriptor; null when memory is exhausted. */
OFAGENT_API ofsocket *ofsocket_alloc(void);
/* Closes the descriptor if one is held, frees addr and the record. Null is ignored. */
OFAGENT_API void ofsocket_free(ofsocket *sock);
OFAGENT_API void ofsocket_set_recv(ofsocket *sock, ofsocket_cb cb);
OFAGENT_API void ofsocket_set_accept(ofsocket *sock, ofsocket_cb cb);
OFAGENT_API void ofsocket_set_write(ofsocket *sock, ofsocket_cb cb);
OFAGENT_API void ofsocket_set_connect(ofsocket *sock, ofsocket_cb cb);
OFAGENT_API void ofsocket_set_flag(ofsocket *sock, uint32_t bits);
OFAGENT_API void ofsocket_reset_flag(ofsocket *sock, uint32_t bits);
OFAGENT_API int ofsocket_get_socket_fd(ofsocket *sock);
/* Takes ownership of a malloc'd address; addr_len is left as it is. */
OFAGENT_API void ofsocket_set_addr(ofsocket *sock, struct sockaddr *addr);
OFAGENT_API struct sockaddr *ofsocket_get_addr(ofsocket *sock);
OFAGENT_API void ofsocket_set_data(ofsocket *sock, void *data);
OFAGENT_API void *ofsocket_get_data(ofsocket *sock);
/* port and ip in network byte order. Stores a new address in addr (a previous one is not
 * freed), sets addr_len to 16 and returns it; null when memory is exhausted. */
OFAGENT_API struct sockaddr_in *ofsocket_create_sockaddr_in(ofsocket *sock, uint16_t port,
                                                            uint32_t ip);
/* "a.b.c.d:port" of an IPv4 address, "null" for a null or non-IPv4 address. The text lives
 * in one static buffer, overwritten by the next call. */
OFAGENT_API char *ofsocket_print_addr(const struct sockaddr *addr);

OFAGENT_END_DECLS

#endif /* OFSOCKET_H */
