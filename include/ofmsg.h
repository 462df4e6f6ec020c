/*
 * OpenFlow 1.3 (wire version 0x04) message codec.
 *
 * Receive: ofmsg_rx_decode checks one complete message, builds its body record and hands it
 * to the callback registered for its type in msg_handler_cbs; the callback then owns the body
 * and releases it with ofmsg_free. Transmit: the host builds a body record and ofmsg_tx_encode
 * turns it into one malloc'd message that the host frees. ofmsg_print renders any message as
 * one line. All records are plain malloc blocks in host byte order, released with free.
 * Nothing here is thread-safe: the codec runs on the host's event thread.
 */
#ifndef OFMSG_H
#define OFMSG_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "ofagent_export.h"
#include "oflog.h"

OFAGENT_BEGIN_DECLS

#define OFP_VERSION 0x04
#define OFP_HEADER_LEN 8
#define OFMSG_NUM_TYPES 30
#define OFMSG_PRINT_BUF_SIZE 8192

/* The experimenter identifier of the vendor extension (messages and actions). */
#define ZELTA_EXPERIMENTER_ID 0x004D2A91u

/* ---- Message types -------------------------------------------------------------------- */
enum ofp_type {
    OFPT_HELLO = 0,
    OFPT_ERROR = 1,
    OFPT_ECHO_REQUEST = 2,
    OFPT_ECHO_REPLY = 3,
    OFPT_EXPERIMENTER = 4,
    OFPT_FEATURES_REQUEST = 5,
    OFPT_FEATURES_REPLY = 6,
    OFPT_GET_CONFIG_REQUEST = 7,
    OFPT_GET_CONFIG_REPLY = 8,
    OFPT_SET_CONFIG = 9,
    OFPT_PACKET_IN = 10,
    OFPT_FLOW_REMOVED = 11,
    OFPT_PORT_STATUS = 12,
    OFPT_PACKET_OUT = 13,
    OFPT_FLOW_MOD = 14,
    OFPT_GROUP_MOD = 15,
    OFPT_PORT_MOD = 16,
    OFPT_TABLE_MOD = 17,
    OFPT_MULTIPART_REQUEST = 18,
    OFPT_MULTIPART_REPLY = 19,
    OFPT_BARRIER_REQUEST = 20,
    OFPT_BARRIER_REPLY = 21,
    OFPT_QUEUE_GET_CONFIG_REQUEST = 22,
    OFPT_QUEUE_GET_CONFIG_REPLY = 23,
    OFPT_ROLE_REQUEST = 24,
    OFPT_ROLE_REPLY = 25,
    OFPT_GET_ASYNC_REQUEST = 26,
    OFPT_GET_ASYNC_REPLY = 27,
    OFPT_SET_ASYNC = 28,
    OFPT_METER_MOD = 29
};

enum ofp_multipart_type {
    OFPMP_DESC = 0,
    OFPMP_FLOW = 1,
    OFPMP_AGGREGATE = 2,
    OFPMP_TABLE = 3,
    OFPMP_PORT_STATS = 4,
    OFPMP_QUEUE = 5,
    OFPMP_GROUP = 6,
    OFPMP_GROUP_DESC = 7,
    OFPMP_GROUP_FEATURES = 8,
    OFPMP_METER = 9,
    OFPMP_METER_CONFIG = 10,
    OFPMP_METER_FEATURES = 11,
    OFPMP_TABLE_FEATURES = 12,
    OFPMP_PORT_DESC = 13,
    OFPMP_EXPERIMENTER = 0xffff
};

enum ofp_instruction_type { OFPIT_APPLY_ACTIONS = 4 };

enum ofp_action_type { OFPAT_OUTPUT = 0, OFPAT_SET_FIELD = 25, OFPAT_EXPERIMENTER = 0xffff };

enum ofp_port_reason { OFPPR_ADD = 0, OFPPR_DELETE = 1, OFPPR_MODIFY = 2 };

enum ofp_flow_mod_command {
    OFPFC_ADD = 0,
    OFPFC_MODIFY = 1,
    OFPFC_MODIFY_STRICT = 2,
    OFPFC_DELETE = 3,
    OFPFC_DELETE_STRICT = 4
};

enum ofp_flow_removed_reason {
    OFPRR_IDLE_TIMEOUT = 0,
    OFPRR_HARD_TIMEOUT = 1,
    OFPRR_DELETE = 2,
    OFPRR_GROUP_DELETE = 3,
    OFPRR_METER_DELETE = 4
};

