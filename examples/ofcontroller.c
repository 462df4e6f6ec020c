/*
 * ofcontroller: a small OpenFlow 1.3 controller built on the library's server manager.
 *
 * It accepts any number of switches (agents). To each it sends HELLO and FEATURES_REQUEST;
 * once the features reply is in, it asks for the switch description, port descriptions, port
 * statistics and flow statistics, installs a table-miss flow and one flow that shows off the
 * codec (several OXM fields; set-field, output and a vendor action), exercises the vendor
 * tunnel and station-MAC messages, and then prints whatever arrives (packet-ins, port status,
 * flow-removed, errors...). Echo requests of any length are answered. Every message, both
 * ways, is printed as the codec's one-line text.
 *
 * Usage: ofcontroller --listen IP:PORT [--pcap FILE] [--count N] [--exit-after SECONDS]
 *                     [--flow-timeout SECONDS] [--log FILE] [--verbose]
 */
#define _GNU_SOURCE
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

typedef struct agent {
    ofserver_client *client; /* null once the connection is gone */
    char name[32];
    const uint8_t *cur; /* the message being decoded (valid during rx only) */
    uint32_t flow_xid;  /* xid of the showcase flow-mod, to spot its refusal */
    int flow_retried;
    struct agent *next;
} agent;

static struct {
    const char *listen;
    const char *pcap;
    const char *log;
    long count;
    long exit_after;
    unsigned flow_timeout;
    long received;
    uint32_t reap_timer; /* pending release of agents whose connection went down */
    agent *agents;
} ctl;

/* ---- Sending ----------------------------------------------------------------------------- */

static void send_bytes(agent *a, const uint8_t *bytes, uint32_t len, const void *body) {
    if (!a->client) return;
    host_print_message(a->name, "->", bytes, body);
    host_trace_message(&a->client->conn, 1, bytes, len);
    ofserver_send(a->client, bytes, len);
}

/* Types the codec encodes go through ofmsg_tx_encode. */
static uint32_t send_encoded_xid(agent *a, uint8_t type, const void *body, uint32_t xid) {
    uint8_t *buf = NULL;
    uint32_t len = 0;
    if (ofmsg_tx_encode(type, body, xid, &buf, &len) != 0) {
        fprintf(stderr, "%s: cannot encode %s\n", a->name, ofmsg_ofp_type_to_string(type));
        return 0;
    }
    send_bytes(a, buf, len, body);
    free(buf);
    return xid;
}

static uint32_t send_encoded(agent *a, uint8_t type, const void *body) {
    return send_encoded_xid(a, type, body, (uint32_t)ofmsg_generate_xid());
}

/* The codec encodes only port-description multipart requests (and no barrier or echo
 * request), since the agent side needs no more; a controller builds the others itself. */
static void send_raw(agent *a, uint8_t type, const void *body, size_t body_len) {
    uint32_t len = 0;
    uint8_t *buf = host_raw_message(type, (uint32_t)ofmsg_generate_xid(), body, body_len, &len);
    if (!buf) return;
    send_bytes(a, buf, len, NULL);
    free(buf);
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
    agent *a = msg->ctx;
    host_print_message(a->name, "<-", a->cur, body);
}

static void on_print_only(void *body, ofmsg *msg) {
    print_received(body, msg);
    host_free_body(((agent *)msg->ctx)->cur[1], body);
}

static void on_multipart_reply(void *body, ofmsg *msg) {
    print_received(body, msg);
    host_free_body(OFPT_MULTIPART_REPLY, body);
}

static void on_features_reply(void *body, ofmsg *msg) {
    agent *a = msg->ctx;
    print_received(body, msg);
    ofmsg_free(OFPT_FEATURES_REPLY, body);
    request_switch_state(a);
    install_table_miss(a);
    install_showcase_flow(a, 1);
    send_raw(a, OFPT_BARRIER_REQUEST, NULL, 0);
    send_vendor_messages(a);
}

static void on_error(void *body, ofmsg *msg) {
    agent *a = msg->ctx;
    ofmsg_error *err = body;
    print_received(body, msg);
    /* A switch without the vendor extension refuses the whole flow: install it without. */
    if (err->data_len >= OFP_HEADER_LEN && err->data[1] == OFPT_FLOW_MOD &&
        host_get32(err->data + 4) == a->flow_xid && !a->flow_retried) {
        a->flow_retried = 1;
        printf(
            "%s refused the showcase flow (error type %u code %u): retrying without the "
            "vendor action\n",
            a->name, (unsigned)err->type, (unsigned)err->code);
        install_showcase_flow(a, 0);
        send_raw(a, OFPT_BARRIER_REQUEST, NULL, 0);
    }
    ofmsg_free(OFPT_ERROR, body);
}

