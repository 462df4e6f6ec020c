/*
 * ofagentd's message handling: the raw answers for the types the codec does not decode
 * (barrier, get-config, packet-out; hello and echo are shared with ofcontroller in
 * hostutil.c), then one receive callback per type the codec delivers. Whatever fails to decode
 * is answered with an OFPT_ERROR made from the decode status.
 */
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <ofagent_version.h>

#include "agent.h"
#include "hostutil.h"

static session *session_of(const ofmsg *msg) {
    return msg->ctx;
}

static void print_rx(const ofmsg *msg, const void *body) {
    session *s = session_of(msg);
    host_print_message(s->name, "<-", s->cur, body);
}

/* ---- Handshake and configuration --------------------------------------------------------- */

static void on_features_request(void *body, ofmsg *msg) {
    ofmsg_switch_features f;
    print_rx(msg, body);
    memset(&f, 0, sizeof f);
    f.datapath_id = agent.dpid;
    f.n_buffers = 0;
    f.n_tables = AGENT_N_TABLES;
    f.capabilities = 0x1 | 0x4; /* OFPC_FLOW_STATS | OFPC_PORT_STATS */
    host_peer_send_encoded(session_of(msg), OFPT_FEATURES_REPLY, &f, msg->xid);
    if (session_of(msg) == agent.controller) agent_controller_established();
    ofmsg_free(OFPT_FEATURES_REQUEST, body);
}

static void on_set_config(void *body, ofmsg *msg) {
    session *s = session_of(msg);
    print_rx(msg, body);
    /* The codec checks the length but keeps no body: read the two fields from the bytes. */
    agent.config_flags = host_get16(s->cur + 8);
    agent.miss_send_len = host_get16(s->cur + 10);
    host_say("config set: flags=0x%x miss_send_len=%u", (unsigned)agent.config_flags,
             (unsigned)agent.miss_send_len);
    ofmsg_free(OFPT_SET_CONFIG, body);
}

static void on_error(void *body, ofmsg *msg) {
    const ofmsg_error *e = body;
    print_rx(msg, body);
    host_say("%s reports error type %u code %u", session_of(msg)->name, (unsigned)e->type,
             (unsigned)e->code);
    ofmsg_free(OFPT_ERROR, body);
}

/* Messages a switch is never sent (features reply, packet-in...): decoded, so no status. */
static void on_unexpected(void *body, ofmsg *msg) {
    session *s = session_of(msg);
    uint8_t type = s->cur[1];
    print_rx(msg, body);
    host_peer_send_error(s, OFPET_BAD_REQUEST, OFPBRC_BAD_TYPE, s->cur, s->cur_len);
    host_free_body(type, body);
}

/* ---- Flows and statistics ---------------------------------------------------------------- */

static void on_flow_mod(void *body, ofmsg *msg) {
    print_rx(msg, body);
    flows_apply(session_of(msg), body); /* the table keeps the record */
}

static void reply_desc(session *s, uint32_t xid) {
    ofmsg_switch_desc_reply desc;
    ofmsg_multipart_reply reply = {OFPMP_DESC, 0, &desc};
    memset(&desc, 0, sizeof desc);
    snprintf(desc.mfr_desc, sizeof desc.mfr_desc, "ofagent project");
    snprintf(desc.hw_desc, sizeof desc.hw_desc, "ofagentd simulated switch");
    snprintf(desc.sw_desc, sizeof desc.sw_desc, "ofagentd " OFAGENT_VERSION_STRING);
    snprintf(desc.serial_num, sizeof desc.serial_num, "%016llx", (unsigned long long)agent.dpid);
    snprintf(desc.dp_desc, sizeof desc.dp_desc, "ofagentd with %u ports", (unsigned)agent.n_ports);
    host_peer_send_encoded(s, OFPT_MULTIPART_REPLY, &reply, xid);
}

static void reply_port_desc(session *s, uint32_t xid) {
    ofstruct_port descs[AGENT_MAX_PORTS], *ptrs[AGENT_MAX_PORTS];
    ofmsg_port_desc_reply list = {agent.n_ports, ptrs};
    ofmsg_multipart_reply reply = {OFPMP_PORT_DESC, 0, &list};
    uint32_t i;
    memset(descs, 0, sizeof descs);
    for (i = 0; i < agent.n_ports; i++) {
        ports_describe(&agent.ports[i], &descs[i]);
        ptrs[i] = &descs[i];
    }
    host_peer_send_encoded(s, OFPT_MULTIPART_REPLY, &reply, xid);
}