/* ---- Error types and codes used in decode statuses ------------------------------------ */
enum ofp_error_type {
    OFPET_HELLO_FAILED = 0,
    OFPET_BAD_REQUEST = 1,
    OFPET_BAD_ACTION = 2,
    OFPET_BAD_INSTRUCTION = 3,
    OFPET_BAD_MATCH = 4
};
enum ofp_hello_failed_code { OFPHFC_INCOMPATIBLE = 0 };
enum ofp_bad_request_code {
    OFPBRC_BAD_TYPE = 1,
    OFPBRC_BAD_MULTIPART = 2,
    OFPBRC_BAD_EXPERIMENTER = 3,
    OFPBRC_BAD_EXP_TYPE = 4,
    OFPBRC_BAD_LEN = 6
};
enum ofp_bad_action_code {
    OFPBAC_BAD_TYPE = 0,
    OFPBAC_BAD_LEN = 1,
    OFPBAC_BAD_EXP_TYPE = 3,
    OFPBAC_BAD_SET_TYPE = 13,
    OFPBAC_BAD_SET_LEN = 14
};
enum ofp_bad_instruction_code { OFPBIC_UNKNOWN_INST = 0, OFPBIC_BAD_LEN = 7 };
enum ofp_bad_match_code { OFPBMC_BAD_LEN = 1, OFPBMC_BAD_FIELD = 6, OFPBMC_DUP_FIELD = 10 };

/* ---- Decode status ---------------------------------------------------------------------
 * Every decoder returns 0 on success, else 0x80000000 | (OpenFlow error type << 16) | code, a
 * negative number from which the host takes the type (bits 16..30) and code (bits 0..15) to
 * answer with an OFPT_ERROR. The complete list of values ofmsg_rx_decode can return follows.
 * HELLO_INCOMPATIBLE, the BAD_REQUEST pairs and -1 are the codec's answers to the faults every
 * OpenFlow 1.3 peer must expect; the BAD_ACTION pairs other than BAD_EXP_TYPE, INST_UNKNOWN,
 * the BAD_MATCH pairs and -2 are this library's own answers to what it refuses beyond those
 * (action, instruction and match-field types it does not carry, malformed TLVs, no memory),
 * each with OpenFlow's own type and code where one fits. */
#define OFMSG_DECODE_OK 0
/* Version, hello element other than a version bitmap, bitmap without version 0x04. */
#define OFMSG_ERR_HELLO_INCOMPATIBLE ((int32_t)0x80000000u)
/* Unsupported multipart type. */
#define OFMSG_ERR_BAD_MULTIPART ((int32_t)0x80010002u)
/* Experimenter id other than ZELTA_EXPERIMENTER_ID (message or action). */
#define OFMSG_ERR_BAD_EXPERIMENTER ((int32_t)0x80010003u)
/* Experimenter message type outside the extension's. */
#define OFMSG_ERR_BAD_EXP_TYPE ((int32_t)0x80010004u)
/* Any length fault: a structure shorter than its minimum, bytes left over after decoding. */
#define OFMSG_ERR_BAD_LEN ((int32_t)0x80010006u)
/* A message type without receive step (code 10, which OpenFlow 1.3 names IS_SLAVE). */
#define OFMSG_ERR_UNHANDLED_TYPE ((int32_t)0x8001000au)
/* Unsupported action type. */
#define OFMSG_ERR_ACTION_BAD_TYPE ((int32_t)0x80020000u)
/* Experimenter action subtype outside the extension's. */
#define OFMSG_ERR_ACTION_BAD_EXP_TYPE ((int32_t)0x80020003u)
/* Set-field of an unsupported field. */
#define OFMSG_ERR_ACTION_BAD_SET_TYPE ((int32_t)0x8002000du)
/* Set-field whose payload runs past its action or is not its field's width. */
#define OFMSG_ERR_ACTION_BAD_SET_LEN ((int32_t)0x8002000eu)
/* Unsupported instruction type. */
#define OFMSG_ERR_INST_UNKNOWN ((int32_t)0x80030000u)
/* OXM TLV whose payload is not its field's width (twice it when masked). */
#define OFMSG_ERR_MATCH_BAD_LEN ((int32_t)0x80040001u)
/* Unsupported OXM field or class. */
#define OFMSG_ERR_MATCH_BAD_FIELD ((int32_t)0x80040006u)
/* OXM field repeated in one match. */
#define OFMSG_ERR_MATCH_DUP_FIELD ((int32_t)0x8004000au)
/* Not OpenFlow pairs: an OFPT_ERROR message shorter than 12 bytes, and an allocation that
 * failed while decoding (answer neither with an OFPT_ERROR). */