static void on_echo_request(void *body, ofmsg *msg) {
    agent *a = msg->ctx;
    print_received(body, msg);
    /* The decoded request, encoded as a reply with its xid, carries the same payload. */
    send_encoded_xid(a, OFPT_ECHO_REPLY, body, msg->xid);
    ofmsg_free(OFPT_ECHO_REQUEST, body);
}

static void register_callbacks(void) {
    ofmsg_rx_cb cbs[OFMSG_NUM_TYPES] = {0};
    cbs[OFPT_HELLO] = on_print_only;
    cbs[OFPT_ERROR] = on_error;
    cbs[OFPT_ECHO_REQUEST] = on_echo_request;
    cbs[OFPT_EXPERIMENTER] = on_print_only;
    cbs[OFPT_FEATURES_REPLY] = on_features_reply;
    cbs[OFPT_PACKET_IN] = on_print_only;
    cbs[OFPT_PORT_STATUS] = on_print_only;
    cbs[OFPT_MULTIPART_REPLY] = on_multipart_reply;
    ofmsg_register_callbacks(cbs);
}

/* ---- Connection callbacks ---------------------------------------------------------------- */

/* What the codec does not decode is printed from its header, with the few fields a reader
 * wants for flow-removed. */
static void print_undecoded(agent *a, const uint8_t *bytes, int32_t len, int32_t status) {
    if (bytes[1] == OFPT_FLOW_REMOVED && len >= 48) {
        printf("%s <- %s {reason=%s, cookie=0x%08x%08x, priority=%u, table_id=%u}\n", a->name,
               ofmsg_print(bytes, NULL), ofmsg_ofp_flow_removed_reason_to_string(bytes[18]),
               (unsigned)host_get32(bytes + 8), (unsigned)host_get32(bytes + 12),
               (unsigned)host_get16(bytes + 16), (unsigned)bytes[19]);
    } else {
        printf("%s <- %s (not decoded by the codec: status 0x%08x)\n", a->name,
               ofmsg_print(bytes, NULL), (unsigned)status);
    }
    fflush(stdout);
}

static int32_t on_rx(ofconn *conn, const uint8_t *bytes, int32_t len) {
    agent *a = ofserver_get_client_opaque_data((ofserver_client *)conn);
    int32_t status;
    if (!a) return 0;
    host_trace_message(conn, 0, bytes, (uint32_t)len);
    ctl.received++;
    if (bytes[1] == OFPT_ECHO_REQUEST && len != 24) {
        /* The codec decodes only the 24-byte echo; any other length is echoed back raw. */
        uint8_t *reply = malloc((size_t)len);
        host_print_message(a->name, "<-", bytes, NULL);
        if (reply) {
            memcpy(reply, bytes, (size_t)len);
            reply[1] = OFPT_ECHO_REPLY;
            send_bytes(a, reply, (uint32_t)len, NULL);
            free(reply);
        }
    } else {
        a->cur = bytes;
        status = ofmsg_rx_decode(a, bytes, (uint32_t)len);
        if (status != OFMSG_DECODE_OK) print_undecoded(a, bytes, len, status);
        a->cur = NULL;
    }
    if (ctl.count > 0 && ctl.received >= ctl.count) ofhost_loop_stop();
    return 0;
}

/* Agents are released from a timer, never inside the library call that reported them down:
 * that call may be a send in the middle of code still holding the agent. */
static void reap_agents(void *arg) {
    agent **p = &ctl.agents, *a;
    (void)arg;
    ctl.reap_timer = 0;
    while ((a = *p) != NULL) {
        if (a->client) {
            p = &a->next;
        } else {
            *p = a->next;
            free(a);
        }
    }
}

