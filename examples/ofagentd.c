/*
 * ofagentd: the reference OpenFlow 1.3 agent (switch side) built on the library.
 *
 * It connects to a controller with the client manager (optionally under TLS), reconnecting
 * with exponential backoff and jitter whenever the connection goes down, and can also accept
 * local tools such as ovs-ofctl with the server manager (--listen). It simulates a switch:
 * ports, one flow table with priorities, cookies and timeouts, a tunnel table and a station
 * list for the vendor extension. See agent_handlers.c for what it answers, and --help.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ofclient.h>
#include <ofhost.h>
#include <oflog.h>
#include <ofserver.h>

#include "agent.h"
#include "agent_tls.h"
#include "hostutil.h"

#define MAX_RX_BUFFER 65536 /* holds the longest OpenFlow message */
#define MIN_RX_BUFFER 1024
#define MAX_BACKLOG 65535u
#define FD_RESERVE 16      /* descriptors kept for the controller, the log, the capture, TLS */
#define MAX_SECONDS 86400u /* --events, --echo-interval: a day */
#define MAX_EXIT_SECONDS 4294967u /* --exit-after: its milliseconds fit a timer */
#define MAX_BACKOFF_MS 3600000u   /* an hour */

agent_state agent;

static struct {
    const char *controller, *listen, *log, *pcap;
    const char *tls_cert, *tls_key, *tls_ca;
    uint32_t ports, events, echo_interval, backoff_min, backoff_max, exit_after, rx_buffer, backlog;
    uint32_t ctl_ip, listen_ip;
    uint64_t fd_limit; /* RLIMIT_NOFILE at start-up */
    uint16_t ctl_port, listen_port;
    int listening, shutting_down;
    uint32_t attempts; /* connects since the last completed features exchange */
    uint64_t jitter;   /* per-process generator state of the reconnect jitter */
    uint32_t reconnect_timer;
    int argc; /* the command line, for --tls and its three values */
    char **argv;
    struct WOLFSSL *ssl, *stale_ssl; /* the current connection's, and one that went down */
} opt = {.ports = 4,
         .echo_interval = 5,
         .backoff_min = 1000,
         .backoff_max = 30000,
         .rx_buffer = MAX_RX_BUFFER,
         .backlog = 1024};

/* ---- Controller connection: connect, reconnect with backoff ------------------------------ */

/* xorshift64*, seeded from the pid and the clock: agents started together (a rack powering
 * up) must not reconnect in step, and the library's rand() is not seeded before its first
 * xid, which a refused connect never makes. */
static uint32_t jitter_next(void) {
    if (opt.jitter == 0) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        opt.jitter = ((uint64_t)getpid() << 32 ^ (uint64_t)ts.tv_nsec ^ (uint64_t)ts.tv_sec) | 1u;
    }
    opt.jitter ^= opt.jitter >> 12;
    opt.jitter ^= opt.jitter << 25;
    opt.jitter ^= opt.jitter >> 27;
    return (uint32_t)((opt.jitter * 0x2545f4914f6cdd1dull) >> 32);
}

static void connect_now(void *arg);

/* The delay doubles with every connect that did not reach a completed features exchange (a
 * refused connect, a failed negotiation, a controller that never asks), up to the cap, and is
 * then drawn between half and all of it. */
static void schedule_reconnect(void) {
    uint32_t shift = opt.attempts < 16 ? opt.attempts : 16;
    uint64_t delay = (uint64_t)opt.backoff_min << shift;
    if (opt.reconnect_timer || opt.shutting_down) return;
    if (delay > opt.backoff_max) delay = opt.backoff_max;
    delay = delay / 2 + jitter_next() % (delay / 2 + 1);
    opt.attempts++;
    host_say("reconnecting to %s in %llu ms", opt.controller, (unsigned long long)delay);
    opt.reconnect_timer = ofhost_timer_add((uint32_t)delay, 0, connect_now, NULL);
}