#define OFMSG_ERR_SHORT_ERROR_MSG (-1)
#define OFMSG_ERR_NO_MEMORY (-2)

static inline int32_t ofmsg_decode_status(uint16_t type, uint16_t code) {
    return (int32_t)(0x80000000u | ((uint32_t)type << 16) | (uint32_t)code);
}

static inline uint64_t ofmsg_ntoh64(uint64_t v) {
    const uint8_t *b = (const uint8_t *)&v;
    return ((uint64_t)b[0] << 56) | ((uint64_t)b[1] << 48) | ((uint64_t)b[2] << 40) |
           ((uint64_t)b[3] << 32) | ((uint64_t)b[4] << 24) | ((uint64_t)b[5] << 16) |
           ((uint64_t)b[6] << 8) | (uint64_t)b[7];
}

static inline uint64_t ofmsg_hton64(uint64_t v) {
    return ofmsg_ntoh64(v);
}

/* ---- Simple message bodies ------------------------------------------------------------- */

/* OFPT_ERROR */
typedef struct ofmsg_error {
    uint32_t type;
    uint16_t code;
    uint32_t data_len; /* message length - 12 */
    uint8_t *data;     /* owned copy of the bytes from offset 12; null when data_len is 0 */
} ofmsg_error;

/* OFPT_ECHO_REQUEST (received) and OFPT_ECHO_REPLY (sent): the 24-byte form only. */
typedef struct ofmsg_echo {
    uint8_t header[8];   /* present, never filled or read */
    uint64_t payload64;  /* host order */
    uint32_t payload32a; /* network order, copied unchanged */
    uint32_t payload32b; /* network order, copied unchanged */
} ofmsg_echo;

/* OFPT_FEATURES_REPLY */
typedef struct ofmsg_switch_features {
    uint64_t datapath_id;
    uint32_t n_buffers;
    uint8_t n_tables;
    uint8_t auxiliary_id;
    uint32_t capabilities;
    uint32_t reserved;
} ofmsg_switch_features;

/* One 64-byte ofp_port. */
typedef struct ofstruct_port {
    uint32_t port_no;
    uint8_t hw_addr[6];
    char *name; /* owned, NUL-terminated, at most 16 characters */
    uint32_t config;
    uint32_t state;
    uint32_t curr;
    uint32_t advertised;
    uint32_t supported;
    uint32_t peer;
    uint32_t curr_speed;
    uint32_t max_speed;
} ofstruct_port;

/* OFPT_PORT_STATUS */
typedef struct ofmsg_port_status {
    uint32_t reason;     /* OFPPR_* */
    ofstruct_port *desc; /* owned */
} ofmsg_port_status;

/* ---- OXM match -------------------------------------------------------------------------- */
#define OFOXM_IDX_COUNT 19
#define OFPMT_OXM 1
#define OFPXMC_OPENFLOW_BASIC 0x8000

enum oxm_ofb_match_fields {
    OXM_OF_IN_PORT = 0,
    OXM_OF_METADATA = 2,
    OXM_OF_ETH_DST = 3,
    OXM_OF_ETH_SRC = 4,
    OXM_OF_ETH_TYPE = 5,
    OXM_OF_VLAN_VID = 6,
    OXM_OF_VLAN_PCP = 7,
    OXM_OF_IP_DSCP = 8,
    OXM_OF_IP_ECN = 9,
    OXM_OF_IP_PROTO = 10,
    OXM_OF_IPV4_SRC = 11,
    OXM_OF_IPV4_DST = 12,
    OXM_OF_TCP_SRC = 13,
    OXM_OF_TCP_DST = 14,
    OXM_OF_UDP_SRC = 15,
    OXM_OF_UDP_DST = 16,
    OXM_OF_ICMPV4_TYPE = 19,
    OXM_OF_ICMPV4_CODE = 20,
    OXM_OF_IPV6_SRC = 26,
    OXM_OF_IPV6_DST = 27,
    OXM_OF_ICMPV6_TYPE = 29,
    OXM_OF_ICMPV6_CODE = 30
};

/* Field of an OXM header word (host order), has-mask bit, payload length. */
#define OFOXM_FIELD(header) (((header) >> 9) & 0x7fu)
#define OFOXM_HASMASK(header) (((header) >> 8) & 1u)
#define OFOXM_LENGTH(header) ((header)&0xffu)
/* of_match_oxm_from_idx_to_oxm's answer for an index without a field. */
#define OFOXM_NO_FIELD 40

