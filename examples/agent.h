/*
 * ofagentd's shared state: its sessions (the controller connection and the local --listen
 * clients), its simulated switch (ports, flow table, tunnels, stations) and the functions the
 * agent's files offer each other.
 */
#ifndef AGENT_H
#define AGENT_H

#include <stddef.h>
#include <stdint.h>

#include <ofconn.h>
#include <ofmsg.h>
#include <oftunnel.h>

#include "hostutil.h"

#define AGENT_MAX_PORTS 64
#define AGENT_MAX_FLOWS 4096
#define AGENT_MAX_STATIONS 64
#define AGENT_N_TABLES 1

/* OpenFlow error types and codes the codec's header does not name. */
#define AGENT_OFPBRC_EPERM 5
#define AGENT_OFPBRC_BUFFER_UNKNOWN 8
#define AGENT_OFPBRC_BAD_PORT 11
#define AGENT_OFPBAC_BAD_OUT_PORT 4
#define AGENT_OFPET_FLOW_MOD_FAILED 5
#define AGENT_OFPFMFC_TABLE_FULL 1
#define AGENT_OFPFMFC_OVERLAP 3
#define AGENT_OFPFMFC_BAD_TABLE_ID 9
#define AGENT_OFPFMFC_BAD_COMMAND 8
#define AGENT_OFPFF_CHECK_OVERLAP 0x0002u
#define AGENT_OFPFF_RESET_COUNTS 0x0004u

/* One peer of the agent: the controller connection or a local --listen client. */
typedef host_peer session;

typedef struct agent_port {
    uint32_t port_no;
    uint8_t hw_addr[6];
    char name[16];
    uint32_t state; /* OFPPS_LINK_DOWN while down */
    uint64_t rx_packets;
    uint64_t tx_packets;
} agent_port;

typedef struct agent_flow {
    ofmsg_flow_mod *fm; /* the received record, kept: owns the match and instructions */
    uint64_t installed_ms;
    uint64_t used_ms;
    uint64_t packet_count;
    uint64_t byte_count;
    struct agent_flow *next; /* highest priority first */
} agent_flow;

typedef struct agent_station {
    uint8_t station_mac[6];
    uint8_t bss_mac[6];
} agent_station;

typedef struct agent_state {
    uint64_t dpid;
    uint32_t n_ports;
    agent_port ports[AGENT_MAX_PORTS];
    uint16_t config_flags;
    uint16_t miss_send_len;
    agent_flow *flows;
    uint32_t n_flows;
    oftunnel_table tunnels;
    agent_station stations[AGENT_MAX_STATIONS];
    uint32_t n_stations;
    session *controller; /* the live controller session, or null */
} agent_state;

extern agent_state agent;

/* ---- The controller session (ofagentd.c) ---- */
/* The controller completed the features exchange: the session is established. */
void agent_controller_established(void);

/* ---- Messages (agent_handlers.c) ---- */
void agent_register_callbacks(void);
/* One received message: the raw types first, then the codec. */
void agent_receive(session *s, const uint8_t *bytes, uint32_t len);

/* ---- Flow table (agent_flows.c) ---- */
/* Applies a decoded flow-mod and takes the record. */
void flows_apply(session *s, ofmsg_flow_mod *fm);
/* Answers an OFPMP_FLOW request (possibly in several replies). */
void flows_stats_reply(session *s, const ofmsg_flow_stats_request *req, uint32_t xid);
/* Removes flows whose idle or hard timeout has passed, telling the controller. */
void flows_expire(uint64_t now_ms);
/* The highest-priority flow matching a packet described by a match, or null. */
agent_flow *flows_lookup(const ofmsg_flow_match *packet);
/* The first output port of a flow's apply-actions, with its max_len; 0 when it has none. */
int flows_first_output(const agent_flow *f, uint32_t *port, uint16_t *max_len);
void flows_clear(void);

/* ---- Simulated ports (agent_ports.c) ---- */
void ports_init(uint32_t n);
agent_port *ports_find(uint32_t port_no);
/* Fills a zeroed ofstruct_port from a simulated port (name points into the port). */
void ports_describe(const agent_port *p, ofstruct_port *out);
/* One round of simulated activity: a port changes state, a packet arrives on a port. */
void ports_simulate_round(void);
/* OFPT_PACKET_OUT, read from the raw bytes (the codec does not decode it): the frame goes out
 * of simulated ports or to the controller; what the agent cannot do is answered with an
 * OFPT_ERROR. */
void ports_packet_out(session *s, const uint8_t *bytes, uint32_t len);

#endif /* AGENT_H */
