/*
 * ofagentd: the reference OpenFlow 1.3 agent (switch side) built on the library.
 *
 * It connects to a controller with the client manager (optionally under TLS), reconnecting
 * with exponential backoff and jitter whenever the connection goes down, and can also accept
 * local tools such as ovs-ofctl with the server manager (--listen). It simulates a switch:
 * ports, one flow table with priorities, cookies and timeouts, a tunnel table and a station
 * list for the vendor extension. See agent_handlers.c for what it answers.
 *
 * Usage: ofagentd [--controller IP:PORT] [--tls CERT KEY CA] [--listen IP:PORT] [--log FILE]
 *                 [--pcap FILE] [--ports N] [--dpid HEX] [--events SECONDS]
 *                 [--echo-interval SECONDS] [--backoff-min MS] [--backoff-max MS]
 *                 [--exit-after SECONDS] [--verbose]
 */
#define _GNU_SOURCE
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <ofclient.h>
#include <ofhost.h>
#include <oflog.h>
#include <ofserver.h>

#include "agent.h"
#include "agent_tls.h"
#include "hostutil.h"

#define RX_BUF_SIZE 65536
#ifdef OFAGENT_TLS
#define TLS_USAGE "[--tls CERT KEY CA] "
#else
#define TLS_USAGE "" /* this build has no TLS: --tls is refused */
#endif

agent_state agent;

static struct {
    const char *controller, *listen, *log, *pcap;
    const char *tls_cert, *tls_key, *tls_ca;
    uint32_t ports, events, echo_interval, backoff_min, backoff_max, exit_after;
    uint32_t ctl_ip;
    uint16_t ctl_port;
    int listening, shutting_down;
    uint32_t attempts;
    uint32_t reconnect_timer, reap_timer;
    struct WOLFSSL *ssl, *stale_ssl; /* the current connection's, and one that went down */
} opt = {.ports = 4, .echo_interval = 5, .backoff_min = 1000, .backoff_max = 30000};

/* ---- Sessions ---------------------------------------------------------------------------- */

void session_send(session *s, const uint8_t *bytes, uint32_t len, const void *body) {
    if (!s || !s->conn) return;
    host_print_message(s->name, "->", bytes, body);
    host_trace_message(s->conn, 1, bytes, len);
    if (s->is_controller)
        ofclient_send((ofclient_server *)s->conn, bytes, len);
    else
        ofserver_send((ofserver_client *)s->conn, bytes, len);
}

int session_send_encoded(session *s, uint8_t type, const void *body, uint32_t xid) {
    uint8_t *buf = NULL;
    uint32_t len = 0;
    if (!s || !s->conn) return -1;
    if (ofmsg_tx_encode(type, body, xid, &buf, &len) != 0) {
        fprintf(stderr, "cannot encode %s\n", ofmsg_ofp_type_to_string(type));
        return -1;
    }
    session_send(s, buf, len, body);
    free(buf);
    return 0;
}

void session_send_raw(session *s, uint8_t type, uint32_t xid, const void *body, size_t body_len) {
    uint32_t len = 0;
    uint8_t *buf = host_raw_message(type, xid, body, body_len, &len);
    if (!buf) return;
    session_send(s, buf, len, NULL);
    free(buf);
}

static void reap_sessions(void *arg) {
    session **p = &agent.sessions, *s;
    (void)arg;
    opt.reap_timer = 0;
    while ((s = *p) != NULL) {
        if (s->conn) {
            p = &s->next;
        } else {
            *p = s->next;
            free(s);
        }
    }
}

static session *session_new(ofconn *conn, int is_controller, const char *name) {
    session *s = calloc(1, sizeof *s);
    if (!s) return NULL;
    s->conn = conn;
    s->is_controller = is_controller;
    snprintf(s->name, sizeof s->name, "%s", name);
    s->last_rx_ms = s->last_echo_ms = host_now_ms();
    s->next = agent.sessions;
    agent.sessions = s;
    return s;
}

/* The connection is gone: the session is released later by the reaper, since the report may
 * come from inside a send made by code that still holds the session. */