/* Field number to field index 0..18, or -1 (logged) for a field the match does not carry. */
static inline int ofoxm_from_oxm_to_idx(uint32_t field) {
    switch (field) {
        case OXM_OF_IN_PORT:
            return 0;
        case OXM_OF_ETH_DST:
            return 1;
        case OXM_OF_ETH_SRC:
            return 2;
        case OXM_OF_ETH_TYPE:
            return 3;
        case OXM_OF_IP_PROTO:
            return 5;
        case OXM_OF_IPV4_SRC:
            return 6;
        case OXM_OF_IPV4_DST:
            return 7;
        case OXM_OF_IPV6_SRC:
            return 8;
        case OXM_OF_IPV6_DST:
            return 9;
        case OXM_OF_TCP_SRC:
            return 10;
        case OXM_OF_TCP_DST:
            return 11;
        case OXM_OF_UDP_SRC:
            return 12;
        case OXM_OF_UDP_DST:
            return 13;
        case OXM_OF_ICMPV4_TYPE:
            return 14;
        case OXM_OF_ICMPV4_CODE:
            return 15;
        case OXM_OF_ICMPV6_TYPE:
            return 16;
        case OXM_OF_ICMPV6_CODE:
            return 17;
        case OXM_OF_METADATA:
            return 18;
        default:
            OFLOG(OFLOG_ERRS, "Invalid/Unknown OXM field type %u", (unsigned)field);
            return -1;
    }
}

/* Field index to field number; OFOXM_NO_FIELD (40) for index 4 and for 19 and above. */
static inline uint32_t of_match_oxm_from_idx_to_oxm(uint32_t idx) {
    static const uint8_t fields[OFOXM_IDX_COUNT] = {
        OXM_OF_IN_PORT,     OXM_OF_ETH_DST,     OXM_OF_ETH_SRC,     OXM_OF_ETH_TYPE,
        OFOXM_NO_FIELD,     OXM_OF_IP_PROTO,    OXM_OF_IPV4_SRC,    OXM_OF_IPV4_DST,
        OXM_OF_IPV6_SRC,    OXM_OF_IPV6_DST,    OXM_OF_TCP_SRC,     OXM_OF_TCP_DST,
        OXM_OF_UDP_SRC,     OXM_OF_UDP_DST,     OXM_OF_ICMPV4_TYPE, OXM_OF_ICMPV4_CODE,
        OXM_OF_ICMPV6_TYPE, OXM_OF_ICMPV6_CODE, OXM_OF_METADATA};
    return idx < OFOXM_IDX_COUNT ? fields[idx] : OFOXM_NO_FIELD;
}

/* One OXM TLV. */
typedef struct ofmsg_match_tlv {
    uint32_t header; /* OXM header word, host order */
    uint8_t *value;  /* owned: the value, then the mask for masked TLVs. 8/16/32/64-bit kinds in
                        host order, eth and ipv6 kinds in wire order */
} ofmsg_match_tlv;

typedef struct ofmsg_flow_match {
    uint16_t type;                          /* OFPMT_OXM */
    uint16_t length;                        /* bytes of all TLVs including their 4-byte headers */
    ofmsg_match_tlv *tlvs[OFOXM_IDX_COUNT]; /* slot i holds only the field whose index is i */
} ofmsg_flow_match;

/* Header word of class OFPXMC_OPENFLOW_BASIC for a field; mask_flag 1 selects the masked form
 * where the field has one. 0 for fields without a header. */
OFAGENT_API uint32_t ofoxm_header_value(uint32_t field, uint8_t mask_flag);

/* Match builders. A TLV builder stores into slot idx (replacing and releasing what the slot
 * held, so a repeated field never leaves a gap) and keeps `length` equal to the TLV bytes
 * held. An idx outside 0..18 (or 4), a builder whose kind is not the slot's field's kind, a
 * header naming another field than the slot's, or an allocation failure leaves the match
 * unchanged. The stored header's length byte and has-mask bit are set to what the encoder
 * writes: the value width, doubled with the mask for the _mask builders of maskable kinds. So a
 * header with its has-mask bit set given to a plain builder (the 16-bit one, say) is stored
 * with the bit clear: a plain builder never carries a mask. */
OFAGENT_API ofmsg_flow_match *ofmsg_match_create(void);
OFAGENT_API void ofmsg_match_tlv_create_8_value(ofmsg_flow_match *match, uint32_t idx,
                                                uint32_t header, uint8_t value);