static void reply_port_stats(session *s, const void *port_field, uint32_t xid) {
    ofmsg_port_stats stats[AGENT_MAX_PORTS];
    ofmsg_port_stats_reply list = {0, stats};
    ofmsg_multipart_reply reply = {OFPMP_PORT_STATS, 0, &list};
    uint32_t wanted, i;
    memcpy(&wanted, port_field, 4); /* network order, inside the request */
    wanted = ntohl(wanted);
    for (i = 0; i < agent.n_ports; i++) {
        const agent_port *p = &agent.ports[i];
        if (wanted != HOST_OFPP_ANY && wanted != p->port_no) continue;
        stats[list.num_ports].port_no = htonl(p->port_no);
        stats[list.num_ports].rx_packets = p->rx_packets;
        stats[list.num_ports].tx_packets = p->tx_packets;
        list.num_ports++;
    }
    host_peer_send_encoded(s, OFPT_MULTIPART_REPLY, &reply, xid);
}

static void on_multipart_request(void *body, ofmsg *msg) {
    ofmsg_multipart_request *req = body;
    session *s = session_of(msg);
    print_rx(msg, body);
    switch (req->type) {
        case OFPMP_DESC:
            reply_desc(s, msg->xid);
            break;
        case OFPMP_PORT_DESC:
            reply_port_desc(s, msg->xid);
            break;
        case OFPMP_PORT_STATS:
            reply_port_stats(s, req->body, msg->xid);
            break;
        case OFPMP_FLOW:
            flows_stats_reply(s, req->body, msg->xid);
            break;
        default:
            host_peer_send_error(s, OFPET_BAD_REQUEST, OFPBRC_BAD_MULTIPART, s->cur, s->cur_len);
    }
    ofmsg_free(OFPT_MULTIPART_REQUEST, body);
}

/* ---- Vendor extension: tunnels and stations ---------------------------------------------- */

static oftunnel_key tunnel_key(uint32_t ip) {
    oftunnel_key key;
    memset(&key, 0, sizeof key);
    host_put32(key.addr, ip);
    return key;
}

/* The table offers no walk of its own; the platform's AVL ring threads its entries in order. */
static uint32_t tunnels_collect(ofmsg_exp_tunnel_v4 *out, ofmsg_exp_tunnel_v4 **ptrs,
                                uint32_t max) {
    savl_node *n;
    uint32_t count = 0;
    for (n = agent.tunnels.tree.head.next; n && n != &agent.tunnels.tree.head && count < max;
         n = n->next) {
        const oftunnel_entry *e = n->data;
        out[count].tun_index = e->tunnel_index;
        out[count].tun_dest_ip = host_get32(e->key.addr);
        ptrs[count] = &out[count];
        count++;
    }
    return count;
}

static void tunnel_request(session *s, const ofmsg_exp_tunnel_v4_request *req, uint32_t xid) {
    ofmsg_exp_tunnel_v4 entries[256], *ptrs[256];
    ofmsg_exp_tunnel_v4_reply list;
    ofmsg_exp reply = {ZELTA_EXP_TUNNEL_V4_REPLY, &list};
    oftunnel_entry *e;
    oftunnel_key key;

    /* Opcodes: 0 lists the tunnels, 1 adds or re-indexes one, 2 removes one. */
    if (req->tunnel && (req->opcode == 1 || req->opcode == 2)) {
        if (req->opcode == 1 && req->tunnel->tun_index == 0) {
            /* The table keeps no tunnel without an index; the old entry stays. */
            host_peer_send_error(s, OFPET_BAD_REQUEST, AGENT_OFPBRC_EPERM, s->cur, s->cur_len);
            return;
        }
        key = tunnel_key(req->tunnel->tun_dest_ip);
        if ((e = oftunnel_entry_find(&agent.tunnels, &key)) != NULL) oftunnel_entry_delete(e);
        if (req->opcode == 1 &&
            !oftunnel_entry_create(&agent.tunnels, &key, req->tunnel->tun_index)) {
            host_peer_send_error(s, OFPET_BAD_REQUEST, AGENT_OFPBRC_EPERM, s->cur, s->cur_len);
            return;
        }
        host_say("tunnel %s: index %u", req->opcode == 1 ? "set" : "removed",
                 (unsigned)req->tunnel->tun_index);
    }
    list.num_tunnels = tunnels_collect(entries, ptrs, 256);
    list.tunnels = list.num_tunnels ? ptrs : NULL;
    host_peer_send_encoded(s, OFPT_EXPERIMENTER, &reply, xid);
}

