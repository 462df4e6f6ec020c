#define _GNU_SOURCE
#include "hostutil.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <ofagent_version.h>
#include <ofclient.h>
#include <ofhost.h>
#include <oflog.h>
#include <ofpcap.h>
#include <ofserver.h>
#include <ofsocket.h>

#define ERROR_DATA_MAX 256

const char *host_prog = "ofagent";
int host_log_level = OFLOG_ERRS;
int host_trace;

/* ---- Command line ------------------------------------------------------------------------ */

void host_usage_error(const char *fmt, ...) {
    va_list ap;
    fprintf(stderr, "%s: ", host_prog);
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fprintf(stderr, "\nTry '%s --help' for more information.\n", host_prog);
}

int host_parse_options(int argc, char **argv, const struct option *opts, host_option_fn fn,
                       void (*usage)(void), void (*version)(void)) {
    int c;
    opterr = 0; /* our own messages say why */
    while ((c = getopt_long(argc, argv, ":hV", opts, NULL)) != -1) {
        switch (c) {
            case 'L':
                if (host_parse_log_level("--log-level", optarg, &host_log_level) != 0)
                    return HOST_EXIT_USAGE;
                break;
            case 'T':
                host_trace = 1;
                break;
            case 'h':
                usage();
                return HOST_EXIT_OK;
            case 'V':
                version();
                return HOST_EXIT_OK;
            case ':':
                host_usage_error("%s needs a value", argv[optind - 1]);
                return HOST_EXIT_USAGE;
            case '?':
                host_usage_error("unknown option %s", argv[optind - 1]);
                return HOST_EXIT_USAGE;
            default:
                if (fn(c, optarg) != 0) return HOST_EXIT_USAGE;
        }
    }
    if (optind != argc) {
        host_usage_error("unexpected argument '%s'", argv[optind]);
        return HOST_EXIT_USAGE;
    }
    return -1;
}

int host_parse_endpoint(const char *opt, const char *text, uint32_t *ip, uint16_t *port) {
    char addr[INET_ADDRSTRLEN];
    const char *colon = strrchr(text, ':');
    struct in_addr in;
    uint32_t p;
    size_t n = colon ? (size_t)(colon - text) : 0;
    int ok = n > 0 && n < sizeof addr;
    if (ok) {
        memcpy(addr, text, n);
        addr[n] = '\0';
        ok = inet_pton(AF_INET, addr, &in) == 1;
    }
    if (!ok) {
        host_usage_error("%s: '%s' is not an IPv4 address and port (a.b.c.d:PORT)", opt, text);
        return -1;
    }
    if (host_parse_uint(opt, colon + 1, 0, 65535, &p) != 0) return -1;
    *ip = ntohl(in.s_addr);
    *port = (uint16_t)p;
    return 0;
}

int host_parse_uint(const char *opt, const char *text, uint32_t min, uint32_t max, uint32_t *out) {
    unsigned long long v;
    char *end = NULL;
    /* strtoull alone would take blanks, a sign and "-1" (as a huge number). */
    if (text[0] >= '0' && text[0] <= '9') {
        errno = 0;
        v = strtoull(text, &end, 10);
        if (errno == 0 && *end == '\0' && v >= min && v <= max) {
            *out = (uint32_t)v;
            return 0;
        }
    }
    host_usage_error("%s: '%s' is not a whole number from %u to %u", opt, text, (unsigned)min,
                     (unsigned)max);
    return -1;
}

int host_parse_dpid(const char *opt, const char *text, uint64_t *out) {
    const char *digits = text;
    size_t n;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits += 2;
    n = strlen(digits);
    if (n >= 1 && n <= 16 && strspn(digits, "0123456789abcdefABCDEF") == n) {
        *out = strtoull(digits, NULL, 16);
        return 0;
    }
    host_usage_error("%s: '%s' is not a datapath id (1 to 16 hexadecimal digits)", opt, text);
    return -1;
}