/* 8- and 16-bit fields carry no mask on the wire: their _mask builders keep value and mask in
 * the value buffer but store a plain header (has-mask clear, length = value width), add 5 or 6
 * to `length` (not the 6 or 8 a carried mask would take), and encode as the plain value, so the
 * TLV's length byte and the bytes written always agree and the message decodes back. */
OFAGENT_API void ofmsg_match_tlv_create_8_value_mask(ofmsg_flow_match *match, uint32_t idx,
                                                     uint32_t header, uint8_t value, uint8_t mask);
OFAGENT_API void ofmsg_match_tlv_create_16_value(ofmsg_flow_match *match, uint32_t idx,
                                                 uint32_t header, uint16_t value);
OFAGENT_API void ofmsg_match_tlv_create_16_value_mask(ofmsg_flow_match *match, uint32_t idx,
                                                      uint32_t header, uint16_t value,
                                                      uint16_t mask);
OFAGENT_API void ofmsg_match_tlv_create_32_value(ofmsg_flow_match *match, uint32_t idx,
                                                 uint32_t header, uint32_t value);
OFAGENT_API void ofmsg_match_tlv_create_32_value_mask(ofmsg_flow_match *match, uint32_t idx,
                                                      uint32_t header, uint32_t value,
                                                      uint32_t mask);
OFAGENT_API void ofmsg_match_tlv_create_64_value(ofmsg_flow_match *match, uint32_t idx,
                                                 uint32_t header, uint64_t value);
OFAGENT_API void ofmsg_match_tlv_create_64_value_mask(ofmsg_flow_match *match, uint32_t idx,
                                                      uint32_t header, uint64_t value,
                                                      uint64_t mask);
OFAGENT_API void ofmsg_match_tlv_create_eth_value(ofmsg_flow_match *match, uint32_t idx,
                                                  uint32_t header, const uint8_t *value);
OFAGENT_API void ofmsg_match_tlv_create_eth_value_mask(ofmsg_flow_match *match, uint32_t idx,
                                                       uint32_t header, const uint8_t *value,
                                                       const uint8_t *mask);
OFAGENT_API void ofmsg_match_tlv_create_ipv6_value(ofmsg_flow_match *match, uint32_t idx,
                                                   uint32_t header, const uint8_t *value);
OFAGENT_API void ofmsg_match_tlv_create_ipv6_value_mask(ofmsg_flow_match *match, uint32_t idx,
                                                        uint32_t header, const uint8_t *value,
                                                        const uint8_t *mask);
/* Releases every TLV and the match. */
OFAGENT_API void ofmsg_flow_match_free(ofmsg_flow_match *match);

/* ---- Instructions and actions -----------------------------------------------------------
 * Decoding takes from the message's remaining count only what each piece consumes: 8 per
 * instruction header, 16 per output action, the action length per set-field, 16 or 24 per
 * experimenter action by subtype. So an output or experimenter action whose length field is
 * larger than that decodes, but its extra bytes (like one to three stray bytes at the end of an
 * action or instruction list) are not consumed: a flow-mod carrying them is refused with
 * OFMSG_ERR_BAD_LEN and the line "Error in parsing message, remaining buflen:N", N being those
 * bytes; inside a flow statistics entry the entry's own length covers them. An action whose
 * length field is smaller than its layout is refused. */
enum zelta_action_exp_type {
    ZELTA_ACTION_EXP_SET_FLAG = 1,
    ZELTA_ACTION_EXP_OVERWRITE_FLAG = 2,
    ZELTA_ACTION_EXP_REMOVE_FLAG = 3, /* built only: never carried on the wire */
    ZELTA_ACTION_EXP_OUTPUT = 4,
    ZELTA_ACTION_EXP_SET_APPID = 5
};

typedef struct ofmsg_action_output {
    uint32_t port;
    uint16_t max_len;
} ofmsg_action_output;

typedef struct ofmsg_action_set_field {
    ofmsg_match_tlv *tlv; /* owned */
} ofmsg_action_set_field;

typedef struct ofmsg_action_exp_flag {
    uint32_t soflagbits;
} ofmsg_action_exp_flag;

typedef struct ofmsg_action_exp_zelta_output {
    uint32_t port;
    uint32_t max_packet_count;
} ofmsg_action_exp_zelta_output;

typedef struct ofmsg_action_exp_appid {
    uint16_t appid;
} ofmsg_action_exp_appid;

typedef struct ofmsg_action_experimenter {
    uint16_t exp_type; /* ZELTA_ACTION_EXP_* */
    void *data;        /* owned: ofmsg_action_exp_flag, _zelta_output or _appid */
} ofmsg_action_experimenter;