static void station_message(const ofmsg_exp_openflow_mac *mac) {
    uint32_t i;
    for (i = 0; i < agent.n_stations; i++)
        if (memcmp(agent.stations[i].station_mac, mac->station_mac, 6) == 0) break;
    /* Opcodes: 1 adds (or moves) a station, 2 removes it. */
    if (mac->opcode == 2 && i < agent.n_stations) {
        agent.stations[i] = agent.stations[--agent.n_stations];
    } else if (mac->opcode == 1 &&
               (i < agent.n_stations || agent.n_stations < AGENT_MAX_STATIONS)) {
        if (i == agent.n_stations) agent.n_stations++;
        memcpy(agent.stations[i].station_mac, mac->station_mac, 6);
        memcpy(agent.stations[i].bss_mac, mac->bss_mac, 6);
    }
    host_say("stations known: %u", (unsigned)agent.n_stations);
}

static void on_experimenter(void *body, ofmsg *msg) {
    ofmsg_exp *exp = body;
    print_rx(msg, body);
    if (exp->exp_type == ZELTA_EXP_TUNNEL_V4_REQ)
        tunnel_request(session_of(msg), exp->data, msg->xid);
    else if (exp->exp_type == ZELTA_EXP_OPENFLOW_MAC)
        station_message(exp->data);
    ofmsg_free(OFPT_EXPERIMENTER, body);
}

/* ---- Registration and the receive road --------------------------------------------------- */

void agent_register_callbacks(void) {
    ofmsg_rx_cb cbs[OFMSG_NUM_TYPES] = {0};
    cbs[OFPT_ERROR] = on_error;
    cbs[OFPT_ECHO_REQUEST] = host_on_echo_request;
    cbs[OFPT_EXPERIMENTER] = on_experimenter;
    cbs[OFPT_FEATURES_REQUEST] = on_features_request;
    cbs[OFPT_FEATURES_REPLY] = on_unexpected;
    cbs[OFPT_SET_CONFIG] = on_set_config;
    cbs[OFPT_PACKET_IN] = on_unexpected;
    cbs[OFPT_PORT_STATUS] = on_unexpected;
    cbs[OFPT_FLOW_MOD] = on_flow_mod;
    cbs[OFPT_MULTIPART_REQUEST] = on_multipart_request;
    cbs[OFPT_MULTIPART_REPLY] = on_unexpected;
    ofmsg_register_callbacks(cbs);
}

/* Types the codec never decodes get small answers built from their bytes. Returns 1 when
 * the message was handled here. */
static int receive_raw(session *s, const uint8_t *bytes, uint32_t len) {
    uint32_t xid = host_get32(bytes + 4);
    uint8_t config[4];
    switch (bytes[1]) {
        case OFPT_BARRIER_REQUEST:
            /* Every earlier message has been handled already: answer at once. */
            host_print_message(s->name, "<-", bytes, NULL);
            host_peer_send_raw(s, OFPT_BARRIER_REPLY, xid, NULL, 0);
            return 1;
        case OFPT_GET_CONFIG_REQUEST:
            host_print_message(s->name, "<-", bytes, NULL);
            host_put16(config, agent.config_flags);
            host_put16(config + 2, agent.miss_send_len);
            host_peer_send_raw(s, OFPT_GET_CONFIG_REPLY, xid, config, sizeof config);
            return 1;
        case OFPT_PACKET_OUT:
            host_print_message(s->name, "<-", bytes, NULL);
            ports_packet_out(s, bytes, len);
            return 1;
        default:
            return 0;
    }
}

void agent_receive(session *s, const uint8_t *bytes, uint32_t len) {
    int32_t status;
    if (host_peer_receive(s, bytes, len) || receive_raw(s, bytes, len)) return;
    status = host_peer_decode(s, bytes, len);
    if (status == OFMSG_DECODE_OK) return;
    host_say("%s <- %s (refused: status 0x%08x)", s->name, ofmsg_print(bytes, NULL),
             (unsigned)status);
    if (status == OFMSG_ERR_SHORT_ERROR_MSG || status == OFMSG_ERR_NO_MEMORY) return;
    /* Not type/code pairs (a truncated error, which an error must not answer, and our own
     * memory running out): logged only. The rest carry the OpenFlow type and code, except
     * the codec's code 10 for a type it does not handle, which OpenFlow 1.3 peers read as
     * IS_SLAVE: that one is answered as "bad type". */
    if (status == OFMSG_ERR_UNHANDLED_TYPE)
        host_peer_send_error(s, OFPET_BAD_REQUEST, OFPBRC_BAD_TYPE, bytes, len);
    else
        host_peer_send_error(s, (uint16_t)(((uint32_t)status >> 16) & 0x7fff),
                             (uint16_t)((uint32_t)status & 0xffff), bytes, len);
}