static void session_gone(session *s) {
    printf("%s disconnected\n", s->name);
    s->conn = NULL;
    if (agent.controller == s) agent.controller = NULL;
    if (!opt.reap_timer) opt.reap_timer = ofhost_timer_add(0, 0, reap_sessions, NULL);
}

/* ---- Controller connection: connect, reconnect with backoff ------------------------------ */

static void connect_now(void *arg);

static void schedule_reconnect(void) {
    uint32_t shift = opt.attempts < 16 ? opt.attempts : 16;
    uint64_t delay = (uint64_t)opt.backoff_min << shift;
    if (opt.reconnect_timer || opt.shutting_down) return;
    if (delay > opt.backoff_max) delay = opt.backoff_max;
    /* Jitter: agents restarted together must not reconnect in step. */
    delay = delay / 2 + (uint64_t)rand() % (delay / 2 + 1);
    opt.attempts++;
    printf("reconnecting to %s in %llu ms\n", opt.controller, (unsigned long long)delay);
    opt.reconnect_timer = ofhost_timer_add((uint32_t)delay, 0, connect_now, NULL);
}

static void connect_now(void *arg) {
    (void)arg;
    opt.reconnect_timer = 0;
    agent_tls_free(opt.stale_ssl);
    opt.stale_ssl = NULL;
    if (opt.tls_cert && !(opt.ssl = agent_tls_new())) {
        schedule_reconnect();
        return;
    }
    printf("connecting to %s%s\n", opt.controller, opt.ssl ? " (TLS)" : "");
    if (!ofclient_connect_to_ofserver(opt.ctl_ip, opt.ctl_port, opt.ssl))
        schedule_reconnect(); /* a no-op when the down report already did it */
}

static void on_client_event(ofconn *conn, uint32_t event) {
    ofclient_server *ofs = (ofclient_server *)conn;
    session *s;
    if (event == OFCONN_CONNECTION_UP) {
        s = session_new(conn, 1, opt.controller);
        if (!s) {
            ofclient_disconnect(ofs);
            return;
        }
        ofclient_set_server_opaque_data(ofs, s);
        agent.controller = s;
        opt.attempts = 0;
        printf("connected to controller %s\n", s->name);
        session_send_encoded(s, OFPT_HELLO, NULL, (uint32_t)ofmsg_generate_xid());
    } else if (event == OFCONN_CONNECTION_DOWN) {
        s = ofclient_get_server_opaque_data(ofs);
        if (s) session_gone(s);
        /* The library never frees the wolfSSL object; it may still be on the stack of the
         * call that reported this, so it is released before the next connect. */
        opt.stale_ssl = opt.ssl;
        opt.ssl = NULL;
        schedule_reconnect();
    }
}

static int32_t on_client_rx(ofconn *conn, const uint8_t *bytes, int32_t len) {
    session *s = ofclient_get_server_opaque_data((ofclient_server *)conn);
    if (!s) return 0;
    host_trace_message(conn, 0, bytes, (uint32_t)len);
    agent_receive(s, bytes, (uint32_t)len);
    return 0;
}

/* ---- Local clients (--listen) ------------------------------------------------------------ */

static void on_server_event(ofconn *conn, uint32_t event) {
    ofserver_client *client = (ofserver_client *)conn;
    session *s;
    if (event == OFCONN_CONNECTION_UP) {
        s = session_new(conn, 0, ofserver_get_client_name(client));
        if (!s) {
            ofserver_disconnect_client(client);
            return;
        }
        ofserver_set_client_opaque_data(client, s);
        printf("local client %s connected\n", s->name);
        session_send_encoded(s, OFPT_HELLO, NULL, (uint32_t)ofmsg_generate_xid());
    } else if (event == OFCONN_CONNECTION_DOWN) {
        s = ofserver_get_client_opaque_data(client);
        if (s) session_gone(s);
    }
}

static int32_t on_server_rx(ofconn *conn, const uint8_t *bytes, int32_t len) {
    session *s = ofserver_get_client_opaque_data((ofserver_client *)conn);
    if (!s) return 0;
    host_trace_message(conn, 0, bytes, (uint32_t)len);
    agent_receive(s, bytes, (uint32_t)len);
    return 0;
}

