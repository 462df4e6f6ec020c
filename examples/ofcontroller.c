/*
 * ofcontroller: a small OpenFlow 1.3 controller built on the library's server manager.
 *
 * It accepts any number of switches (agents). To each it sends HELLO, and FEATURES_REQUEST
 * once the switch's HELLO agrees on 1.3; once the features reply is in, it asks for the switch
 * description, port descriptions, port statistics and flow statistics, installs a table-miss flow
 * and one flow that shows off the codec (several OXM fields; set-field, output and a vendor
 * action), exercises the vendor tunnel and station-MAC messages, and then reports whatever arrives
 * (packet-ins, port status, flow-removed, errors...). Echo requests of any length are answered.
 * With --trace every message, both ways, is printed as the codec's one-line text. See --help.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <ofhost.h>
#include <oflog.h>
#include <ofmsg.h>
#include <ofserver.h>

#include "hostutil.h"

#define RX_BUF_SIZE 65536

#define MAX_EXIT_SECONDS 4294967u /* --exit-after: its milliseconds fit a timer */

typedef struct agent {
    host_peer peer;    /* first: an agent is a peer */
    uint32_t flow_xid; /* xid of the showcase flow-mod, to spot its refusal */
    int flow_retried;
    int features_asked;
} agent;

static struct {
    const char *listen;
    const char *pcap;
    const char *log;
    uint32_t ip;
    uint16_t port;
    uint32_t count;
    uint32_t exit_after;
    uint32_t flow_timeout;
    uint32_t received;
} ctl;

/* ---- Sending ----------------------------------------------------------------------------- */

static uint32_t send_encoded(agent *a, uint8_t type, const void *body) {
    uint32_t xid = (uint32_t)ofmsg_generate_xid();
    return host_peer_send_encoded(&a->peer, type, body, xid) == 0 ? xid : 0;
}

/* The codec encodes only port-description multipart requests (and no barrier or echo
 * request), since the agent side needs no more; a controller builds the others itself. */
static void send_raw(agent *a, uint8_t type, const void *body, size_t body_len) {
    host_peer_send_raw(&a->peer, type, (uint32_t)ofmsg_generate_xid(), body, body_len);
}

static void send_multipart_raw(agent *a, uint16_t mp_type, const uint8_t *body, size_t len) {
    uint8_t req[8 + 40] = {0};
    host_put16(req, mp_type);
    if (len) memcpy(req + 8, body, len);
    send_raw(a, OFPT_MULTIPART_REQUEST, req, 8 + len);
}

static void request_switch_state(agent *a) {
    ofmsg_multipart_request port_desc = {OFPMP_PORT_DESC, 0, NULL};
    uint8_t port_stats[8] = {0};
    uint8_t flow_stats[40] = {0};

    send_multipart_raw(a, OFPMP_DESC, NULL, 0);
    send_encoded(a, OFPT_MULTIPART_REQUEST, &port_desc);
    host_put32(port_stats, HOST_OFPP_ANY);
    send_multipart_raw(a, OFPMP_PORT_STATS, port_stats, sizeof port_stats);
    /* All tables, any port and group, any cookie, empty match (type 1, length 4). */
    flow_stats[0] = HOST_OFPTT_ALL;
    host_put32(flow_stats + 4, HOST_OFPP_ANY);
    host_put32(flow_stats + 8, HOST_OFPG_ANY);
    host_put16(flow_stats + 32, OFPMT_OXM);
    host_put16(flow_stats + 34, 4);
    send_multipart_raw(a, OFPMP_FLOW, flow_stats, sizeof flow_stats);
}

/* ---- Flows ------------------------------------------------------------------------------- */