typedef struct ofmsg_action {
    uint16_t type; /* OFPAT_* */
    uint16_t len;  /* wire length */
    void *body;    /* owned: ofmsg_action_output, _set_field or _experimenter */
} ofmsg_action;

typedef struct ofmsg_instruction_actions {
    uint32_t num_actions;
    uint32_t len; /* sum of the actions' len */
    ofmsg_action **actions;
} ofmsg_instruction_actions;

typedef struct ofmsg_instruction {
    uint16_t type;                   /* OFPIT_APPLY_ACTIONS */
    uint16_t len;                    /* 8 + the action list's len */
    ofmsg_instruction_actions *body; /* owned */
} ofmsg_instruction;

typedef struct ofmsg_flow_instructions {
    uint32_t num_inst;
    uint32_t len; /* sum of the instructions' len */
    ofmsg_instruction **instructions;
} ofmsg_flow_instructions;

/* Action builders; each returns a new action, or null when memory is exhausted (and, for
 * ofmsg_action_exp_create_flag, for an exp_type other than the flag subtypes 1, 2 and 3). */
OFAGENT_API ofmsg_action *ofmsg_action_create_output(uint32_t port, uint16_t max_len);
OFAGENT_API ofmsg_action *ofmsg_action_create_set_field(uint32_t header, uint32_t size,
                                                        const void *value);
OFAGENT_API ofmsg_action *ofmsg_action_exp_create_flag(uint16_t exp_type, uint32_t soflagbits);
OFAGENT_API ofmsg_action *ofmsg_action_exp_create_zelta_output(uint32_t port,
                                                               uint32_t max_packet_count);
OFAGENT_API ofmsg_action *ofmsg_action_exp_create_set_appid(uint16_t appid);
/* Appends action to list (a new list when list is null) and returns the list; null when
 * memory is exhausted, in which case the list is unchanged and the action stays the caller's. */
OFAGENT_API ofmsg_instruction_actions *ofmsg_instruction_action_add(ofmsg_instruction_actions *list,
                                                                    ofmsg_action *action);
/* Wraps an action list into an apply-actions instruction, which then owns it. */
OFAGENT_API ofmsg_instruction *ofmsg_instruction_action_create(ofmsg_instruction_actions *list);
/* Appends instruction to list (a new list when null) and returns it; null as above. */
OFAGENT_API ofmsg_flow_instructions *ofmsg_instructions_add(ofmsg_flow_instructions *list,
                                                            ofmsg_instruction *instruction);
/* Releases the whole tree (not null). */
OFAGENT_API void ofmsg_flow_instructions_free(ofmsg_flow_instructions *list);
OFAGENT_API void ofmsg_flow_instruction_action_free(ofmsg_instruction_actions *list);
OFAGENT_API const char *ofmsg_zelta_action_exp_type_to_string(uint32_t exp_type);

/* ---- Flow-mod, flow-removed, packet-in -------------------------------------------------- */
typedef struct ofmsg_flow_mod {
    uint64_t cookie;
    uint64_t cookie_mask;
    uint8_t table_id;
    uint32_t command; /* OFPFC_* */
    uint16_t idle_timeout;
    uint16_t hard_timeout;
    uint16_t priority;
    uint32_t buffer_id;
    uint32_t out_port;
    uint32_t out_group;
    uint16_t flags;
    ofmsg_flow_match *match;               /* owned, required */
    ofmsg_flow_instructions *instructions; /* owned, null when the message has none */
} ofmsg_flow_mod;

typedef struct ofmsg_flow_removed {
    uint64_t cookie;
    uint16_t priority;
    uint8_t reason; /* OFPRR_* */
    uint8_t table_id;
    uint32_t duration_sec;
    uint32_t duration_nsec;
    uint16_t idle_timeout;
    uint16_t hard_timeout;
    uint64_t packet_count;
    uint64_t byte_count;
    ofmsg_flow_match *match; /* NOT owned: releasing the record leaves it to the host */
} ofmsg_flow_removed;

typedef struct ofmsg_packet_in {
    uint32_t buffer_id;
    uint16_t total_len;
    uint32_t reason; /* OFPR_* */
    uint8_t table_id;
    uint64_t cookie;
    ofmsg_flow_match *match; /* owned */
    uint32_t data_len;
    uint8_t *data; /* owned; null when data_len is 0 */
} ofmsg_packet_in;

OFAGENT_API const char *ofmsg_ofp_flow_mod_command_to_string(uint32_t command);
OFAGENT_API const char *ofmsg_ofp_flow_removed_reason_to_string(uint32_t reason);