int host_parse_log_level(const char *opt, const char *text, int *out) {
    static const struct {
        const char *name;
        int level;
    } levels[] = {{"err", OFLOG_ERRS}, {"info", OFLOG_INFO}, {"debug", OFLOG_DBUG}};
    size_t i;
    for (i = 0; i < sizeof levels / sizeof levels[0]; i++) {
        if (strcmp(text, levels[i].name) == 0) {
            *out = levels[i].level;
            return 0;
        }
    }
    host_usage_error("%s: '%s' is not a log level (err, info or debug)", opt, text);
    return -1;
}

void host_print_version(void) {
    printf("%s (ofagent) %s\nOpenFlow 1.3 (wire version 0x%02x)\n", host_prog,
           OFAGENT_VERSION_STRING, OFP_VERSION);
}

static int check_file(const char *what, const char *path, const char *mode) {
    FILE *f = fopen(path, mode);
    if (!f) {
        fprintf(stderr, "%s: cannot %s %s %s: %s\n", host_prog, mode[0] == 'r' ? "read" : "write",
                what, path, strerror(errno));
        return -1;
    }
    fclose(f);
    return 0;
}

int host_check_writable(const char *what, const char *path) {
    return check_file(what, path, "a");
}

int host_check_readable(const char *what, const char *path) {
    return check_file(what, path, "r");
}

/* ---- Console ----------------------------------------------------------------------------- */

/* Room for the library's longest line (its 8192-byte buffer) after the timestamp. */
static char console_line[8192 + 64];

/* "2024-05-01T12:34:56.789Z " at the start of console_line; returns its length. */
static size_t stamp(void) {
    struct timespec ts;
    struct tm tm;
    size_t n;
    clock_gettime(CLOCK_REALTIME, &ts);
    gmtime_r(&ts.tv_sec, &tm);
    n = strftime(console_line, sizeof console_line, "%Y-%m-%dT%H:%M:%S", &tm);
    n += (size_t)snprintf(console_line + n, sizeof console_line - n, ".%03dZ ",
                          (int)(ts.tv_nsec / 1000000));
    return n;
}

/* Ends the line at its last visible character and writes it with one call. */
static void put_line(FILE *out, size_t len) {
    while (len > 0 && (console_line[len - 1] == '\n' || console_line[len - 1] == ' '))
        len--;
    console_line[len++] = '\n';
    fwrite(console_line, 1, len, out);
}

void host_say(const char *fmt, ...) {
    va_list ap;
    size_t n = stamp();
    int k;
    va_start(ap, fmt);
    k = vsnprintf(console_line + n, sizeof console_line - n - 1, fmt, ap);
    va_end(ap);
    if (k < 0) return;
    n += (size_t)k < sizeof console_line - n - 1 ? (size_t)k : sizeof console_line - n - 2;
    put_line(stdout, n);
}

void host_log_sink(int level, const char *line) {
    size_t n, k;
    /* The library logs an empty non-blocking read ("socket read failed", EAGAIN, after a
     * header-only message) at ERRS level; it is no fault, so it shows at debug level only. */
    if (level == OFLOG_ERRS && strstr(line, "> socket read failed")) level = OFLOG_DBUG;
    if (level > host_log_level) return;
    n = stamp();
    k = strnlen(line, sizeof console_line - n - 1);
    memcpy(console_line + n, line, k);
    put_line(stderr, n + k);
}

void host_print_message(const char *peer, const char *dir, const uint8_t *bytes, const void *body) {
    if (host_trace) host_say("%s %s %s", peer, dir, ofmsg_print(bytes, body));
}

/* ---- Messages ---------------------------------------------------------------------------- */

void host_put16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

void host_put32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

uint16_t host_get16(const uint8_t *p) {
    return (uint16_t)((p[0] << 8) | p[1]);
}

