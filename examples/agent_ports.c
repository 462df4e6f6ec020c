/*
 * ofagentd's simulated ports. Each round of activity (a timer or SIGUSR1) flips the link of
 * one port (OFPT_PORT_STATUS to the controller) and lets a TCP packet arrive on another, sent
 * by the host behind that port to the host behind the next one; the packet goes through the
 * flow table, and a flow that outputs to the controller turns it into an OFPT_PACKET_IN. The
 * controller's OFPT_PACKET_OUT sends a frame out of ports (or back to it), so a MAC-learning
 * controller sees its hosts and installs flows for them.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "agent.h"
#include "hostutil.h"

#define OFPPS_LINK_DOWN 0x1u
#define OFPPF_1GB_FD 0x20u
#define OFPPF_COPPER 0x800u
#define OFPR_NO_MATCH 0
#define FRAME_LEN 60
#define PACKET_OUT_LEN 24 /* header, buffer_id, in_port, actions_len, pad */
#define ACTION_OUTPUT_LEN 16

static uint32_t round_no;

void ports_init(uint32_t n) {
    uint32_t i;
    if (n > AGENT_MAX_PORTS) n = AGENT_MAX_PORTS;
    agent.n_ports = n;
    for (i = 0; i < n; i++) {
        agent_port *p = &agent.ports[i];
        memset(p, 0, sizeof *p);
        p->port_no = i + 1;
        p->hw_addr[0] = 0x02;
        p->hw_addr[5] = (uint8_t)(i + 1);
        snprintf(p->name, sizeof p->name, "port%u", (unsigned)(i + 1));
    }
}

agent_port *ports_find(uint32_t port_no) {
    if (port_no == 0 || port_no > agent.n_ports) return NULL;
    return &agent.ports[port_no - 1];
}

void ports_describe(const agent_port *p, ofstruct_port *out) {
    out->port_no = p->port_no;
    memcpy(out->hw_addr, p->hw_addr, 6);
    out->name = (char *)p->name;
    out->state = p->state;
    out->curr = out->advertised = out->supported = OFPPF_1GB_FD | OFPPF_COPPER;
    out->curr_speed = out->max_speed = 1000000; /* kbps */
}

static void send_port_status(const agent_port *p) {
    ofstruct_port desc;
    ofmsg_port_status ps = {OFPPR_MODIFY, &desc};
    memset(&desc, 0, sizeof desc);
    ports_describe(p, &desc);
    host_peer_send_encoded(agent.controller, OFPT_PORT_STATUS, &ps, (uint32_t)ofmsg_generate_xid());
}