static void on_event(ofconn *conn, uint32_t event) {
    ofserver_client *client = (ofserver_client *)conn;
    agent *a;
    if (event == OFCONN_CONNECTION_UP) {
        a = calloc(1, sizeof *a);
        if (!a) {
            ofserver_disconnect_client(client);
            return;
        }
        a->client = client;
        snprintf(a->name, sizeof a->name, "%s", ofserver_get_client_name(client));
        a->next = ctl.agents;
        ctl.agents = a;
        ofserver_set_client_opaque_data(client, a);
        printf("agent %s connected\n", a->name);
        send_encoded(a, OFPT_HELLO, NULL);
        send_encoded(a, OFPT_FEATURES_REQUEST, NULL);
    } else if (event == OFCONN_CONNECTION_DOWN) {
        a = ofserver_get_client_opaque_data(client);
        if (!a) return;
        printf("agent %s disconnected\n", a->name);
        fflush(stdout);
        a->client = NULL;
        ofserver_set_client_opaque_data(client, NULL);
        if (!ctl.reap_timer) ctl.reap_timer = ofhost_timer_add(0, 0, reap_agents, NULL);
    }
}

/* ---- Main -------------------------------------------------------------------------------- */

static void on_signal(int signo) {
    if (signo != SIGUSR1) ofhost_loop_stop();
}

static void on_exit_timer(void *arg) {
    (void)arg;
    ofhost_loop_stop();
}

static int parse_args(int argc, char **argv) {
    static const struct option opts[] = {{"listen", required_argument, NULL, 'l'},
                                         {"pcap", required_argument, NULL, 'p'},
                                         {"count", required_argument, NULL, 'c'},
                                         {"exit-after", required_argument, NULL, 'x'},
                                         {"flow-timeout", required_argument, NULL, 't'},
                                         {"log", required_argument, NULL, 'g'},
                                         {"verbose", no_argument, NULL, 'v'},
                                         {"help", no_argument, NULL, 'h'},
                                         {NULL, 0, NULL, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", opts, NULL)) != -1) {
        switch (c) {
            case 'l':
                ctl.listen = optarg;
                break;
            case 'p':
                ctl.pcap = optarg;
                break;
            case 'c':
                ctl.count = strtol(optarg, NULL, 10);
                break;
            case 'x':
                ctl.exit_after = strtol(optarg, NULL, 10);
                break;
            case 't':
                ctl.flow_timeout = (unsigned)strtoul(optarg, NULL, 10);
                break;
            case 'g':
                ctl.log = optarg;
                break;
            case 'v':
                host_verbose = 1;
                break;
            default:
                return -1;
        }
    }
    return ctl.listen ? 0 : -1;
}

int main(int argc, char **argv) {
    ofconn_registration reg = {on_event, on_rx, {OFP_HEADER_LEN, RX_BUF_SIZE, ofmsg_payload_len}};
    uint32_t ip, exit_timer = 0;
    uint16_t port;

    setvbuf(stdout, NULL, _IOLBF, 0);
    if (parse_args(argc, argv) != 0 || host_parse_endpoint(ctl.listen, &ip, &port) != 0) {
        fprintf(stderr,
                "usage: %s --listen IP:PORT [--pcap FILE] [--count N] "
                "[--exit-after SECONDS] [--flow-timeout SECONDS] [--log FILE] "
                "[--verbose]\n",
                argv[0]);
        return 2;
    }
    /* The start-up sequence: logging, dispatcher, codec callbacks, manager, start. */
    oflog_init(ctl.log ? ctl.log : "ofcontroller.log", (int)getpid(), host_log_sink, NULL);
    if (ctl.log) oflog_to_file_enable();
    ofsocket_set_dispatcher_id(1);
    register_callbacks();
    ofserver_register(&reg);
    if (host_signals_install(on_signal) != 0 || (ctl.pcap && host_trace_open(ctl.pcap) != 0))
        return 1;
    if (ofserver_start(ip, port) != 0) {
        fprintf(stderr, "cannot listen on %s\n", ctl.listen);
        host_signals_remove();
        host_trace_close();
        return 1;
    }
    printf("listening on %s\n", ctl.listen);
    if (ctl.exit_after > 0)
        exit_timer = ofhost_timer_add((uint32_t)(ctl.exit_after * 1000), 0, on_exit_timer, NULL);

    ofhost_loop_run();

    ofserver_stop(); /* every agent hears its connection go down */
    if (exit_timer) ofhost_timer_cancel(exit_timer);
    if (ctl.reap_timer) ofhost_timer_cancel(ctl.reap_timer);
    reap_agents(NULL);
    host_trace_close();
    host_signals_remove();
    printf("stopped after %ld messages\n", ctl.received);
    return 0;
}