void agent_controller_established(void) {
    if (agent.controller->established) return; /* a controller may ask again */
    agent.controller->established = 1;
    opt.attempts = 0;
    host_say("session with controller %s established", agent.controller->name);
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
    host_say("connecting to %s%s", opt.controller, opt.ssl ? " (TLS)" : "");
    if (!ofclient_connect_to_ofserver(opt.ctl_ip, opt.ctl_port, opt.ssl))
        schedule_reconnect(); /* a no-op when the down report already did it */
}

static void session_gone(session *s) {
    host_say("%s disconnected", s->name);
    if (agent.controller == s) agent.controller = NULL;
    host_peer_gone(s);
}

static void on_client_event(ofconn *conn, uint32_t event) {
    ofclient_server *ofs = (ofclient_server *)conn;
    session *s;
    if (event == OFCONN_CONNECTION_UP) {
        s = host_peer_new(sizeof *s, conn, 1, opt.controller);
        if (!s) {
            ofclient_disconnect(ofs);
            return;
        }
        ofclient_set_server_opaque_data(ofs, s);
        agent.controller = s;
        host_say("connected to controller %s", s->name);
        host_peer_send_hello(s);
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
    if (s) agent_receive(s, bytes, (uint32_t)len);
    return 0;
}

/* ---- Local clients (--listen) ------------------------------------------------------------ */

/* Whether an accepted client leaves enough descriptors free. One that would not is closed at
 * once: were the descriptors all used, accept would fail, the pending connection would stay
 * queued and the listening socket readable, and the loop would spin on it at full speed. */
static int has_room(ofserver_client *client) {
    int fd = ofsocket_get_socket_fd(client->conn.sock);
    return fd >= 0 && (uint64_t)fd + FD_RESERVE < opt.fd_limit;
}

static void on_server_event(ofconn *conn, uint32_t event) {
    ofserver_client *client = (ofserver_client *)conn;
    session *s;
    if (event == OFCONN_CONNECTION_UP) {
        if (!has_room(client)) {
            host_say("local client %s refused: too many open descriptors",
                     ofserver_get_client_name(client));
            ofserver_disconnect_client(client);
            return;
        }
        s = host_peer_new(sizeof *s, conn, 0, ofserver_get_client_name(client));
        if (!s) {
            ofserver_disconnect_client(client);
            return;
        }
        ofserver_set_client_opaque_data(client, s);
        host_say("local client %s connected", s->name);
        host_peer_send_hello(s);
    } else if (event == OFCONN_CONNECTION_DOWN) {
        s = ofserver_get_client_opaque_data(client);
        if (s) session_gone(s);
    }
}

static int32_t on_server_rx(ofconn *conn, const uint8_t *bytes, int32_t len) {
    session *s = ofserver_get_client_opaque_data((ofserver_client *)conn);
    if (s) agent_receive(s, bytes, (uint32_t)len);
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
        host_say("controller silent for %llu ms: dropping the connection",
                 (unsigned long long)(now - s->last_rx_ms));
        host_peer_disconnect(s);
    } else if (now - s->last_rx_ms >= interval && now - s->last_echo_ms >= interval) {
        /* The codec encodes no echo request: a header and 8 bytes of send time. */
        host_put32(stamp, (uint32_t)(now >> 32));
        host_put32(stamp + 4, (uint32_t)now);
        s->last_echo_ms = now;
        host_peer_send_raw(s, OFPT_ECHO_REQUEST, (uint32_t)ofmsg_generate_xid(), stamp,
                           sizeof stamp);
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

static void print_status(void) {
    uint32_t tunnels = 0;
    savl_node *n;
    for (n = agent.tunnels.tree.head.next; n && n != &agent.tunnels.tree.head; n = n->next)
        tunnels++;
    host_say("status: controller %s, %u flows, %u ports, %u tunnels, %u stations",
             agent.controller ? agent.controller->name
                              : (opt.controller ? "not connected" : "not configured"),
             (unsigned)agent.n_flows, (unsigned)agent.n_ports, (unsigned)tunnels,
             (unsigned)agent.n_stations);
}

/* SIGUSR1 runs a round of simulated events; SIGHUP and SIGUSR2 print a status line (there is
 * no configuration file to reload, and a closed terminal must not end the agent). */
static void on_signal(int signo) {
    if (signo == SIGUSR1)
        ports_simulate_round();
    else if (signo == SIGHUP || signo == SIGUSR2)
        print_status();
    else
        ofhost_loop_stop();
}

/* ---- Command line ------------------------------------------------------------------------ */

static void usage(void) {
    printf(
        "Usage: %s [OPTION]...\n"
        "The reference OpenFlow 1.3 agent: a simulated switch that connects to a controller\n"
        "and/or accepts local OpenFlow tools.\n"
        "\n"
        "Connections (at least one of --controller and --listen):\n"
        "  --controller IP:PORT     connect to this controller, reconnecting with backoff\n"
        "  --tls CERT KEY CA        secure it with TLS: our certificate and key, and the CA\n"
        "                           that signed the controller's (PEM files)%s\n"
        "  --listen IP:PORT         accept local tools such as ovs-ofctl (plain TCP)\n"
        "  --listen-backlog N       connections the kernel holds until accepted (default %u)\n"
        "  --backoff-min MS         first reconnect delay (default %u)\n"
        "  --backoff-max MS         largest reconnect delay (default %u)\n"
        "  --echo-interval SECONDS  echo a controller silent this long, drop it after three\n"
        "                           silent intervals; 0 never (default %u)\n"
        "  --rx-buffer BYTES        receive buffer of each connection, %u to %u: a longer\n"
        "                           message ends the connection (default %u)\n"
        "Simulated switch:\n"
        "  --ports N                ports, 0 to %u (default %u)\n"
        "  --dpid HEX               datapath id (default 1)\n"
        "  --events SECONDS         simulated packets and link changes this often; 0 only\n"
        "                           on SIGUSR1 (default 0)\n"
        "Output:\n"
        "  --log FILE               also write the library's log to FILE, rotated at 128 KiB\n"
        "  --log-level LEVEL        library lines shown on stderr: err, info or debug\n"
        "                           (default err); status lines always go to stdout\n"
        "  --trace                  print every message sent and received\n"
        "  --pcap FILE              write every message to FILE as a pcap capture\n"
        "  --exit-after SECONDS     stop after this long (default: at SIGTERM or SIGINT)\n"
        "  -h, --help               print this help and exit\n"
        "  -V, --version            print the version and exit\n"
        "\n"
        "Signals: SIGTERM and SIGINT stop cleanly, SIGUSR1 runs one round of simulated\n"
        "events, SIGHUP prints a status line.\n"
        "Exit status: 0 after a clean stop, 1 when start-up fails, 2 for an invalid command\n"
        "line. After a failed TLS handshake the library ends the process with status 0:\n"
        "run the agent under a supervisor that restarts it.\n",
        host_prog, agent_tls_available() ? "" : " (not in this build)", opt.backlog,
        opt.backoff_min, opt.backoff_max, opt.echo_interval, MIN_RX_BUFFER, MAX_RX_BUFFER,
        opt.rx_buffer, AGENT_MAX_PORTS, opt.ports);
}

static int take_option(int code, const char *arg) {
    switch (code) {
        case 't':
            /* --tls takes three paths: CERT KEY CA. */
            if (optind + 1 >= opt.argc) {
                host_usage_error("--tls needs three files: CERT KEY CA");
                return -1;
            }
            opt.tls_cert = arg;
            opt.tls_key = opt.argv[optind++];
            opt.tls_ca = opt.argv[optind++];
            return 0;
        case 'c':
            opt.controller = arg;
            return host_parse_endpoint("--controller", arg, &opt.ctl_ip, &opt.ctl_port);
        case 'l':
            opt.listen = arg;
            return host_parse_endpoint("--listen", arg, &opt.listen_ip, &opt.listen_port);
        case 'k':
            return host_parse_uint("--listen-backlog", arg, 1, MAX_BACKLOG, &opt.backlog);
        case 'g':
            opt.log = arg;
            return 0;
        case 'p':
            opt.pcap = arg;
            return 0;
        case 'n':
            return host_parse_uint("--ports", arg, 0, AGENT_MAX_PORTS, &opt.ports);
        case 'd':
            return host_parse_dpid("--dpid", arg, &agent.dpid);
        case 'e':
            return host_parse_uint("--events", arg, 0, MAX_SECONDS, &opt.events);
        case 'i':
            return host_parse_uint("--echo-interval", arg, 0, MAX_SECONDS, &opt.echo_interval);
        case 'b':
            return host_parse_uint("--backoff-min", arg, 1, MAX_BACKOFF_MS, &opt.backoff_min);
        case 'B':
            return host_parse_uint("--backoff-max", arg, 1, MAX_BACKOFF_MS, &opt.backoff_max);
        case 'r':
            return host_parse_uint("--rx-buffer", arg, MIN_RX_BUFFER, MAX_RX_BUFFER,
                                   &opt.rx_buffer);
        default: /* 'x' */
            return host_parse_uint("--exit-after", arg, 0, MAX_EXIT_SECONDS, &opt.exit_after);
    }
}

static void version(void) {
    host_print_version();
    agent_tls_print_version();
}

/* -1 to run, else the exit status (HOST_EXIT_USAGE, or HOST_EXIT_OK after --help). */
static int parse_args(int argc, char **argv) {
    static const struct option opts[] = {{"controller", required_argument, NULL, 'c'},
                                         {"tls", required_argument, NULL, 't'},
                                         {"listen", required_argument, NULL, 'l'},
                                         {"listen-backlog", required_argument, NULL, 'k'},
                                         {"log", required_argument, NULL, 'g'},
                                         {"pcap", required_argument, NULL, 'p'},
                                         {"ports", required_argument, NULL, 'n'},
                                         {"dpid", required_argument, NULL, 'd'},
                                         {"events", required_argument, NULL, 'e'},
                                         {"echo-interval", required_argument, NULL, 'i'},
                                         {"backoff-min", required_argument, NULL, 'b'},
                                         {"backoff-max", required_argument, NULL, 'B'},
                                         {"rx-buffer", required_argument, NULL, 'r'},
                                         {"exit-after", required_argument, NULL, 'x'},
                                         HOST_SHARED_OPTIONS};
    int rc;
    agent.dpid = 1;
    opt.argc = argc;
    opt.argv = argv;
    if ((rc = host_parse_options(argc, argv, opts, take_option, usage, version)) >= 0) return rc;
    if (!opt.controller && !opt.listen) {
        host_usage_error("nothing to do: give --controller, --listen or both");
        return HOST_EXIT_USAGE;
    }
    if (opt.backoff_max < opt.backoff_min) {
        host_usage_error("--backoff-max (%u) is below --backoff-min (%u)",
                         (unsigned)opt.backoff_max, (unsigned)opt.backoff_min);
        return HOST_EXIT_USAGE;
    }
    if (opt.tls_cert && !opt.controller) {
        host_usage_error("--tls secures the --controller connection: give one");
        return HOST_EXIT_USAGE;
    }
    if (opt.tls_cert && !agent_tls_available()) {
        host_usage_error("--tls: this build has no TLS support");
        return HOST_EXIT_USAGE;
    }
    return -1;
}

/* ---- Start-up and shut-down -------------------------------------------------------------- */

/* The start-up sequence: logging, dispatcher, codec callbacks, managers, connect/start. Each
 * failure says why on stderr. */
static int start(void) {
    ofconn_registration client_reg = {
        on_client_event, on_client_rx, {OFP_HEADER_LEN, opt.rx_buffer, host_msg_len}};
    ofconn_registration server_reg = {
        on_server_event, on_server_rx, {OFP_HEADER_LEN, opt.rx_buffer, host_msg_len}};

    if (opt.log && host_check_writable("the log file", opt.log) != 0) return -1;
    if (opt.tls_cert && (host_check_readable("the TLS certificate", opt.tls_cert) != 0 ||
                         host_check_readable("the TLS private key", opt.tls_key) != 0 ||
                         host_check_readable("the TLS CA certificate", opt.tls_ca) != 0))
        return -1;
    oflog_init(opt.log ? opt.log : "ofagentd.log", (int)getpid(), host_log_sink, NULL);
    if (opt.log) oflog_to_file_enable();
    ofsocket_set_dispatcher_id(1);
    agent_register_callbacks();
    if (opt.controller) ofclient_register(&client_reg);
    if (opt.listen) ofserver_register(&server_reg);
    if (ofhost_signals_install(on_signal) != 0) {
        fprintf(stderr, "%s: cannot install the signal handlers\n", host_prog);
        return -1;
    }
    if (opt.pcap && host_trace_open(opt.pcap) != 0) return -1;
    if (opt.tls_cert && agent_tls_init(opt.tls_cert, opt.tls_key, opt.tls_ca) != 0) return -1;
    if (opt.listen) {
        struct rlimit lim;
        opt.fd_limit = getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY
                           ? (uint64_t)lim.rlim_cur
                           : UINT64_MAX;
        if (ofserver_start(opt.listen_ip, opt.listen_port) != 0) {
            fprintf(stderr, "%s: cannot listen on %s: %s\n", host_prog, opt.listen,
                    strerror(errno));
            return -1;
        }
        opt.listening = 1;
        /* The library listens with a backlog of 10. Peers that connect all at once overflow
         * it, and the kernel drops their handshakes: they wait for TCP retransmissions, which
         * come in waves that overflow it again (of 300 peers, some wait a minute and many are
         * reset). Listening again on the descriptor raises the backlog. */
        if (listen(ofsocket_get_socket_fd(ofserver_local_inst.ofs_ctx), (int)opt.backlog) != 0)
            fprintf(stderr, "%s: cannot raise the listen backlog to %u: %s\n", host_prog,
                    (unsigned)opt.backlog, strerror(errno));
        host_say("listening on %s", opt.listen);
    }
    if (opt.controller) connect_now(NULL);
    return 0;
}

static void shut_down(void) {
    savl_node *n;
    opt.shutting_down = 1;
    if (opt.reconnect_timer) ofhost_timer_cancel(opt.reconnect_timer);
    /* A TLS session ends with close_notify, so the controller sees a clean close. */
    if (agent.controller && opt.ssl) agent_tls_close_notify(opt.ssl);
    if (ofclient_local_inst.ofserver) ofclient_disconnect(ofclient_local_inst.ofserver);
    if (opt.listening) ofserver_stop();
    host_peers_release();
    flows_clear();
    while ((n = agent.tunnels.tree.head.next) != NULL && n != &agent.tunnels.tree.head)
        oftunnel_entry_delete(n->data);
    agent_tls_free(opt.ssl);
    agent_tls_free(opt.stale_ssl);
    if (opt.tls_cert) agent_tls_cleanup();
    host_trace_close();
    ofhost_signals_remove();
}

int main(int argc, char **argv) {
    uint32_t timers[3] = {0, 0, 0};
    int rc, i;

    host_prog = "ofagentd";
    setvbuf(stdout, NULL, _IOLBF, 0);
    if ((rc = parse_args(argc, argv)) >= 0) return rc;
    ports_init(opt.ports);
    oftunnel_init(&agent.tunnels);
    agent.miss_send_len = 128;
    rc = HOST_EXIT_OK;
    if (start() == 0) {
        timers[0] = ofhost_timer_add(1000, 1, housekeeping, NULL);
        if (opt.events) timers[1] = ofhost_timer_add(opt.events * 1000, 1, simulate, NULL);
        if (opt.exit_after) timers[2] = ofhost_timer_add(opt.exit_after * 1000, 0, stop_loop, NULL);
        ofhost_loop_run();
        host_say("shutting down");
    } else {
        rc = HOST_EXIT_START;
    }
    for (i = 0; i < 3; i++)
        if (timers[i]) ofhost_timer_cancel(timers[i]);
    shut_down();
    return rc;
}