uint32_t host_get32(const uint8_t *p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

uint8_t *host_raw_message(uint8_t type, uint32_t xid, const void *body, size_t body_len,
                          uint32_t *out_len) {
    uint8_t *msg;
    if (body_len > 65535 - OFP_HEADER_LEN) return NULL;
    msg = calloc(1, OFP_HEADER_LEN + body_len);
    if (!msg) return NULL;
    msg[0] = OFP_VERSION;
    msg[1] = type;
    host_put16(msg + 2, (uint16_t)(OFP_HEADER_LEN + body_len));
    host_put32(msg + 4, xid);
    if (body && body_len) memcpy(msg + OFP_HEADER_LEN, body, body_len);
    *out_len = (uint32_t)(OFP_HEADER_LEN + body_len);
    return msg;
}

void host_free_body(uint8_t type, void *body) {
    ofmsg_multipart_reply *reply = body;
    if (type == OFPT_MULTIPART_REPLY && reply && reply->type == OFPMP_FLOW && reply->body) {
        /* The release of a flow-statistics reply leaves each entry's match and instructions
         * to their holder (an agent lends its flow table's records to the encoder); a decoded
         * reply is their only holder. */
        ofmsg_flow_stats_reply *list = reply->body;
        uint32_t i;
        for (i = 0; i < list->num_flows; i++) {
            ofmsg_flow_stat *st = list->flow_stats[i];
            if (st->match) ofmsg_flow_match_free(st->match);
            if (st->instructions) ofmsg_flow_instructions_free(st->instructions);
            st->match = NULL;
            st->instructions = NULL;
        }
    }
    ofmsg_free(type, body);
}

uint64_t host_now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)(ts.tv_nsec / 1000000);
}

/* ---- Version negotiation ----------------------------------------------------------------- */

int32_t host_msg_len(const uint8_t *hdr) {
    if (hdr[0] != OFP_VERSION && hdr[1] == OFPT_HELLO) {
        uint16_t len = host_get16(hdr + 2);
        return len >= OFP_HEADER_LEN ? len : -1;
    }
    return ofmsg_payload_len(hdr);
}

int host_hello_negotiate(const uint8_t *hello, uint32_t len, char *why, size_t why_size) {
    uint32_t off = OFP_HEADER_LEN, bitmap = 0;
    int has_bitmap = 0;
    /* Elements are padded to 8 bytes; types other than the version bitmap are ignored. */
    while (off + 4 <= len) {
        uint16_t type = host_get16(hello + off), elem_len = host_get16(hello + off + 2);
        if (elem_len < 4 || elem_len > len - off) {
            snprintf(why, why_size, "malformed hello element at offset %u", (unsigned)off);
            return 0;
        }
        if (type == HOST_OFPHET_VERSIONBITMAP && !has_bitmap && elem_len >= 8) {
            has_bitmap = 1;
            bitmap = host_get32(hello + off + 4);
        }
        off += (elem_len + 7u) & ~7u;
    }
    if (has_bitmap ? (bitmap >> OFP_VERSION) & 1 : hello[0] >= OFP_VERSION) return 1;
    if (has_bitmap)
        snprintf(why, why_size,
                 "we support version 0x%02x (OpenFlow 1.3) only, the peer's version bitmap "
                 "0x%08x lacks it",
                 OFP_VERSION, (unsigned)bitmap);
    else
        snprintf(why, why_size,
                 "we support version 0x%02x (OpenFlow 1.3) only, the peer supports version "
                 "0x%02x",
                 OFP_VERSION, hello[0]);
    return 0;
}

/* ---- Peers ------------------------------------------------------------------------------- */

static host_peer *peers;
static uint32_t reap_timer;

host_peer *host_peer_new(size_t size, ofconn *conn, int outbound, const char *name) {
    host_peer *p = calloc(1, size < sizeof *p ? sizeof *p : size);
    if (!p) return NULL;
    p->conn = conn;
    p->outbound = outbound;
    snprintf(p->name, sizeof p->name, "%s", name);
    p->last_rx_ms = p->last_echo_ms = host_now_ms();
    p->next = peers;
    peers = p;
    return p;
}