static ofmsg_flow_mod *flow_mod_new(uint16_t priority, ofmsg_flow_match *match,
                                    ofmsg_instruction_actions *actions) {
    ofmsg_flow_mod *fm = calloc(1, sizeof *fm);
    ofmsg_instruction *inst;
    if (!fm || !match) {
        /* Out of memory: release what was built (the builders return null then). */
        if (match) ofmsg_flow_match_free(match);
        if (actions) ofmsg_flow_instruction_action_free(actions);
        free(fm);
        return NULL;
    }
    fm->command = OFPFC_ADD;
    fm->priority = priority;
    fm->buffer_id = HOST_OFP_NO_BUFFER;
    fm->out_port = HOST_OFPP_ANY;
    fm->out_group = HOST_OFPG_ANY;
    fm->match = match;
    if (actions) {
        inst = ofmsg_instruction_action_create(actions);
        fm->instructions = ofmsg_instructions_add(NULL, inst);
    }
    return fm;
}

static void install_table_miss(agent *a) {
    ofmsg_instruction_actions *acts = ofmsg_instruction_action_add(
        NULL, ofmsg_action_create_output(HOST_OFPP_CONTROLLER, HOST_OFPCML_NO_BUFFER));
    ofmsg_flow_mod *fm = flow_mod_new(0, ofmsg_match_create(), acts);
    if (!fm) return;
    send_encoded(a, OFPT_FLOW_MOD, fm);
    ofmsg_free(OFPT_FLOW_MOD, fm);
}