/* ---- Multipart -------------------------------------------------------------------------- */
typedef struct ofmsg_flow_stats_request {
    uint8_t table_id;
    uint32_t out_port;
    uint32_t out_group;
    uint64_t cookie;
    uint64_t cookie_mask;
    ofmsg_flow_match *match; /* owned */
} ofmsg_flow_stats_request;

typedef struct ofmsg_multipart_request {
    uint32_t type; /* OFPMP_* */
    uint16_t flags;
    /* OFPMP_FLOW: owned ofmsg_flow_stats_request. OFPMP_PORT_STATS: points at the 32-bit port
     * number (network order) inside the received message, valid only while that message's
     * buffer lives, not owned. OFPMP_DESC, OFPMP_PORT_DESC: null. */
    void *body;
} ofmsg_multipart_request;

typedef struct ofmsg_switch_desc_reply {
    char mfr_desc[256];
    char hw_desc[256];
    char sw_desc[256];
    char serial_num[32];
    char dp_desc[256];
} ofmsg_switch_desc_reply;

typedef struct ofmsg_flow_stat {
    uint8_t table_id;
    uint32_t duration_sec;
    uint32_t duration_nsec;
    uint16_t priority;
    uint16_t idle_timeout;
    uint16_t hard_timeout;
    uint64_t cookie;
    uint64_t packet_count;
    uint64_t byte_count;
    ofmsg_flow_match *match;               /* not released by ofmsg_flow_stats_reply_free */
    ofmsg_flow_instructions *instructions; /* ditto; null when the entry has none */
} ofmsg_flow_stat;

typedef struct ofmsg_flow_stats_reply {
    uint32_t num_flows;
    ofmsg_flow_stat **flow_stats;
} ofmsg_flow_stats_reply;

typedef struct ofmsg_port_stats {
    uint32_t port_no; /* network order, copied to the wire unchanged */
    uint64_t rx_packets;
    uint64_t tx_packets;
} ofmsg_port_stats;

typedef struct ofmsg_port_stats_reply {
    uint32_t num_ports;
    ofmsg_port_stats *port_stats; /* one contiguous array */
} ofmsg_port_stats_reply;

typedef struct ofmsg_port_desc_reply {
    uint32_t num_ports;
    ofstruct_port **ports;
} ofmsg_port_desc_reply;

typedef struct ofmsg_multipart_reply {
    uint32_t type; /* OFPMP_* */
    uint16_t flags;
    void *body; /* ofmsg_switch_desc_reply, _flow_stats_reply, _port_stats_reply or
                   _port_desc_reply */
} ofmsg_multipart_reply;

/* A flow statistics or port description reply is decoded entry by entry; bytes after the last
 * whole entry are left over and the reply is refused with OFMSG_ERR_BAD_LEN.
 * Body releases. ofmsg_flow_stats_reply_free releases the entries, the array and the list but
 * not the entries' match and instruction records, which the holder releases first (a reply
 * that ofmsg_rx_decode releases itself, refused or without a callback, takes them along).
 * ofmsg_port_stats_reply_free releases the port_stats array only, not the list record. */
OFAGENT_API void ofmsg_switch_desc_reply_free(ofmsg_switch_desc_reply *body);
OFAGENT_API void ofmsg_flow_stats_reply_free(ofmsg_flow_stats_reply *body);
OFAGENT_API void ofmsg_port_stats_reply_free(ofmsg_port_stats_reply *body);
OFAGENT_API void ofmsg_port_desc_reply_free(ofmsg_port_desc_reply *body);
OFAGENT_API const char *ofmsg_ofp_multipart_types_to_string(uint32_t type);

/* ---- Experimenter messages -------------------------------------------------------------- */
enum zelta_exp_type {
    ZELTA_EXP_TUNNEL_V4_REQ = 0,
    ZELTA_EXP_TUNNEL_V4_REPLY = 1,
    ZELTA_EXP_TUNNEL_V6_REQ = 2,
    ZELTA_EXP_TUNNEL_V6_REPLY = 3,
    ZELTA_EXP_OPENFLOW_MAC = 4
};
/* Exported 4-byte data object of the same name; the library neither reads nor writes it. */
extern OFAGENT_API enum zelta_exp_type zelta_exp_type;

typedef struct ofmsg_exp_tunnel_v4 {
    uint32_t tun_index;
    uint32_t tun_dest_ip; /* IPv4 address as a host-order number */
} ofmsg_exp_tunnel_v4;