void host_peers_release(void) {
    host_peer **link = &peers, *p;
    if (reap_timer) ofhost_timer_cancel(reap_timer);
    reap_timer = 0;
    while ((p = *link) != NULL) {
        if (p->conn) {
            link = &p->next;
        } else {
            *link = p->next;
            free(p);
        }
    }
}

static void reap(void *arg) {
    (void)arg;
    reap_timer = 0;
    host_peers_release();
}

void host_peer_gone(host_peer *p) {
    p->conn = NULL;
    if (!reap_timer) reap_timer = ofhost_timer_add(0, 0, reap, NULL);
}

void host_peer_send(host_peer *p, const uint8_t *bytes, uint32_t len, const void *body) {
    if (!p || !p->conn) return;
    host_print_message(p->name, "->", bytes, body);
    host_trace_message(p->conn, 1, bytes, len);
    if (p->outbound)
        ofclient_send((ofclient_server *)p->conn, bytes, len);
    else
        ofserver_send((ofserver_client *)p->conn, bytes, len);
}

int host_peer_send_encoded(host_peer *p, uint8_t type, const void *body, uint32_t xid) {
    uint8_t *buf = NULL;
    uint32_t len = 0;
    if (!p || !p->conn) return -1;
    if (ofmsg_tx_encode(type, body, xid, &buf, &len) != 0) {
        host_say("%s: cannot encode %s", p->name, ofmsg_ofp_type_to_string(type));
        return -1;
    }
    host_peer_send(p, buf, len, body);
    free(buf);
    return 0;
}

void host_peer_send_raw(host_peer *p, uint8_t type, uint32_t xid, const void *body,
                        size_t body_len) {
    uint32_t len = 0;
    uint8_t *buf = host_raw_message(type, xid, body, body_len, &len);
    if (!buf) return;
    host_peer_send(p, buf, len, NULL);
    free(buf);
}

void host_peer_send_error(host_peer *p, uint16_t type, uint16_t code, const uint8_t *msg,
                          uint32_t len) {
    ofmsg_error err;
    memset(&err, 0, sizeof err);
    err.type = type;
    err.code = code;
    err.data_len = len < ERROR_DATA_MAX ? len : ERROR_DATA_MAX;
    err.data = (uint8_t *)msg;
    host_peer_send_encoded(p, OFPT_ERROR, &err,
                           msg && len >= OFP_HEADER_LEN ? host_get32(msg + 4) : 0);
}

void host_peer_send_hello(host_peer *p) {
    static const uint8_t bitmap[8] = {0, HOST_OFPHET_VERSIONBITMAP, 0, 8, 0, 0,
                                      0, 1u << OFP_VERSION};
    host_peer_send_raw(p, OFPT_HELLO, (uint32_t)ofmsg_generate_xid(), bitmap, sizeof bitmap);
}

void host_peer_disconnect(host_peer *p) {
    if (!p->conn) return;
    if (p->outbound)
        ofclient_disconnect((ofclient_server *)p->conn);
    else
        ofserver_disconnect_client((ofserver_client *)p->conn);
}

/* OFPT_ERROR HELLO_FAILED/INCOMPATIBLE with the reason as its text, then the end of the
 * connection. The error goes in the peer's version when that is lower, as a peer can read
 * only its own (Open vSwitch answers the same way). */
static void refuse_hello(host_peer *p, const uint8_t *hello, const char *why) {
    uint8_t body[4 + 160] = {0};
    size_t text_len = strlen(why) < sizeof body - 4 ? strlen(why) : sizeof body - 4;
    uint32_t len = 0;
    uint8_t *msg;
    host_put16(body, OFPET_HELLO_FAILED);
    host_put16(body + 2, OFPHFC_INCOMPATIBLE);
    memcpy(body + 4, why, text_len);
    msg = host_raw_message(OFPT_ERROR, host_get32(hello + 4), body, 4 + text_len, &len);
    host_say("%s: version negotiation failed: %s", p->name, why);
    if (msg) {
        if (hello[0] < OFP_VERSION) msg[0] = hello[0];
        host_peer_send(p, msg, len, NULL);
        free(msg);
    }
    host_peer_disconnect(p);
}

