/*
 * Pieces both example hosts need around the library: endpoint parsing, raw OpenFlow messages
 * for the types the codec does not encode, a signal self-pipe on the dispatcher, the --pcap
 * trace of a connection and the library's log sink.
 */
#ifndef HOSTUTIL_H
#define HOSTUTIL_H

#include <stddef.h>
#include <stdint.h>

#include <ofconn.h>

/* OpenFlow constants the codec's header does not name. */
#define HOST_OFPP_CONTROLLER 0xfffffffdu
#define HOST_OFPP_LOCAL 0xfffffffeu
#define HOST_OFPP_ANY 0xffffffffu
#define HOST_OFPG_ANY 0xffffffffu
#define HOST_OFP_NO_BUFFER 0xffffffffu
#define HOST_OFPCML_NO_BUFFER 0xffffu
#define HOST_OFPFF_SEND_FLOW_REM 0x0001u
#define HOST_OFPMPF_REPLY_MORE 0x0001u
#define HOST_OFPTT_ALL 0xffu

/* "a.b.c.d:port" to host-order address and port; 0 on success, -1 (with a message on stderr)
 * for anything else. */
int host_parse_endpoint(const char *text, uint32_t *ip, uint16_t *port);

/* Big-endian stores and loads for building and reading raw messages. */
void host_put16(uint8_t *p, uint16_t v);
void host_put32(uint8_t *p, uint32_t v);
uint16_t host_get16(const uint8_t *p);
uint32_t host_get32(const uint8_t *p);

/* One malloc'd message: the 8-byte header (version 4, type, length, xid) followed by body_len
 * bytes of body (copied when body is not null, else zero). Null when memory is exhausted or the
 * message would not fit the 16-bit length. */
uint8_t *host_raw_message(uint8_t type, uint32_t xid, const void *body, size_t body_len,
                          uint32_t *out_len);

/* SIGINT, SIGTERM and SIGUSR1 are turned into bytes on a pipe watched by the dispatcher, so
 * handlers run on the event thread between callbacks; SIGPIPE is ignored. 0 on success. */
typedef void (*host_signal_fn)(int signo);
int host_signals_install(host_signal_fn fn);
void host_signals_remove(void);

/* --pcap: every message of every connection, written as TCP payload with the connection's
 * real addresses (taken from its descriptor). All calls do nothing while no file is open. */
int host_trace_open(const char *path);
void host_trace_message(ofconn *conn, int outgoing, const uint8_t *bytes, uint32_t len);
void host_trace_close(void);

/* Milliseconds on CLOCK_MONOTONIC. */
uint64_t host_now_ms(void);

/* The library's log sink: lines go to stderr when verbose is set (--verbose). */
void host_log_sink(int level, const char *line);
extern int host_verbose;

/* Releases a decoded body record like ofmsg_free, and also what ofmsg_free leaves to the
 * holder: the match and instructions of each entry of a flow-statistics reply. */
void host_free_body(uint8_t type, void *body);

/* Prints one message as the codec's one-line text with a direction tag and the peer name.
 * body is the decoded record or null (the header is then printed alone). */
void host_print_message(const char *peer, const char *dir, const uint8_t *bytes, const void *body);

#endif /* HOSTUTIL_H */