/* ---- Timers and signals ------------------------------------------------------------------ */

/* Once a second: expire flows, and keep the controller connection honest. */
static void housekeeping(void *arg) {
    uint64_t now = host_now_ms(), interval = opt.echo_interval * 1000ull;
    session *s = agent.controller;
    uint8_t stamp[8];
    (void)arg;
    flows_expire(now);
    if (!s || !interval) return;
    if (now - s->last_rx_ms >= 3 * interval) {
        printf("controller silent for %llu ms: dropping the connection\n",
               (unsigned long long)(now - s->last_rx_ms));
        ofclient_disconnect((ofclient_server *)s->conn);
    } else if (now - s->last_rx_ms >= interval && now - s->last_echo_ms >= interval) {
        /* The codec encodes no echo request: a header and 8 bytes of send time. */
        host_put32(stamp, (uint32_t)(now >> 32));
        host_put32(stamp + 4, (uint32_t)now);
        s->last_echo_ms = now;
        session_send_raw(s, OFPT_ECHO_REQUEST, (uint32_t)ofmsg_generate_xid(), stamp, sizeof stamp);
    }
}

static void simulate(void *arg) {
    (void)arg;
    ports_simulate_round();
}

static void stop_loop(void *arg) {
    (void)arg;
    ofhost_loop_stop();
}

static void on_signal(int signo) {
    if (signo == SIGUSR1)
        ports_simulate_round();
    else
        ofhost_loop_stop();
}

/* ---- Start-up and shut-down -------------------------------------------------------------- */

static void usage(const char *prog) {
    fprintf(stderr,
            "usage: %s [--controller IP:PORT] %s[--listen IP:PORT]\n"
            "          [--log FILE] [--pcap FILE] [--ports N] [--dpid HEX] [--events SECONDS]\n"
            "          [--echo-interval SECONDS] [--backoff-min MS] [--backoff-max MS]\n"
            "          [--exit-after SECONDS] [--verbose]\n"
            "at least one of --controller and --listen is required\n",
            prog, TLS_USAGE);
}

static int parse_args(int argc, char **argv) {
    static const struct option opts[] = {{"controller", required_argument, NULL, 'c'},
                                         {"tls", required_argument, NULL, 't'},
                                         {"listen", required_argument, NULL, 'l'},
                                         {"log", required_argument, NULL, 'g'},
                                         {"pcap", required_argument, NULL, 'p'},
                                         {"ports", required_argument, NULL, 'n'},
                                         {"dpid", required_argument, NULL, 'd'},
                                         {"events", required_argument, NULL, 'e'},
                                         {"echo-interval", required_argument, NULL, 'i'},
                                         {"backoff-min", required_argument, NULL, 'b'},
                                         {"backoff-max", required_argument, NULL, 'B'},
                                         {"exit-after", required_argument, NULL, 'x'},
                                         {"verbose", no_argument, NULL, 'v'},
                                         {"help", no_argument, NULL, 'h'},
                                         {NULL, 0, NULL, 0}};
    int c;
    agent.dpid = 1;
    while ((c = getopt_long(argc, argv, "", opts, NULL)) != -1) {
        switch (c) {
            case 'c':
                opt.controller = optarg;
                break;
            case 't':
                /* --tls takes three paths: CERT KEY CA. */
                if (optind + 1 >= argc) return -1;
                opt.tls_cert = optarg;
                opt.tls_key = argv[optind++];
                opt.tls_ca = argv[optind++];
                break;
            case 'l':
                opt.listen = optarg;
                break;
            case 'g':
                opt.log = optarg;
                break;
            case 'p':
                opt.pcap = optarg;
                break;
            case 'n':
                opt.ports = (uint32_t)strtoul(optarg, NULL, 10);
                break;
            case 'd':
                agent.dpid = strtoull(optarg, NULL, 16);
                break;
            case 'e':
                opt.events = (uint32_t)strtoul(optarg, NULL, 10);
                break;
            case 'i':
                opt.echo_interval = (uint32_t)strtoul(optarg, NULL, 10);
                break;
            case 'b':
                opt.backoff_min = (uint32_t)strtoul(optarg, NULL, 10);
                break;
            case 'B':
                opt.backoff_max = (uint32_t)strtoul(optarg, NULL, 10);
                break;
            case 'x':
                opt.exit_after = (uint32_t)strtoul(optarg, NULL, 10);
                break;
            case 'v':
                host_verbose = 1;
                break;
            case 'h':
                usage(argv[0]);
                exit(0);
            default:
                return -1;
        }
    }
    if (optind != argc || (!opt.controller && !opt.listen) || opt.ports > AGENT_MAX_PORTS ||
        opt.backoff_min == 0 || opt.backoff_max < opt.backoff_min)
        return -1;
    if (opt.controller && host_parse_endpoint(opt.controller, &opt.ctl_ip, &opt.ctl_port) != 0)
        return -1;
    return 0;
}

