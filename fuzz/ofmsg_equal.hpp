// Deep equality of codec records, for round-trip oracles (the fuzzer and the codec tests):
// two records are equal when every field and everything they own is equal.
#pragma once

#include <cstdlib>
#include <cstring>

#include "ofmsg.h"

namespace ofmsg_equal {

template <class T>
bool both_null_or(const T *a, const T *b, bool (*eq)(const T *, const T *)) {
    if (!a || !b) return a == b;
    return eq(a, b);
}

// Compares two untyped bodies with the equality of their record type.
template <class T>
bool as(const void *a, const void *b, bool (*eq)(const T *, const T *)) {
    return eq(static_cast<const T *>(a), static_cast<const T *>(b));
}

inline bool bytes_eq(const void *a, const void *b, size_t n) {
    if (n == 0) return true;
    if (!a || !b) return false;
    return std::memcmp(a, b, n) == 0;
}

inline bool tlv_eq(const ofmsg_match_tlv *a, const ofmsg_match_tlv *b) {
    return a->header == b->header && bytes_eq(a->value, b->value, OFOXM_LENGTH(a->header));
}

inline bool match_eq(const ofmsg_flow_match *a, const ofmsg_flow_match *b) {
    if (a->type != b->type || a->length != b->length) return false;
    for (int i = 0; i < OFOXM_IDX_COUNT; i++)
        if (!both_null_or<ofmsg_match_tlv>(a->tlvs[i], b->tlvs[i], tlv_eq)) return false;
    return true;
}

inline bool exp_action_eq(const ofmsg_action_experimenter *a, const ofmsg_action_experimenter *b) {
    if (a->exp_type != b->exp_type) return false;
    if (!a->data || !b->data) return a->data == b->data;
    switch (a->exp_type) {
        case ZELTA_ACTION_EXP_SET_FLAG:
        case ZELTA_ACTION_EXP_OVERWRITE_FLAG:
        case ZELTA_ACTION_EXP_REMOVE_FLAG:
            return static_cast<const ofmsg_action_exp_flag *>(a->data)->soflagbits ==
                   static_cast<const ofmsg_action_exp_flag *>(b->data)->soflagbits;
        case ZELTA_ACTION_EXP_OUTPUT: {
            auto *x = static_cast<const ofmsg_action_exp_zelta_output *>(a->data);
            auto *y = static_cast<const ofmsg_action_exp_zelta_output *>(b->data);
            return x->port == y->port && x->max_packet_count == y->max_packet_count;
        }
        case ZELTA_ACTION_EXP_SET_APPID:
            return static_cast<const ofmsg_action_exp_appid *>(a->data)->appid ==
                   static_cast<const ofmsg_action_exp_appid *>(b->data)->appid;
        default:
            return true;
    }
}

inline bool action_eq(const ofmsg_action *a, const ofmsg_action *b) {
    if (a->type != b->type || a->len != b->len) return false;
    if (!a->body || !b->body) return a->body == b->body;
    switch (a->type) {
        case OFPAT_OUTPUT: {
            auto *x = static_cast<const ofmsg_action_output *>(a->body);
            auto *y = static_cast<const ofmsg_action_output *>(b->body);
            return x->port == y->port && x->max_len == y->max_len;
        }
        case OFPAT_SET_FIELD:
            return both_null_or<ofmsg_match_tlv>(
                static_cast<const ofmsg_action_set_field *>(a->body)->tlv,
                static_cast<const ofmsg_action_set_field *>(b->body)->tlv, tlv_eq);
        case OFPAT_EXPERIMENTER:
            return as(a->body, b->body, exp_action_eq);
        default:
            return true;
    }
}

inline bool action_list_eq(const ofmsg_instruction_actions *a, const ofmsg_instruction_actions *b) {
    if (a->num_actions != b->num_actions || a->len != b->len) return false;
    for (uint32_t i = 0; i < a->num_actions; i++)
        if (!both_null_or<ofmsg_action>(a->actions[i], b->actions[i], action_eq)) return false;
    return true;
}

inline bool instruction_eq(const ofmsg_instruction *a, const ofmsg_instruction *b) {
    return a->type == b->type && a->len == b->len &&
           both_null_or<ofmsg_instruction_actions>(a->body, b->body, action_list_eq);
}

inline bool instructions_eq(const ofmsg_flow_instructions *a, const ofmsg_flow_instructions *b) {
    if (a->num_inst != b->num_inst || a->len != b->len) return false;
    for (uint32_t i = 0; i < a->num_inst; i++)
        if (!both_null_or<ofmsg_instruction>(a->instructions[i], b->instructions[i],
                                             instruction_eq))
            return false;
    return true;
}

inline bool error_eq(const ofmsg_error *a, const ofmsg_error *b) {
    return a->type == b->type && a->code == b->code && a->data_len == b->data_len &&
           bytes_eq(a->data, b->data, a->data_len);
}

inline bool echo_eq(const ofmsg_echo *a, const ofmsg_echo *b) {
    return a->payload64 == b->payload64 && a->payload32a == b->payload32a &&
           a->payload32b == b->payload32b;
}

inline bool features_eq(const ofmsg_switch_features *a, const ofmsg_switch_features *b) {
    return a->datapath_id == b->datapath_id && a->n_buffers == b->n_buffers &&
           a->n_tables == b->n_tables && a->auxiliary_id == b->auxiliary_id &&
           a->capabilities == b->capabilities && a->reserved == b->reserved;
}

inline bool port_eq(const ofstruct_port *a, const ofstruct_port *b) {
    const char *na = a->name ? a->name : "", *nb = b->name ? b->name : "";
    return a->port_no == b->port_no && std::memcmp(a->hw_addr, b->hw_addr, 6) == 0 &&
           std::strncmp(na, nb, 16) == 0 && a->config == b->config && a->state == b->state &&
           a->curr == b->curr && a->advertised == b->advertised && a->supported == b->supported &&
           a->peer == b->peer && a->curr_speed == b->curr_speed && a->max_speed == b->max_speed;
}

inline bool port_status_eq(const ofmsg_port_status *a, const ofmsg_port_status *b) {
    return a->reason == b->reason && both_null_or<ofstruct_port>(a->desc, b->desc, port_eq);
}

inline bool optional_match_eq(const ofmsg_flow_match *a, const ofmsg_flow_match *b) {
    return both_null_or<ofmsg_flow_match>(a, b, match_eq);
}

inline bool optional_instructions_eq(const ofmsg_flow_instructions *a,
                                     const ofmsg_flow_instructions *b) {
    return both_null_or<ofmsg_flow_instructions>(a, b, instructions_eq);
}

inline bool flow_mod_eq(const ofmsg_flow_mod *a, const ofmsg_flow_mod *b) {
    return a->cookie == b->cookie && a->cookie_mask == b->cookie_mask &&
           a->table_id == b->table_id && a->command == b->command &&
           a->idle_timeout == b->idle_timeout && a->hard_timeout == b->hard_timeout &&
           a->priority == b->priority && a->buffer_id == b->buffer_id &&
           a->out_port == b->out_port && a->out_group == b->out_group && a->flags == b->flags &&
           optional_match_eq(a->match, b->match) &&
           optional_instructions_eq(a->instructions, b->instructions);
}

inline bool flow_removed_eq(const ofmsg_flow_removed *a, const ofmsg_flow_removed *b) {
    return a->cookie == b->cookie && a->priority == b->priority && a->reason == b->reason &&
           a->table_id == b->table_id && a->duration_sec == b->duration_sec &&
           a->duration_nsec == b->duration_nsec && a->idle_timeout == b->idle_timeout &&
           a->hard_timeout == b->hard_timeout && a->packet_count == b->packet_count &&
           a->byte_count == b->byte_count && optional_match_eq(a->match, b->match);
}

inline bool packet_in_eq(const ofmsg_packet_in *a, const ofmsg_packet_in *b) {
    return a->buffer_id == b->buffer_id && a->total_len == b->total_len && a->reason == b->reason &&
           a->table_id == b->table_id && a->cookie == b->cookie &&
           optional_match_eq(a->match, b->match) && a->data_len == b->data_len &&
           bytes_eq(a->data, b->data, a->data_len);
}

inline bool flow_stats_request_eq(const ofmsg_flow_stats_request *a,
                                  const ofmsg_flow_stats_request *b) {
    return a->table_id == b->table_id && a->out_port == b->out_port &&
           a->out_group == b->out_group && a->cookie == b->cookie &&
           a->cookie_mask == b->cookie_mask && optional_match_eq(a->match, b->match);
}

inline bool multipart_request_eq(const ofmsg_multipart_request *a,
                                 const ofmsg_multipart_request *b) {
    if (a->type != b->type || a->flags != b->flags) return false;
    if (!a->body || !b->body) return a->body == b->body;
    switch (a->type) {
        case OFPMP_FLOW:
            return as(a->body, b->body, flow_stats_request_eq);
        case OFPMP_PORT_STATS:
            return bytes_eq(a->body, b->body, 4);
        default:
            return true;
    }
}

inline bool desc_eq(const ofmsg_switch_desc_reply *a, const ofmsg_switch_desc_reply *b) {
    return std::strncmp(a->mfr_desc, b->mfr_desc, sizeof a->mfr_desc) == 0 &&
           std::strncmp(a->hw_desc, b->hw_desc, sizeof a->hw_desc) == 0 &&
           std::strncmp(a->sw_desc, b->sw_desc, sizeof a->sw_desc) == 0 &&
           std::strncmp(a->serial_num, b->serial_num, sizeof a->serial_num) == 0 &&
           std::strncmp(a->dp_desc, b->dp_desc, sizeof a->dp_desc) == 0;
}

inline bool flow_stat_eq(const ofmsg_flow_stat *a, const ofmsg_flow_stat *b) {
    return a->table_id == b->table_id && a->duration_sec == b->duration_sec &&
           a->duration_nsec == b->duration_nsec && a->priority == b->priority &&
           a->idle_timeout == b->idle_timeout && a->hard_timeout == b->hard_timeout &&
           a->cookie == b->cookie && a->packet_count == b->packet_count &&
           a->byte_count == b->byte_count && optional_match_eq(a->match, b->match) &&
           optional_instructions_eq(a->instructions, b->instructions);
}

inline bool flow_stats_reply_eq(const ofmsg_flow_stats_reply *a, const ofmsg_flow_stats_reply *b) {
    if (a->num_flows != b->num_flows) return false;
    for (uint32_t i = 0; i < a->num_flows; i++)
        if (!both_null_or<ofmsg_flow_stat>(a->flow_stats[i], b->flow_stats[i], flow_stat_eq))
            return false;
    return true;
}

inline bool port_stats_reply_eq(const ofmsg_port_stats_reply *a, const ofmsg_port_stats_reply *b) {
    if (a->num_ports != b->num_ports) return false;
    for (uint32_t i = 0; i < a->num_ports; i++) {
        const ofmsg_port_stats &x = a->port_stats[i], &y = b->port_stats[i];
        if (x.port_no != y.port_no || x.rx_packets != y.rx_packets || x.tx_packets != y.tx_packets)
            return false;
    }
    return true;
}

inline bool port_desc_reply_eq(const ofmsg_port_desc_reply *a, const ofmsg_port_desc_reply *b) {
    if (a->num_ports != b->num_ports) return false;
    for (uint32_t i = 0; i < a->num_ports; i++)
        if (!both_null_or<ofstruct_port>(a->ports[i], b->ports[i], port_eq)) return false;
    return true;
}

inline bool multipart_reply_eq(const ofmsg_multipart_reply *a, const ofmsg_multipart_reply *b) {
    if (a->type != b->type || a->flags != b->flags) return false;
    if (!a->body || !b->body) return a->body == b->body;
    switch (a->type) {
        case OFPMP_DESC:
            return as(a->body, b->body, desc_eq);
        case OFPMP_FLOW:
            return as(a->body, b->body, flow_stats_reply_eq);
        case OFPMP_PORT_STATS:
            return as(a->body, b->body, port_stats_reply_eq);
        case OFPMP_PORT_DESC:
            return as(a->body, b->body, port_desc_reply_eq);
        default:
            return true;
    }
}

inline bool tunnel_eq(const ofmsg_exp_tunnel_v4 *a, const ofmsg_exp_tunnel_v4 *b) {
    return a->tun_index == b->tun_index && a->tun_dest_ip == b->tun_dest_ip;
}

inline bool exp_eq(const ofmsg_exp *a, const ofmsg_exp *b) {
    if (a->exp_type != b->exp_type) return false;
    if (!a->data || !b->data) return a->data == b->data;
    switch (a->exp_type) {
        case ZELTA_EXP_TUNNEL_V4_REQ: {
            auto *x = static_cast<const ofmsg_exp_tunnel_v4_request *>(a->data);
            auto *y = static_cast<const ofmsg_exp_tunnel_v4_request *>(b->data);
            return x->opcode == y->opcode &&
                   both_null_or<ofmsg_exp_tunnel_v4>(x->tunnel, y->tunnel, tunnel_eq);
        }
        case ZELTA_EXP_TUNNEL_V4_REPLY: {
            auto *x = static_cast<const ofmsg_exp_tunnel_v4_reply *>(a->data);
            auto *y = static_cast<const ofmsg_exp_tunnel_v4_reply *>(b->data);
            if (x->num_tunnels != y->num_tunnels) return false;
            for (uint32_t i = 0; i < x->num_tunnels; i++)
                if (!both_null_or<ofmsg_exp_tunnel_v4>(x->tunnels[i], y->tunnels[i], tunnel_eq))
                    return false;
            return true;
        }
        case ZELTA_EXP_OPENFLOW_MAC: {
            auto *x = static_cast<const ofmsg_exp_openflow_mac *>(a->data);
            auto *y = static_cast<const ofmsg_exp_openflow_mac *>(b->data);
            return x->opcode == y->opcode && std::memcmp(x->station_mac, y->station_mac, 6) == 0 &&
                   std::memcmp(x->bss_mac, y->bss_mac, 6) == 0;
        }
        default:
            return true;
    }
}

// Equality of two bodies of a message type; types without body compare equal.
inline bool body_eq(uint8_t type, const void *a, const void *b) {
    if (!a || !b) return a == b;
    switch (type) {
        case OFPT_ERROR:
            return as(a, b, error_eq);
        case OFPT_ECHO_REQUEST:
        case OFPT_ECHO_REPLY:
            return as(a, b, echo_eq);
        case OFPT_EXPERIMENTER:
            return as(a, b, exp_eq);
        case OFPT_FEATURES_REPLY:
            return as(a, b, features_eq);
        case OFPT_PACKET_IN:
            return as(a, b, packet_in_eq);
        case OFPT_FLOW_REMOVED:
            return as(a, b, flow_removed_eq);
        case OFPT_PORT_STATUS:
            return as(a, b, port_status_eq);
        case OFPT_FLOW_MOD:
            return as(a, b, flow_mod_eq);
        case OFPT_MULTIPART_REQUEST:
            return as(a, b, multipart_request_eq);
        case OFPT_MULTIPART_REPLY:
            return as(a, b, multipart_reply_eq);
        default:
            return true;
    }
}

// The statuses the receive path may return.
inline bool documented_status(int32_t st) {
    switch (st) {
        case OFMSG_DECODE_OK:
        case OFMSG_ERR_HELLO_INCOMPATIBLE:
        case OFMSG_ERR_BAD_MULTIPART:
        case OFMSG_ERR_BAD_EXPERIMENTER:
        case OFMSG_ERR_BAD_EXP_TYPE:
        case OFMSG_ERR_BAD_LEN:
        case OFMSG_ERR_UNHANDLED_TYPE:
        case OFMSG_ERR_ACTION_BAD_TYPE:
        case OFMSG_ERR_ACTION_BAD_EXP_TYPE:
        case OFMSG_ERR_ACTION_BAD_SET_TYPE:
        case OFMSG_ERR_ACTION_BAD_SET_LEN:
        case OFMSG_ERR_INST_UNKNOWN:
        case OFMSG_ERR_MATCH_BAD_LEN:
        case OFMSG_ERR_MATCH_BAD_FIELD:
        case OFMSG_ERR_MATCH_DUP_FIELD:
        case OFMSG_ERR_SHORT_ERROR_MSG:
        case OFMSG_ERR_NO_MEMORY:
            return true;
        default:
            return false;
    }
}

// Releases a body as the ownership rules say: a flow-statistics reply leaves its entries'
// match and instructions to the holder, so they are released first; a port-statistics reply
// leaves its list record, released last.
inline void release_body(uint8_t type, void *body) {
    if (!body) return;
    void *port_stats_list = nullptr;
    if (type == OFPT_MULTIPART_REPLY) {
        auto *mp = static_cast<ofmsg_multipart_reply *>(body);
        if (mp->type == OFPMP_PORT_STATS) port_stats_list = mp->body;
        if (mp->type == OFPMP_FLOW && mp->body) {
            auto *fs = static_cast<ofmsg_flow_stats_reply *>(mp->body);
            for (uint32_t i = 0; i < fs->num_flows; i++) {
                ofmsg_flow_stat *st = fs->flow_stats ? fs->flow_stats[i] : nullptr;
                if (!st) continue;
                if (st->match) ofmsg_flow_match_free(st->match);
                if (st->instructions) ofmsg_flow_instructions_free(st->instructions);
                st->match = nullptr;
                st->instructions = nullptr;
            }
        }
    }
    ofmsg_free(type, body);
    std::free(port_stats_list);
}

}  // namespace ofmsg_equal