/* in_port=1, ip, tcp, nw_dst=10.0.0.0/8, tp_dst=80 -> set eth_dst, output:2 [, set app id]. */
static void install_showcase_flow(agent *a, int with_vendor_action) {
    static const uint8_t new_dst[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
    ofmsg_flow_match *m = ofmsg_match_create();
    ofmsg_instruction_actions *acts;
    ofmsg_flow_mod *fm;

    ofmsg_match_tlv_create_32_value(m, (uint32_t)ofoxm_from_oxm_to_idx(OXM_OF_IN_PORT),
                                    ofoxm_header_value(OXM_OF_IN_PORT, 0), 1);
    ofmsg_match_tlv_create_16_value(m, (uint32_t)ofoxm_from_oxm_to_idx(OXM_OF_ETH_TYPE),
                                    ofoxm_header_value(OXM_OF_ETH_TYPE, 0), 0x0800);
    ofmsg_match_tlv_create_8_value(m, (uint32_t)ofoxm_from_oxm_to_idx(OXM_OF_IP_PROTO),
                                   ofoxm_header_value(OXM_OF_IP_PROTO, 0), 6);
    ofmsg_match_tlv_create_32_value_mask(m, (uint32_t)ofoxm_from_oxm_to_idx(OXM_OF_IPV4_DST),
                                         ofoxm_header_value(OXM_OF_IPV4_DST, 1), 0x0a000000u,
                                         0xff000000u);
    ofmsg_match_tlv_create_16_value(m, (uint32_t)ofoxm_from_oxm_to_idx(OXM_OF_TCP_DST),
                                    ofoxm_header_value(OXM_OF_TCP_DST, 0), 80);

    acts = ofmsg_instruction_action_add(
        NULL, ofmsg_action_create_set_field(ofoxm_header_value(OXM_OF_ETH_DST, 0), 6, new_dst));
    acts = ofmsg_instruction_action_add(acts, ofmsg_action_create_output(2, 0));
    if (with_vendor_action)
        acts = ofmsg_instruction_action_add(acts, ofmsg_action_exp_create_set_appid(7));

    fm = flow_mod_new(100, m, acts);
    if (!fm) return;
    fm->cookie = 0x1234;
    if (ctl.flow_timeout) {
        fm->hard_timeout = (uint16_t)ctl.flow_timeout;
        fm->flags = HOST_OFPFF_SEND_FLOW_REM;
    }
    a->flow_xid = send_encoded(a, OFPT_FLOW_MOD, fm);
    ofmsg_free(OFPT_FLOW_MOD, fm);
}

/* ---- Vendor extension -------------------------------------------------------------------- */

static void send_vendor_messages(agent *a) {
    ofmsg_exp_tunnel_v4 tunnel = {7, 0x0a000002u}; /* index 7 -> 10.0.0.2 */
    ofmsg_exp_tunnel_v4_request add = {1, &tunnel}, query = {0, NULL};
    ofmsg_exp_openflow_mac mac = {1, {0x02, 0, 0, 0, 0, 0x11}, {0x02, 0, 0, 0, 0, 0xbb}};
    ofmsg_exp exp = {ZELTA_EXP_TUNNEL_V4_REQ, &add};

    send_encoded(a, OFPT_EXPERIMENTER, &exp);
    exp.data = &query;
    send_encoded(a, OFPT_EXPERIMENTER, &exp);
    exp.exp_type = ZELTA_EXP_OPENFLOW_MAC;
    exp.data = &mac;
    send_encoded(a, OFPT_EXPERIMENTER, &exp);
}

/* ---- Receive callbacks (one per type the controller reacts to) ---------------------------- */

static void print_received(void *body, ofmsg *msg) {
    host_peer *p = msg->ctx;
    host_print_message(p->name, "<-", p->cur, body);
}

static void on_print_only(void *body, ofmsg *msg) {
    print_received(body, msg);
    host_free_body(((host_peer *)msg->ctx)->cur[1], body);
}

static void on_features_reply(void *body, ofmsg *msg) {
    agent *a = msg->ctx;
    const ofmsg_switch_features *f = body;
    print_received(body, msg);
    if (!a->peer.established) {
        a->peer.established = 1;
        host_say("agent %s: session established, dpid 0x%016llx, %u tables", a->peer.name,
                 (unsigned long long)f->datapath_id, (unsigned)f->n_tables);
        request_switch_state(a);
        install_table_miss(a);
        install_showcase_flow(a, 1);
        send_raw(a, OFPT_BARRIER_REQUEST, NULL, 0);
        send_vendor_messages(a);
    }
    ofmsg_free(OFPT_FEATURES_REPLY, body);
}

static void on_error(void *body, ofmsg *msg) {
    agent *a = msg->ctx;
    ofmsg_error *err = body;
    print_received(body, msg);
    /* A switch without the vendor extension refuses the whole flow: install it without. */
    if (err->data_len >= OFP_HEADER_LEN && err->data[1] == OFPT_FLOW_MOD &&
        host_get32(err->data + 4) == a->flow_xid && !a->flow_retried) {
        a->flow_retried = 1;
        host_say(
            "agent %s refused the showcase flow (error type %u code %u): retrying without "
            "the vendor action",
            a->peer.name, (unsigned)err->type, (unsigned)err->code);
        install_showcase_flow(a, 0);
        send_raw(a, OFPT_BARRIER_REQUEST, NULL, 0);
    } else {
        host_say("agent %s reports error type %u code %u", a->peer.name, (unsigned)err->type,
                 (unsigned)err->code);
    }
    ofmsg_free(OFPT_ERROR, body);
}

static void register_callbacks(void) {
    ofmsg_rx_cb cbs[OFMSG_NUM_TYPES] = {0};
    cbs[OFPT_ERROR] = on_error;
    cbs[OFPT_ECHO_REQUEST] = host_on_echo_request;
    cbs[OFPT_EXPERIMENTER] = on_print_only;
    cbs[OFPT_FEATURES_REPLY] = on_features_reply;
    cbs[OFPT_PACKET_IN] = on_print_only;
    cbs[OFPT_PORT_STATUS] = on_print_only;
    cbs[OFPT_MULTIPART_REPLY] = on_print_only;
    ofmsg_register_callbacks(cbs);
}

/* ---- Connection callbacks ---------------------------------------------------------------- */

/* What the codec does not decode (ofmsg_ofpt_type_supported / ofmsg_ofpmp_type_supported say
 * which) is not handed to it: a flow-removed is reported with the few fields a reader wants,
 * the rest (barrier replies, description and port statistics replies...) is only traced.
 * Returns 1 when the message was handled here. */
static int receive_raw(agent *a, const uint8_t *bytes, uint32_t len) {
    uint8_t type = bytes[1];
    if (type == OFPT_MULTIPART_REPLY
            ? len >= 10 && ofmsg_ofpmp_type_supported(host_get16(bytes + 8))
            : ofmsg_ofpt_type_supported(type))
        return 0;
    host_print_message(a->peer.name, "<-", bytes, NULL);
    if (type == OFPT_FLOW_REMOVED && len >= 48)
        host_say(
            "agent %s: flow removed {reason=%s, cookie=0x%08x%08x, priority=%u, "
            "table_id=%u}",
            a->peer.name, ofmsg_ofp_flow_removed_reason_to_string(bytes[18]),
            (unsigned)host_get32(bytes + 8), (unsigned)host_get32(bytes + 12),
            (unsigned)host_get16(bytes + 16), (unsigned)bytes[19]);
    return 1;
}

static int32_t on_rx(ofconn *conn, const uint8_t *bytes, int32_t len) {
    agent *a = ofserver_get_client_opaque_data((ofserver_client *)conn);
    int32_t status;
    if (!a) return 0;
    ctl.received++;
    if (host_peer_receive(&a->peer, bytes, (uint32_t)len)) {
        /* Features only once the versions agree: a switch that refuses our hello then closes
         * with nothing of ours unread, so our error reaches it instead of meeting a reset. */
        if (bytes[1] == OFPT_HELLO && a->peer.negotiated && !a->features_asked) {
            a->features_asked = 1;
            send_encoded(a, OFPT_FEATURES_REQUEST, NULL);
        }
    } else if (!receive_raw(a, bytes, (uint32_t)len)) {
        status = host_peer_decode(&a->peer, bytes, (uint32_t)len);
        if (status != OFMSG_DECODE_OK)
            host_say("agent %s: %s refused by the codec (status 0x%08x)", a->peer.name,
                     ofmsg_ofp_type_to_string(bytes[1]), (unsigned)status);
    }
    if (ctl.count > 0 && ctl.received >= ctl.count) ofhost_loop_stop();
    return 0;
}

static void on_event(ofconn *conn, uint32_t event) {
    ofserver_client *client = (ofserver_client *)conn;
    agent *a;
    if (event == OFCONN_CONNECTION_UP) {
        a = (agent *)host_peer_new(sizeof *a, conn, 0, ofserver_get_client_name(client));
        if (!a) {
            ofserver_disconnect_client(client);
            return;
        }
        ofserver_set_client_opaque_data(client, a);
        host_say("agent %s connected", a->peer.name);
        host_peer_send_hello(&a->peer);
    } else if (event == OFCONN_CONNECTION_DOWN) {
        a = ofserver_get_client_opaque_data(client);
        if (!a) return;
        host_say("agent %s disconnected", a->peer.name);
        ofserver_set_client_opaque_data(client, NULL);
        host_peer_gone(&a->peer);
    }
}

/* ---- Main -------------------------------------------------------------------------------- */

static void on_signal(int signo) {
    if (signo == SIGINT || signo == SIGTERM) ofhost_loop_stop();
}

static void on_exit_timer(void *arg) {
    (void)arg;
    ofhost_loop_stop();
}

static void usage(void) {
    printf(
        "Usage: %s --listen IP:PORT [OPTION]...\n"
        "A small OpenFlow 1.3 controller: it accepts switches, reads their state, installs\n"
        "a table-miss flow and a showcase flow, and reports what they send.\n"
        "\n"
        "  --listen IP:PORT         accept switches here (required)\n"
        "  --flow-timeout SECONDS   hard timeout of the showcase flow, which then asks for\n"
        "                           a flow-removed; 0 none (default 0)\n"
        "  --count N                stop after N received messages; 0 never (default 0)\n"
        "  --exit-after SECONDS     stop after this long (default: at SIGTERM or SIGINT)\n"
        "  --log FILE               also write the library's log to FILE, rotated at 128 KiB\n"
        "  --log-level LEVEL        library lines shown on stderr: err, info or debug\n"
        "                           (default err); status lines always go to stdout\n"
        "  --trace                  print every message sent and received\n"
        "  --pcap FILE              write every message to FILE as a pcap capture\n"
        "  -h, --help               print this help and exit\n"
        "  -V, --version            print the version and exit\n"
        "\n"
        "Exit status: 0 after a clean stop, 1 when start-up fails, 2 for an invalid command\n"
        "line.\n",
        host_prog);
}

static int take_option(int code, const char *arg) {
    switch (code) {
        case 'l':
            ctl.listen = arg;
            return host_parse_endpoint("--listen", arg, &ctl.ip, &ctl.port);
        case 'p':
            ctl.pcap = arg;
            return 0;
        case 'c':
            return host_parse_uint("--count", arg, 0, UINT32_MAX, &ctl.count);
        case 'x':
            return host_parse_uint("--exit-after", arg, 0, MAX_EXIT_SECONDS, &ctl.exit_after);
        case 't':
            return host_parse_uint("--flow-timeout", arg, 0, 65535, &ctl.flow_timeout);
        default: /* 'g' */
            ctl.log = arg;
            return 0;
    }
}

/* -1 to run, else the exit status (HOST_EXIT_USAGE, or HOST_EXIT_OK after --help). */
static int parse_args(int argc, char **argv) {
    static const struct option opts[] = {{"listen", required_argument, NULL, 'l'},
                                         {"pcap", required_argument, NULL, 'p'},
                                         {"count", required_argument, NULL, 'c'},
                                         {"exit-after", required_argument, NULL, 'x'},
                                         {"flow-timeout", required_argument, NULL, 't'},
                                         {"log", required_argument, NULL, 'g'},
                                         HOST_SHARED_OPTIONS};
    int rc = host_parse_options(argc, argv, opts, take_option, usage, host_print_version);
    if (rc >= 0) return rc;
    if (!ctl.listen) {
        host_usage_error("--listen IP:PORT is required");
        return HOST_EXIT_USAGE;
    }
    return -1;
}

/* The start-up sequence: logging, dispatcher, codec callbacks, manager, start. */
static int start(void) {
    ofconn_registration reg = {on_event, on_rx, {OFP_HEADER_LEN, RX_BUF_SIZE, host_msg_len}};
    if (ctl.log && host_check_writable("the log file", ctl.log) != 0) return -1;
    oflog_init(ctl.log ? ctl.log : "ofcontroller.log", (int)getpid(), host_log_sink, NULL);
    if (ctl.log) oflog_to_file_enable();
    ofsocket_set_dispatcher_id(1);
    register_callbacks();
    ofserver_register(&reg);
    if (ofhost_signals_install(on_signal) != 0) {
        fprintf(stderr, "%s: cannot install the signal handlers\n", host_prog);
        return -1;
    }
    if (ctl.pcap && host_trace_open(ctl.pcap) != 0) return -1;
    if (ofserver_start(ctl.ip, ctl.port) != 0) {
        fprintf(stderr, "%s: cannot listen on %s: %s\n", host_prog, ctl.listen, strerror(errno));
        return -1;
    }
    host_say("listening on %s", ctl.listen);
    return 0;
}

int main(int argc, char **argv) {
    uint32_t exit_timer = 0;
    int rc;

    host_prog = "ofcontroller";
    setvbuf(stdout, NULL, _IOLBF, 0);
    if ((rc = parse_args(argc, argv)) >= 0) return rc;
    if (start() != 0) {
        host_trace_close();
        ofhost_signals_remove();
        return HOST_EXIT_START;
    }
    if (ctl.exit_after > 0)
        exit_timer = ofhost_timer_add(ctl.exit_after * 1000, 0, on_exit_timer, NULL);

    ofhost_loop_run();

    ofserver_stop(); /* every agent hears its connection go down */
    if (exit_timer) ofhost_timer_cancel(exit_timer);
    host_peers_release();
    host_trace_close();
    ofhost_signals_remove();
    host_say("stopped after %u messages", (unsigned)ctl.received);
    return HOST_EXIT_OK;
}