/* The start-up sequence: logging, dispatcher, codec callbacks, managers, connect/start. */
static int start(void) {
    ofconn_registration client_reg = {
        on_client_event, on_client_rx, {OFP_HEADER_LEN, RX_BUF_SIZE, ofmsg_payload_len}};
    ofconn_registration server_reg = {
        on_server_event, on_server_rx, {OFP_HEADER_LEN, RX_BUF_SIZE, ofmsg_payload_len}};
    uint32_t ip;
    uint16_t port;

    oflog_init(opt.log ? opt.log : "ofagentd.log", (int)getpid(), host_log_sink, NULL);
    if (opt.log) oflog_to_file_enable();
    ofsocket_set_dispatcher_id(1);
    agent_register_callbacks();
    if (opt.controller) ofclient_register(&client_reg);
    if (opt.listen) ofserver_register(&server_reg);
    if (host_signals_install(on_signal) != 0) return -1;
    if (opt.pcap && host_trace_open(opt.pcap) != 0) return -1;
    if (opt.tls_cert && agent_tls_init(opt.tls_cert, opt.tls_key, opt.tls_ca) != 0) return -1;
    if (opt.listen) {
        if (host_parse_endpoint(opt.listen, &ip, &port) != 0 || ofserver_start(ip, port) != 0) {
            fprintf(stderr, "cannot listen on %s\n", opt.listen);
            return -1;
        }
        opt.listening = 1;
        printf("listening on %s\n", opt.listen);
    }
    if (opt.controller) connect_now(NULL);
    return 0;
}

static void shut_down(void) {
    savl_node *n;
    opt.shutting_down = 1;
    if (opt.reconnect_timer) ofhost_timer_cancel(opt.reconnect_timer);
    if (ofclient_local_inst.ofserver) ofclient_disconnect(ofclient_local_inst.ofserver);
    if (opt.listening) ofserver_stop();
    if (opt.reap_timer) ofhost_timer_cancel(opt.reap_timer);
    reap_sessions(NULL);
    flows_clear();
    while ((n = agent.tunnels.tree.head.next) != NULL && n != &agent.tunnels.tree.head)
        oftunnel_entry_delete(n->data);
    agent_tls_free(opt.ssl);
    agent_tls_free(opt.stale_ssl);
    if (opt.tls_cert) agent_tls_cleanup();
    host_trace_close();
    host_signals_remove();
}

int main(int argc, char **argv) {
    uint32_t timers[3] = {0, 0, 0};
    int rc = 0, i;

    setvbuf(stdout, NULL, _IOLBF, 0);
    if (parse_args(argc, argv) != 0) {
        usage(argv[0]);
        return 2;
    }
    ports_init(opt.ports);
    oftunnel_init(&agent.tunnels);
    agent.miss_send_len = 128;
    if (start() == 0) {
        timers[0] = ofhost_timer_add(1000, 1, housekeeping, NULL);
        if (opt.events) timers[1] = ofhost_timer_add(opt.events * 1000, 1, simulate, NULL);
        if (opt.exit_after) timers[2] = ofhost_timer_add(opt.exit_after * 1000, 0, stop_loop, NULL);
        ofhost_loop_run();
        printf("shutting down\n");
    } else {
        rc = 1;
    }
    for (i = 0; i < 3; i++)
        if (timers[i]) ofhost_timer_cancel(timers[i]);
    shut_down();
    return rc;
}
