/*
 * What both example hosts need around the library: the command line and console (timestamped
 * status lines, the library's log sink with its level, the --trace of every message), OpenFlow
 * version negotiation and the length function that allows it, their peers (sending, the
 * answers every OpenFlow 1.3 speaker gives, release after the connection is gone) and the
 * --pcap trace.
 */
#ifndef HOSTUTIL_H
#define HOSTUTIL_H

#include <getopt.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include <ofconn.h>
#include <ofmsg.h>

#if defined(__GNUC__) || defined(__clang__)
#define HOST_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define HOST_PRINTF(fmt, args)
#endif

/* OpenFlow constants the codec's header does not name. */
#define HOST_OFPP_IN_PORT 0xfffffff8u
#define HOST_OFPP_FLOOD 0xfffffffbu
#define HOST_OFPP_ALL 0xfffffffcu
#define HOST_OFPP_CONTROLLER 0xfffffffdu
#define HOST_OFPP_LOCAL 0xfffffffeu
#define HOST_OFPP_ANY 0xffffffffu
#define HOST_OFPP_MAX 0xffffff00u
#define HOST_OFPG_ANY 0xffffffffu
#define HOST_OFP_NO_BUFFER 0xffffffffu
#define HOST_OFPCML_NO_BUFFER 0xffffu
#define HOST_OFPFF_SEND_FLOW_REM 0x0001u
#define HOST_OFPMPF_REPLY_MORE 0x0001u
#define HOST_OFPTT_ALL 0xffu
#define HOST_OFPR_ACTION 1
#define HOST_OFPHET_VERSIONBITMAP 1

/* Exit statuses of both programs. */
#define HOST_EXIT_OK 0
#define HOST_EXIT_START 1 /* start-up failed: a port in use, a file that cannot be read... */
#define HOST_EXIT_USAGE 2 /* the command line is invalid */

/* ---- Command line -------------------------------------------------------------------------
 * Each parser says on stderr which option is wrong and why, and returns -1. */
extern const char *host_prog; /* the program's name, for messages */
/* The options both programs take, to end a program's getopt_long table with. */
/* clang-format off */
#define HOST_SHARED_OPTIONS                                                                     \
    {"log-level", required_argument, NULL, 'L'}, {"trace", no_argument, NULL, 'T'},           \
    {"help", no_argument, NULL, 'h'}, {"version", no_argument, NULL, 'V'}, {NULL, 0, NULL, 0}
/* clang-format on */
/* The program's own options: 0 when taken, -1 when refused (after saying why). */
typedef int (*host_option_fn)(int code, const char *arg);
/* Runs getopt_long over the command line: the shared options here (--help and --version call
 * usage and version), the rest through fn; an unknown option, a missing value or a stray
 * argument is refused. -1 when the program is to run, else its exit status. */
int host_parse_options(int argc, char **argv, const struct option *opts, host_option_fn fn,
                       void (*usage)(void), void (*version)(void));
/* "a.b.c.d:port" to host-order address and port. */
int host_parse_endpoint(const char *opt, const char *text, uint32_t *ip, uint16_t *port);
/* A decimal number in [min, max]. */
int host_parse_uint(const char *opt, const char *text, uint32_t min, uint32_t max, uint32_t *out);
/* 1 to 16 hexadecimal digits, an optional 0x first. */
int host_parse_dpid(const char *opt, const char *text, uint64_t *out);
/* err, info or debug, as the library's level number. */
int host_parse_log_level(const char *opt, const char *text, int *out);
/* Reports a command-line error like the parsers do (then exit with HOST_EXIT_USAGE). */
void host_usage_error(const char *fmt, ...) HOST_PRINTF(1, 2);
/* The --version text on stdout. */
void host_print_version(void);
/* Start-up checks that name the reason: a file that will be appended to (the --log file, whose
 * directory must exist) and a file that must be readable. 0 when fine. */
int host_check_writable(const char *what, const char *path);
int host_check_readable(const char *what, const char *path);

/* ---- Console ------------------------------------------------------------------------------
 * Every console line starts with an ISO 8601 UTC timestamp. Status lines (connections, flows,
 * refusals) always go to stdout; the library's log lines go to stderr up to host_log_level
 * (the library never filters, so its sink does); every message sent and received is printed
 * only with host_trace (--trace). */
extern int host_log_level; /* OFLOG_ERRS (default), OFLOG_INFO or OFLOG_DBUG */
extern int host_trace;
void host_say(const char *fmt, ...) HOST_PRINTF(1, 2);
void host_log_sink(int level, const char *line);
/* One message as the codec's one-line text with the peer and a direction ("->" sent, "<-"
 * received); body is its decoded record or null. Only with --trace. */
void host_print_message(const char *peer, const char *dir, const uint8_t *bytes, const void *body);

