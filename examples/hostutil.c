#define _GNU_SOURCE
#include "hostutil.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <ofmsg.h>
#include <ofpcap.h>
#include <ofplatform.h>
#include <ofsocket.h>

int host_verbose;

int host_parse_endpoint(const char *text, uint32_t *ip, uint16_t *port) {
    char addr[INET_ADDRSTRLEN];
    const char *colon = strrchr(text, ':');
    struct in_addr in;
    char *end = NULL;
    unsigned long p;
    size_t n;

    if (!colon || colon == text) goto bad;
    n = (size_t)(colon - text);
    if (n >= sizeof addr) goto bad;
    memcpy(addr, text, n);
    addr[n] = '\0';
    if (inet_pton(AF_INET, addr, &in) != 1) goto bad;
    errno = 0;
    p = strtoul(colon + 1, &end, 10);
    if (errno || !end || *end || end == colon + 1 || p > 65535) goto bad;
    *ip = ntohl(in.s_addr);
    *port = (uint16_t)p;
    return 0;
bad:
    fprintf(stderr, "not an IPv4 endpoint (a.b.c.d:port): %s\n", text);
    return -1;
}

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

/* ---- Signals -------------------------------------------------------------------------- */

static int signal_pipe[2] = {-1, -1};
static host_signal_fn signal_fn;

static void on_signal(int signo) {
    int saved = errno;
    uint8_t b = (uint8_t)signo;
    /* A full pipe already holds a wake-up; losing this byte loses nothing that matters. */
    if (write(signal_pipe[1], &b, 1) < 0) {
    }
    errno = saved;
}

static void on_signal_pipe(void *data, int fd) {
    uint8_t buf[16];
    ssize_t n, i;
    (void)data;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        for (i = 0; i < n; i++)
            signal_fn(buf[i]);
        if (signal_pipe[0] < 0) return; /* the handler removed the pipe */
    }
}

int host_signals_install(host_signal_fn fn) {
    struct sigaction sa;
    if (pipe2(signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
    signal_fn = fn;
    if (DispAddInput(g_disp_id, signal_pipe[0], INPUT_READ, on_signal_pipe, NULL) == 0) {
        host_signals_remove();
        return -1;
    }
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGUSR1, &sa, NULL);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, NULL);
    return 0;
}

void host_signals_remove(void) {
    struct sigaction sa;
    if (signal_pipe[0] < 0) return;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGUSR1, &sa, NULL);
    DispRemoveInput(g_disp_id, signal_pipe[0], INPUT_READ);
    close(signal_pipe[0]);
    close(signal_pipe[1]);
    signal_pipe[0] = signal_pipe[1] = -1;
}

/* ---- pcap trace ----------------------------------------------------------------------- */

static ofpcap *trace;

int host_trace_open(const char *path) {
    trace = ofpcap_open(path);
    if (!trace) {
        fprintf(stderr, "cannot write %s: %s\n", path, strerror(errno));
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
    if (outgoing)
        ofpcap_write(trace, local_ip, local_port, peer_ip, peer_port, bytes, len);
    else
        ofpcap_write(trace, peer_ip, peer_port, local_ip, local_port, bytes, len);
}

void host_trace_close(void) {
    ofpcap_close(trace);
    trace = NULL;
}

uint64_t host_now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)(ts.tv_nsec / 1000000);
}

/* ---- Output --------------------------------------------------------------------------- */

void host_log_sink(int level, const char *line) {
    (void)level;
    if (host_verbose) fprintf(stderr, "lib: %s\n", line);
}

void host_print_message(const char *peer, const char *dir, const uint8_t *bytes, const void *body) {
    printf("%s %s %s\n", peer, dir, ofmsg_print(bytes, body));
    fflush(stdout);
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