int host_peer_receive(host_peer *p, const uint8_t *bytes, uint32_t len) {
    char why[128];
    uint8_t *reply;
    p->last_rx_ms = host_now_ms();
    host_trace_message(p->conn, 0, bytes, len);
    switch (bytes[1]) {
        case OFPT_HELLO:
            host_print_message(p->name, "<-", bytes, NULL);
            if (host_hello_negotiate(bytes, len, why, sizeof why))
                p->negotiated = 1;
            else
                refuse_hello(p, bytes, why);
            return 1;
        case OFPT_ECHO_REQUEST:
            if (len == 24) return 0; /* the codec's form */
            host_print_message(p->name, "<-", bytes, NULL);
            if ((reply = malloc(len)) != NULL) {
                memcpy(reply, bytes, len);
                reply[1] = OFPT_ECHO_REPLY;
                host_peer_send(p, reply, len, NULL);
                free(reply);
            }
            return 1;
        case OFPT_ECHO_REPLY:
            host_print_message(p->name, "<-", bytes, NULL); /* proof of life only */
            return 1;
        default:
            return 0;
    }
}

int32_t host_peer_decode(host_peer *p, const uint8_t *bytes, uint32_t len) {
    int32_t status;
    p->cur = bytes;
    p->cur_len = len;
    status = ofmsg_rx_decode(p, bytes, len);
    p->cur = NULL;
    p->cur_len = 0;
    return status;
}

void host_on_echo_request(void *body, ofmsg *msg) {
    host_peer *p = msg->ctx;
    host_print_message(p->name, "<-", p->cur, body);
    host_peer_send_encoded(p, OFPT_ECHO_REPLY, body, msg->xid);
    ofmsg_free(OFPT_ECHO_REQUEST, body);
}

/* ---- --pcap ------------------------------------------------------------------------------ */

static ofpcap *trace;

int host_trace_open(const char *path) {
    trace = ofpcap_open(path);
    if (!trace) {
        fprintf(stderr, "%s: cannot write the capture %s: %s\n", host_prog, path, strerror(errno));
        return -1;
    }
    return 0;
}

static int endpoint_of(int fd, int peer, uint32_t *ip, uint16_t *port) {
    struct sockaddr_in sin;
    socklen_t len = sizeof sin;
    int rc = peer ? getpeername(fd, (struct sockaddr *)&sin, &len)
                  : getsockname(fd, (struct sockaddr *)&sin, &len);
    if (rc != 0 || sin.sin_family != AF_INET) return -1;
    *ip = ntohl(sin.sin_addr.s_addr);
    *port = ntohs(sin.sin_port);
    return 0;
}

void host_trace_message(ofconn *conn, int outgoing, const uint8_t *bytes, uint32_t len) {
    uint32_t local_ip, peer_ip;
    uint16_t local_port, peer_port;
    int fd;
    if (!trace || !conn || !conn->sock) return;
    fd = ofsocket_get_socket_fd(conn->sock);
    if (fd < 0 || endpoint_of(fd, 0, &local_ip, &local_port) != 0 ||
        endpoint_of(fd, 1, &peer_ip, &peer_port) != 0)
        return;
    /* The client manager's connections are ours to open; the server manager's, the peer's. */
    if (conn->type == OFCONN_TYPE_CLIENT)
        ofpcap_connect(trace, local_ip, local_port, peer_ip, peer_port);
    else
        ofpcap_connect(trace, peer_ip, peer_port, local_ip, local_port);
    if (outgoing)
        ofpcap_write(trace, local_ip, local_port, peer_ip, peer_port, bytes, len);
    else
        ofpcap_write(trace, peer_ip, peer_port, local_ip, local_port, bytes, len);
}

void host_trace_close(void) {
    ofpcap_close(trace);
    trace = NULL;
}
