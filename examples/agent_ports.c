/*
 * ofagentd's simulated ports. Each round of activity (a timer or SIGUSR1) flips the link of
 * one port (OFPT_PORT_STATUS to the controller) and lets a TCP packet arrive on another; the
 * packet goes through the flow table, and a flow that outputs to the controller turns it into
 * an OFPT_PACKET_IN.
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
#define OFPR_ACTION 1
#define FRAME_LEN 60

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
    session_send_encoded(agent.controller, OFPT_PORT_STATUS, &ps, (uint32_t)ofmsg_generate_xid());
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

/* An Ethernet/IPv4/TCP SYN from 10.0.0.<port> to 10.0.0.<next port>, port 80. */
static void build_frame(const agent_port *in, uint8_t *frame, uint32_t *src_ip, uint32_t *dst_ip) {
    uint8_t *ip = frame + 14, *tcp = frame + 34;
    memset(frame, 0, FRAME_LEN);
    memcpy(frame, "\x02\x00\x00\x00\x00\xff", 6);
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

static void send_packet_in(const agent_flow *f, const agent_port *in, uint8_t *frame,
                           uint16_t max_len) {
    ofmsg_packet_in pi;
    ofmsg_flow_match *m = ofmsg_match_create();
    if (!m) return;
    ofmsg_match_tlv_create_32_value(m, (uint32_t)ofoxm_from_oxm_to_idx(OXM_OF_IN_PORT),
                                    ofoxm_header_value(OXM_OF_IN_PORT, 0), in->port_no);
    memset(&pi, 0, sizeof pi);
    pi.buffer_id = HOST_OFP_NO_BUFFER;
    pi.total_len = FRAME_LEN;
    /* A table-miss flow (priority 0, empty match) reports a miss, any other an action. */
    pi.reason = (f->fm->priority == 0 && f->fm->match->length == 0) ? OFPR_NO_MATCH : OFPR_ACTION;
    pi.table_id = f->fm->table_id;
    pi.cookie = f->fm->cookie;
    pi.match = m;
    pi.data_len = max_len < FRAME_LEN ? max_len : FRAME_LEN;
    pi.data = pi.data_len ? frame : NULL;
    session_send_encoded(agent.controller, OFPT_PACKET_IN, &pi, (uint32_t)ofmsg_generate_xid());
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
        printf("packet on %s: no flow, dropped\n", in->name);
        return;
    }
    f->packet_count++;
    f->byte_count += FRAME_LEN;
    f->used_ms = host_now_ms();
    if (!flows_first_output(f, &out_port, &max_len)) {
        printf("packet on %s: flow without output, dropped\n", in->name);
    } else if (out_port == HOST_OFPP_CONTROLLER) {
        printf("packet on %s: to the controller\n", in->name);
        if (agent.controller) send_packet_in(f, in, frame, max_len);
    } else if ((out = ports_find(out_port)) != NULL) {
        out->tx_packets++;
        printf("packet on %s: forwarded to %s\n", in->name, out->name);
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
    printf("%s link %s\n", flip->name, flip->state & OFPPS_LINK_DOWN ? "down" : "up");
    if (agent.controller) send_port_status(flip);
}