static uint16_t ip_checksum(const uint8_t *hdr, size_t len) {
    uint32_t sum = 0;
    size_t i;
    for (i = 0; i + 1 < len; i += 2)
        sum += (uint32_t)(hdr[i] << 8 | hdr[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return (uint16_t)~sum;
}

/* An Ethernet/IPv4/TCP SYN from the host behind a port (10.0.0.<port>, the port's MAC) to
 * the host behind the next port, port 80. */
static void build_frame(const agent_port *in, uint8_t *frame, uint32_t *src_ip, uint32_t *dst_ip) {
    uint8_t *ip = frame + 14, *tcp = frame + 34;
    const agent_port *next = &agent.ports[in->port_no % agent.n_ports];
    memset(frame, 0, FRAME_LEN);
    memcpy(frame, next->hw_addr, 6);
    memcpy(frame + 6, in->hw_addr, 6);
    host_put16(frame + 12, 0x0800);
    *src_ip = 0x0a000000u | in->port_no;
    *dst_ip = 0x0a000000u | (in->port_no % agent.n_ports + 1);
    ip[0] = 0x45;
    host_put16(ip + 2, 40);
    ip[8] = 64;
    ip[9] = 6;
    host_put32(ip + 12, *src_ip);
    host_put32(ip + 16, *dst_ip);
    host_put16(ip + 10, ip_checksum(ip, 20));
    host_put16(tcp, (uint16_t)(40000 + in->port_no));
    host_put16(tcp + 2, 80);
    tcp[12] = 0x50;
    tcp[13] = 0x02; /* SYN */
    host_put16(tcp + 14, 65535);
}

/* The packet's header fields as a match, for the flow-table lookup and the packet-in. */
static ofmsg_flow_match *frame_fields(const agent_port *in, const uint8_t *frame, uint32_t src_ip,
                                      uint32_t dst_ip) {
    ofmsg_flow_match *m = ofmsg_match_create();
    if (!m) return NULL;
#define SLOT(f) (uint32_t) ofoxm_from_oxm_to_idx(f), ofoxm_header_value(f, 0)
    ofmsg_match_tlv_create_32_value(m, SLOT(OXM_OF_IN_PORT), in->port_no);
    ofmsg_match_tlv_create_eth_value(m, SLOT(OXM_OF_ETH_DST), frame);
    ofmsg_match_tlv_create_eth_value(m, SLOT(OXM_OF_ETH_SRC), frame + 6);
    ofmsg_match_tlv_create_16_value(m, SLOT(OXM_OF_ETH_TYPE), 0x0800);
    ofmsg_match_tlv_create_8_value(m, SLOT(OXM_OF_IP_PROTO), 6);
    ofmsg_match_tlv_create_32_value(m, SLOT(OXM_OF_IPV4_SRC), src_ip);
    ofmsg_match_tlv_create_32_value(m, SLOT(OXM_OF_IPV4_DST), dst_ip);
    ofmsg_match_tlv_create_16_value(m, SLOT(OXM_OF_TCP_SRC), (uint16_t)(40000 + in->port_no));
    ofmsg_match_tlv_create_16_value(m, SLOT(OXM_OF_TCP_DST), 80);
#undef SLOT
    return m;
}

static void send_packet_in(uint8_t reason, uint8_t table_id, uint64_t cookie, uint32_t in_port,
                           const uint8_t *frame, uint32_t frame_len, uint16_t max_len) {
    ofmsg_packet_in pi;
    ofmsg_flow_match *m = ofmsg_match_create();
    if (!m || !agent.controller) {
        if (m) ofmsg_flow_match_free(m);
        return;
    }
    ofmsg_match_tlv_create_32_value(m, (uint32_t)ofoxm_from_oxm_to_idx(OXM_OF_IN_PORT),
                                    ofoxm_header_value(OXM_OF_IN_PORT, 0), in_port);
    memset(&pi, 0, sizeof pi);
    pi.buffer_id = HOST_OFP_NO_BUFFER;
    pi.total_len = (uint16_t)frame_len;
    pi.reason = reason;
    pi.table_id = table_id;
    pi.cookie = cookie;
    pi.match = m;
    /* No buffers: max_len only cuts the data (OFPCML_NO_BUFFER asks for all of it). */
    pi.data_len = max_len < frame_len ? max_len : frame_len;
    pi.data = pi.data_len ? (uint8_t *)frame : NULL;
    host_peer_send_encoded(agent.controller, OFPT_PACKET_IN, &pi, (uint32_t)ofmsg_generate_xid());
    ofmsg_flow_match_free(m);
}

static void packet_arrives(agent_port *in) {
    uint8_t frame[FRAME_LEN];
    uint32_t src_ip, dst_ip, out_port = 0;
    uint16_t max_len = 0;
    ofmsg_flow_match *fields;
    agent_flow *f;
    agent_port *out;

    build_frame(in, frame, &src_ip, &dst_ip);
    fields = frame_fields(in, frame, src_ip, dst_ip);
    if (!fields) return;
    in->rx_packets++;
    f = flows_lookup(fields);
    ofmsg_flow_match_free(fields);
    if (!f) {
        host_say("packet on %s: no flow, dropped", in->name);
        return;
    }
    f->packet_count++;
    f->byte_count += FRAME_LEN;
    f->used_ms = host_now_ms();
    if (!flows_first_output(f, &out_port, &max_len)) {
        host_say("packet on %s: flow without output, dropped", in->name);
    } else if (out_port == HOST_OFPP_CONTROLLER) {
        host_say("packet on %s: to the controller", in->name);
        /* A table-miss flow (priority 0, empty match) reports a miss, any other an action. */
        send_packet_in(
            f->fm->priority == 0 && f->fm->match->length == 0 ? OFPR_NO_MATCH : HOST_OFPR_ACTION,
            f->fm->table_id, f->fm->cookie, in->port_no, frame, FRAME_LEN, max_len);
    } else if ((out = ports_find(out_port)) != NULL) {
        out->tx_packets++;
        host_say("packet on %s: forwarded to %s", in->name, out->name);
    }
}

void ports_simulate_round(void) {
    agent_port *flip, *in;
    if (agent.n_ports == 0) return;
    round_no++;
    /* A packet on one port, then a port going down and (next round) up again. */
    in = &agent.ports[round_no % agent.n_ports];
    if (!(in->state & OFPPS_LINK_DOWN)) packet_arrives(in);
    flip = &agent.ports[((round_no - 1) / 2) % agent.n_ports];
    flip->state ^= OFPPS_LINK_DOWN;
    host_say("%s link %s", flip->name, flip->state & OFPPS_LINK_DOWN ? "down" : "up");
    if (agent.controller) send_port_status(flip);
}

/* ---- OFPT_PACKET_OUT ---------------------------------------------------------------------- */

/* Adds where one output action sends the frame: a bit per simulated port (bit i for port
 * i + 1), or the controller. 0 when the port is valid, else -1 (OFPBAC_BAD_OUT_PORT). */
static int output_ports(uint32_t port, uint32_t in_port, uint64_t *mask, int *to_controller) {
    uint32_t i;
    if (port == HOST_OFPP_FLOOD || port == HOST_OFPP_ALL) {
        for (i = 0; i < agent.n_ports; i++)
            if (agent.ports[i].port_no != in_port && !(agent.ports[i].state & OFPPS_LINK_DOWN))
                *mask |= 1ull << i;
    } else if (port == HOST_OFPP_CONTROLLER) {
        *to_controller = 1;
    } else if (port == HOST_OFPP_IN_PORT && ports_find(in_port)) {
        *mask |= 1ull << (in_port - 1);
    } else if (ports_find(port)) {
        /* A frame leaves by its ingress port only through OFPP_IN_PORT. */
        if (port != in_port) *mask |= 1ull << (port - 1);
    } else {
        return -1; /* TABLE, NORMAL, LOCAL or no such port */
    }
    return 0;
}

/* The OFPBAC code for the action at a (room bytes left in the action list), or -1 when it is
 * an output this agent can do (its destinations added). */
static int check_action(const uint8_t *a, uint32_t room, uint32_t in_port, uint64_t *mask,
                        int *to_controller, uint16_t *max_len) {
    uint16_t act_len;
    uint32_t port;
    if (room < 8 || (act_len = host_get16(a + 2)) < 8 || act_len % 8 || act_len > room)
        return OFPBAC_BAD_LEN;
    if (host_get16(a) != OFPAT_OUTPUT) return OFPBAC_BAD_TYPE;
    if (act_len != ACTION_OUTPUT_LEN) return OFPBAC_BAD_LEN;
    port = host_get32(a + 4);
    if (port == HOST_OFPP_CONTROLLER) *max_len = host_get16(a + 8);
    return output_ports(port, in_port, mask, to_controller) == 0 ? -1 : AGENT_OFPBAC_BAD_OUT_PORT;
}

void ports_packet_out(session *s, const uint8_t *bytes, uint32_t len) {
    uint32_t buffer_id, in_port, actions_len, off, i, n = 0;
    uint16_t max_len = HOST_OFPCML_NO_BUFFER;
    const uint8_t *data;
    uint64_t mask = 0;
    int to_controller = 0, code;
    char sent[AGENT_MAX_PORTS * 8 + 32] = "";

    if (len < PACKET_OUT_LEN || PACKET_OUT_LEN + (actions_len = host_get16(bytes + 16)) > len) {
        host_peer_send_error(s, OFPET_BAD_REQUEST, OFPBRC_BAD_LEN, bytes, len);
        return;
    }
    buffer_id = host_get32(bytes + 8);
    in_port = host_get32(bytes + 12);
    if (buffer_id != HOST_OFP_NO_BUFFER) { /* the agent keeps no buffers (n_buffers 0) */
        host_peer_send_error(s, OFPET_BAD_REQUEST, AGENT_OFPBRC_BUFFER_UNKNOWN, bytes, len);
        return;
    }
    if (!ports_find(in_port) && in_port != HOST_OFPP_CONTROLLER && in_port != HOST_OFPP_ANY) {
        host_peer_send_error(s, OFPET_BAD_REQUEST, AGENT_OFPBRC_BAD_PORT, bytes, len);
        return;
    }
    /* Every action is checked before the frame goes anywhere. */
    for (off = PACKET_OUT_LEN; off < PACKET_OUT_LEN + actions_len;
         off += host_get16(bytes + off + 2)) {
        code = check_action(bytes + off, PACKET_OUT_LEN + actions_len - off, in_port, &mask,
                            &to_controller, &max_len);
        if (code >= 0) {
            host_peer_send_error(s, OFPET_BAD_ACTION, (uint16_t)code, bytes, len);
            return;
        }
    }
    data = bytes + PACKET_OUT_LEN + actions_len;
    n = len - PACKET_OUT_LEN - actions_len;
    for (i = 0; i < agent.n_ports; i++) {
        if (!(mask & (1ull << i))) continue;
        agent.ports[i].tx_packets++;
        snprintf(sent + strlen(sent), sizeof sent - strlen(sent), " %s", agent.ports[i].name);
    }
    if (to_controller) {
        snprintf(sent + strlen(sent), sizeof sent - strlen(sent), " controller");
        send_packet_in(HOST_OFPR_ACTION, 0, 0, in_port, data, n, max_len);
    }
    host_say("packet-out from %s (%u bytes, in_port %u): %s%s", s->name, (unsigned)n,
             (unsigned)in_port, sent[0] ? "sent to" : "dropped", sent);
}