/* ---- Messages -----------------------------------------------------------------------------*/
void host_put16(uint8_t *p, uint16_t v);
void host_put32(uint8_t *p, uint32_t v);
uint16_t host_get16(const uint8_t *p);
uint32_t host_get32(const uint8_t *p);
/* One malloc'd message: the 8-byte header (version 4, type, length, xid) followed by body_len
 * bytes of body (copied when body is not null, else zero). Null when memory is exhausted or
 * the message would not fit the 16-bit length. */
uint8_t *host_raw_message(uint8_t type, uint32_t xid, const void *body, size_t body_len,
                          uint32_t *out_len);
/* Releases a decoded body record like ofmsg_free, and also what ofmsg_free leaves to the
 * holder: the match and instructions of each entry of a flow-statistics reply. */
void host_free_body(uint8_t type, void *body);
uint64_t host_now_ms(void);

/* ---- Version negotiation ------------------------------------------------------------------
 * The codec refuses every header whose version is not 0x04, and its length function
 * ofmsg_payload_len with it, but a peer that speaks several versions opens with a HELLO of
 * its highest one. host_msg_len is the length function to register instead: it also frames
 * a HELLO of any version, so that the host can negotiate (OpenFlow 1.3.x, 6.3.1): a version
 * bitmap that includes 1.3, or no bitmap and a version of 1.3 or above, means 1.3. */
int32_t host_msg_len(const uint8_t *hdr);
/* 1 when the HELLO (any version) leaves 1.3 to speak; else 0 with the reason in why. */
int host_hello_negotiate(const uint8_t *hello, uint32_t len, char *why, size_t why_size);

/* ---- Peers --------------------------------------------------------------------------------
 * One connection of a program. A host's record for a connection embeds host_peer first and is
 * allocated by host_peer_new. The record outlives its connection: host_peer_gone marks it and
 * a 0 ms timer frees it later, so code holding a peer stays safe when a send inside it brings
 * the connection down. */
typedef struct host_peer {
    ofconn *conn; /* null once the connection is gone */
    int outbound; /* 1: we connected (client manager), 0: an accepted client */
    char name[32];
    const uint8_t *cur; /* the message being decoded: valid during its callbacks */
    uint32_t cur_len;
    uint64_t last_rx_ms;
    uint64_t last_echo_ms;
    int negotiated;  /* the peer's hello was accepted */
    int established; /* the features exchange completed */
    struct host_peer *next;
} host_peer;

/* A zero-filled record of size bytes (at least sizeof(host_peer)) for conn, listed in the
 * peers; null when memory is exhausted. */
host_peer *host_peer_new(size_t size, ofconn *conn, int outbound, const char *name);
/* The connection is gone (its down event): later sends do nothing, the record is freed soon. */
void host_peer_gone(host_peer *p);
/* Frees every record whose connection is gone (all at shut-down, after the connections). */
void host_peers_release(void);
/* Prints (--trace), traces (--pcap) and sends one message; nothing once the peer is gone. */
void host_peer_send(host_peer *p, const uint8_t *bytes, uint32_t len, const void *body);
/* Encodes body with the codec and sends it; 0 on success. */
int host_peer_send_encoded(host_peer *p, uint8_t type, const void *body, uint32_t xid);
/* Sends a message the codec does not encode: the header, then body_len bytes of body. */
void host_peer_send_raw(host_peer *p, uint8_t type, uint32_t xid, const void *body,
                        size_t body_len);
/* OFPT_ERROR carrying the start of the offending message (its first 256 bytes). */
void host_peer_send_error(host_peer *p, uint16_t type, uint16_t code, const uint8_t *msg,
                          uint32_t len);
/* Our HELLO: version 0x04 with a version bitmap that offers 1.3 alone. */
void host_peer_send_hello(host_peer *p);
void host_peer_disconnect(host_peer *p);
/* What every OpenFlow 1.3 speaker answers before decoding, from the raw bytes: a HELLO is
 * negotiated (a failure is answered with OFPT_ERROR HELLO_FAILED/INCOMPATIBLE carrying the
 * reason, and the connection closed), an echo request of a length the codec does not decode
 * is echoed back, an echo reply is proof of life. Records the receive time and traces the
 * message. 1 when the message was handled here; else the caller decodes it with
 * host_peer_decode. */
int host_peer_receive(host_peer *p, const uint8_t *bytes, uint32_t len);
/* ofmsg_rx_decode with p as the context (the host's record, which embeds p first); cur and
 * cur_len name the message meanwhile. The codec's status. */
int32_t host_peer_decode(host_peer *p, const uint8_t *bytes, uint32_t len);
/* The receive callback for OFPT_ECHO_REQUEST (msg->ctx is the host_peer): the decoded
 * request, encoded as a reply with its xid, carries the same payload. */
void host_on_echo_request(void *body, ofmsg *msg);

/* ---- --pcap -------------------------------------------------------------------------------
 * Every message of every connection as TCP payload with the connection's real addresses; each
 * session opens with a handshake from the side that connected. Nothing while no file is open. */
int host_trace_open(const char *path);
void host_trace_message(ofconn *conn, int outgoing, const uint8_t *bytes, uint32_t len);
void host_trace_close(void);

#endif /* HOSTUTIL_H */