typedef struct ofmsg_exp_tunnel_v4_request {
    uint32_t opcode;
    ofmsg_exp_tunnel_v4 *tunnel; /* owned; null when the message carries no tunnel entry */
} ofmsg_exp_tunnel_v4_request;

typedef struct ofmsg_exp_tunnel_v4_reply {
    uint32_t num_tunnels;
    ofmsg_exp_tunnel_v4 **tunnels; /* owned; null when num_tunnels is 0 */
} ofmsg_exp_tunnel_v4_reply;

typedef struct ofmsg_exp_openflow_mac {
    uint32_t opcode;
    uint8_t station_mac[6];
    uint8_t bss_mac[6];
} ofmsg_exp_openflow_mac;

typedef struct ofmsg_exp {
    uint32_t exp_type; /* ZELTA_EXP_* */
    void *data;        /* owned: ofmsg_exp_tunnel_v4_request, _tunnel_v4_reply or _openflow_mac */
} ofmsg_exp;

OFAGENT_API const char *ofmsg_zelta_exp_type_to_string(uint32_t exp_type);

/* ---- Receive record and callbacks ------------------------------------------------------- */

/* Built by ofmsg_rx_decode on its stack for one message; valid only during the callback. */
typedef struct ofmsg {
    void *ctx; /* ofmsg_rx_decode's first argument */
    uint32_t xid;
    ofmsg_error *error;
    ofmsg_exp *exp;
    ofmsg_switch_features *features_reply;
    ofmsg_port_status *port_status;
    ofmsg_flow_mod *flow_mod;
    ofmsg_multipart_request *multipart_request;
    ofmsg_multipart_reply *multipart_reply;
    ofmsg_packet_in *packet_in;
    ofmsg_echo *echo_request;
} ofmsg;

/* body: the new body record (now the callback's, release it with ofmsg_free), or null for a
 * type without body. */
typedef void (*ofmsg_rx_cb)(void *body, ofmsg *msg);

extern OFAGENT_API ofmsg_rx_cb msg_handler_cbs[OFMSG_NUM_TYPES];
extern OFAGENT_API char ofmsg_print_buf[OFMSG_PRINT_BUF_SIZE];

/* Copies all 30 slots of table into msg_handler_cbs (a null slot disables that type). */
OFAGENT_API void ofmsg_register_callbacks(const ofmsg_rx_cb *table);

/* Decodes one complete message of buflen bytes (the header's length field is not compared) and
 * delivers the body to its callback. Returns OFMSG_DECODE_OK or one of the OFMSG_ERR_ values
 * above; on failure nothing is delivered and nothing stays allocated. */
OFAGENT_API int32_t ofmsg_rx_decode(void *ctx, const uint8_t *buf, uint32_t buflen);

/* Encodes body as a message of the given type into one new malloc'd buffer (*out_buf, freed by
 * the caller) of *out_len bytes, header included, and returns 0. The body stays the caller's.
 * For a type that cannot be encoded (echo request, set-config, flow-removed... see the type
 * table: only 0, 1, 3, 4, 5, 6, 10, 11, 12, 14, 18, 19 encode), for a multipart or
 * experimenter body of an unsupported kind, for a message that would exceed 65535 bytes, or
 * when memory is exhausted, it returns a negative value and leaves *out_buf and *out_len
 * untouched. */
OFAGENT_API int ofmsg_tx_encode(uint8_t type, const void *body, uint32_t xid, uint8_t **out_buf,
                                uint32_t *out_len);

/* One line of text for the message at hdr (at least its 8-byte header) with its body record
 * (null for header-only types). Returns ofmsg_print_buf, valid until the next call. */
OFAGENT_API char *ofmsg_print(const uint8_t *hdr, const void *body);

/* Releases a body record of the given message type (low 8 bits) and what it owns. */
OFAGENT_API void ofmsg_free(uint32_t type, void *body);

/* True when the version byte is 4 and the type byte at most 29; else logs and returns false. */
OFAGENT_API bool ofmsg_validate_header(const uint8_t *hdr);
/* The header's length field (the whole message), or -1 for an invalid header. Reads only the
 * first 8 bytes: the message-length function for ofconn_cfg. */
OFAGENT_API int32_t ofmsg_payload_len(const uint8_t *hdr);
OFAGENT_API int32_t ofmsg_generate_xid(void);
OFAGENT_API bool ofmsg_ofpt_type_supported(uint32_t type);
OFAGENT_API bool ofmsg_ofpmp_type_supported(uint32_t type);
OFAGENT_API const char *ofmsg_ofp_type_to_string(uint32_t type);

OFAGENT_END_DECLS

#endif /* OFMSG_H */
