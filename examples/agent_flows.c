/*
 * ofagentd's flow table: one table of flows ordered by priority, kept as the flow-mod records
 * the codec decoded (each owns its match and instructions). Add, modify, modify-strict, delete
 * and delete-strict follow OpenFlow 1.3; idle and hard timeouts expire flows, and a flow whose
 * flow-mod asked for it is reported with OFPT_FLOW_REMOVED.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "agent.h"
#include "hostutil.h"

/* Value width of each match slot (the field index of the codec's match record). */
static const uint8_t slot_width[OFOXM_IDX_COUNT] = {4, 6, 6, 2, 0, 1, 4, 4, 16, 16,
                                                    2, 2, 2, 2, 1, 1, 1, 1, 8};
/* Slots whose TLV carries a mask when its has-mask bit is set (the 8- and 16-bit kinds never
 * do, whatever the bit says). */
static const uint8_t slot_maskable[OFOXM_IDX_COUNT] = {1, 1, 1, 0, 0, 0, 1, 1, 1, 1,
                                                       0, 0, 0, 0, 0, 0, 0, 0, 1};

static int tlv_masked(const ofmsg_match_tlv *t, int slot) {
    return slot_maskable[slot] && OFOXM_HASMASK(t->header);
}

static uint8_t tlv_mask_byte(const ofmsg_match_tlv *t, int slot, int i) {
    return tlv_masked(t, slot) ? t->value[slot_width[slot] + i] : 0xff;
}

/* True when every packet that `specific` matches is matched by `general`: each field of
 * general is present in specific with a value inside general's (masked) value set. */
static int match_covers(const ofmsg_flow_match *general, const ofmsg_flow_match *specific) {
    int slot, i;
    for (slot = 0; slot < OFOXM_IDX_COUNT; slot++) {
        const ofmsg_match_tlv *g = general->tlvs[slot], *s = specific->tlvs[slot];
        if (!g) continue;
        if (!s) return 0;
        for (i = 0; i < slot_width[slot]; i++) {
            uint8_t gm = tlv_mask_byte(g, slot, i), sm = tlv_mask_byte(s, slot, i);
            if ((sm & gm) != gm || ((s->value[i] ^ g->value[i]) & gm) != 0) return 0;
        }
    }
    return 1;
}

/* True when some packet could match both: every field they share has compatible values
 * under both masks (a field only one of them has constrains nothing). */
static int match_overlaps(const ofmsg_flow_match *a, const ofmsg_flow_match *b) {
    int slot, i;
    for (slot = 0; slot < OFOXM_IDX_COUNT; slot++) {
        const ofmsg_match_tlv *x = a->tlvs[slot], *y = b->tlvs[slot];
        if (!x || !y) continue;
        for (i = 0; i < slot_width[slot]; i++) {
            uint8_t m = tlv_mask_byte(x, slot, i) & tlv_mask_byte(y, slot, i);
            if (((x->value[i] ^ y->value[i]) & m) != 0) return 0;
        }
    }
    return 1;
}

/* Strict identity: the same fields with the same values and masks. */
static int match_equal(const ofmsg_flow_match *a, const ofmsg_flow_match *b) {
    int slot, i;
    for (slot = 0; slot < OFOXM_IDX_COUNT; slot++) {
        const ofmsg_match_tlv *x = a->tlvs[slot], *y = b->tlvs[slot];
        if (!x && !y) continue;
        if (!x || !y || tlv_masked(x, slot) != tlv_masked(y, slot)) return 0;
        for (i = 0; i < slot_width[slot]; i++) {
            uint8_t m = tlv_mask_byte(x, slot, i);
            if (m != tlv_mask_byte(y, slot, i) || ((x->value[i] ^ y->value[i]) & m) != 0) return 0;
        }
    }
    return 1;
}

int flows_first_output(const agent_flow *f, uint32_t *port, uint16_t *max_len) {
    const ofmsg_flow_instructions *insts = f->fm->instructions;
    uint32_t i, j;
    if (!insts) return 0;
    for (i = 0; i < insts->num_inst; i++) {
        const ofmsg_instruction *inst = insts->instructions[i];
        if (inst->type != OFPIT_APPLY_ACTIONS || !inst->body) continue;
        for (j = 0; j < inst->body->num_actions; j++) {
            const ofmsg_action *act = inst->body->actions[j];
            if (act->type == OFPAT_OUTPUT) {
                const ofmsg_action_output *out = act->body;
                *port = out->port;
                *max_len = out->max_len;
                return 1;
            }
        }
    }
    return 0;
}

static int flow_outputs_to(const agent_flow *f, uint32_t port) {
    const ofmsg_flow_instructions *insts = f->fm->instructions;
    uint32_t i, j;
    if (port == HOST_OFPP_ANY) return 1;
    if (!insts) return 0;
    for (i = 0; i < insts->num_inst; i++) {
        const ofmsg_instruction *inst = insts->instructions[i];
        if (inst->type != OFPIT_APPLY_ACTIONS || !inst->body) continue;
        for (j = 0; j < inst->body->num_actions; j++) {
            const ofmsg_action *act = inst->body->actions[j];
            if (act->type == OFPAT_OUTPUT && ((const ofmsg_action_output *)act->body)->port == port)
                return 1;
        }
    }
    return 0;
}

static int cookie_matches(const agent_flow *f, uint64_t cookie, uint64_t mask) {
    return ((f->fm->cookie ^ cookie) & mask) == 0;
}

static int table_matches(const agent_flow *f, uint8_t table_id) {
    return table_id == HOST_OFPTT_ALL || f->fm->table_id == table_id;
}

/* ---- Removal ----------------------------------------------------------------------------- */

static void send_flow_removed(const agent_flow *f, uint8_t reason, uint64_t now) {
    ofmsg_flow_removed fr;
    uint64_t age = now - f->installed_ms;
    if (!(f->fm->flags & HOST_OFPFF_SEND_FLOW_REM) || !agent.controller) return;
    memset(&fr, 0, sizeof fr);
    fr.cookie = f->fm->cookie;
    fr.priority = f->fm->priority;
    fr.reason = reason;
    fr.table_id = f->fm->table_id;
    fr.duration_sec = (uint32_t)(age / 1000);
    fr.duration_nsec = (uint32_t)(age % 1000) * 1000000u;
    fr.idle_timeout = f->fm->idle_timeout;
    fr.hard_timeout = f->fm->hard_timeout;
    fr.packet_count = f->packet_count;
    fr.byte_count = f->byte_count;
    fr.match = f->fm->match; /* lent: the record does not own it */
    host_peer_send_encoded(agent.controller, OFPT_FLOW_REMOVED, &fr,
                           (uint32_t)ofmsg_generate_xid());
}

static void flow_free(agent_flow *f) {
    ofmsg_free(OFPT_FLOW_MOD, f->fm);
    free(f);
}

/* Unlinks *link's flow, reports it and frees it; *link then names the next flow. */
static void flow_remove(agent_flow **link, uint8_t reason, uint64_t now) {
    agent_flow *f = *link;
    *link = f->next;
    agent.n_flows--;
    host_say("flow removed (%s): cookie=0x%llx priority=%u",
             ofmsg_ofp_flow_removed_reason_to_string(reason), (unsigned long long)f->fm->cookie,
             (unsigned)f->fm->priority);
    send_flow_removed(f, reason, now);
    flow_free(f);
}

void flows_expire(uint64_t now) {
    agent_flow **link = &agent.flows;
    while (*link) {
        const agent_flow *f = *link;
        if (f->fm->hard_timeout && now - f->installed_ms >= f->fm->hard_timeout * 1000ull)
            flow_remove(link, OFPRR_HARD_TIMEOUT, now);
        else if (f->fm->idle_timeout && now - f->used_ms >= f->fm->idle_timeout * 1000ull)
            flow_remove(link, OFPRR_IDLE_TIMEOUT, now);
        else
            link = &(*link)->next;
    }
}

void flows_clear(void) {
    while (agent.flows) {
        agent_flow *f = agent.flows;
        agent.flows = f->next;
        flow_free(f);
    }
    agent.n_flows = 0;
}

/* ---- Flow-mod commands ------------------------------------------------------------------- */

static void flow_add(session *s, ofmsg_flow_mod *fm) {
    agent_flow **link = &agent.flows, *f;
    uint64_t now = host_now_ms();
    /* Asked to, refuse a flow that could share a packet with one of the same priority
     * (an identical flow included) before anything is replaced. */
    if (fm->flags & AGENT_OFPFF_CHECK_OVERLAP) {
        for (f = agent.flows; f; f = f->next) {
            if (f->fm->table_id == fm->table_id && f->fm->priority == fm->priority &&
                match_overlaps(f->fm->match, fm->match)) {
                host_peer_send_error(s, AGENT_OFPET_FLOW_MOD_FAILED, AGENT_OFPFMFC_OVERLAP, s->cur,
                                     s->cur_len);
                ofmsg_free(OFPT_FLOW_MOD, fm);
                return;
            }
        }
    }
    for (f = agent.flows; f; f = f->next) {
        if (f->fm->table_id == fm->table_id && f->fm->priority == fm->priority &&
            match_equal(f->fm->match, fm->match)) {
            /* An identical flow is replaced; its counters survive unless reset is asked. */
            ofmsg_free(OFPT_FLOW_MOD, f->fm);
            f->fm = fm;
            f->installed_ms = f->used_ms = now;
            if (fm->flags & AGENT_OFPFF_RESET_COUNTS) f->packet_count = f->byte_count = 0;
            host_say("flow replaced: %s", ofmsg_print(s->cur, fm));
            return;
        }
    }
    if (agent.n_flows >= AGENT_MAX_FLOWS || !(f = calloc(1, sizeof *f))) {
        host_peer_send_error(s, AGENT_OFPET_FLOW_MOD_FAILED, AGENT_OFPFMFC_TABLE_FULL, s->cur,
                             s->cur_len);
        ofmsg_free(OFPT_FLOW_MOD, fm);
        return;
    }
    f->fm = fm;
    f->installed_ms = f->used_ms = now;
    while (*link && (*link)->fm->priority >= fm->priority)
        link = &(*link)->next;
    f->next = *link;
    *link = f;
    agent.n_flows++;
    host_say("flow added: %s", ofmsg_print(s->cur, fm));
}

/* The library has no copy of an instruction tree; rebuild one with the builders. */
static ofmsg_action *action_copy(const ofmsg_action *a) {
    if (a->type == OFPAT_OUTPUT) {
        const ofmsg_action_output *o = a->body;
        return ofmsg_action_create_output(o->port, o->max_len);
    }
    if (a->type == OFPAT_SET_FIELD) {
        const ofmsg_match_tlv *t = ((const ofmsg_action_set_field *)a->body)->tlv;
        return ofmsg_action_create_set_field(t->header, OFOXM_LENGTH(t->header), t->value);
    }
    if (a->type == OFPAT_EXPERIMENTER) {
        const ofmsg_action_experimenter *e = a->body;
        switch (e->exp_type) {
            case ZELTA_ACTION_EXP_SET_FLAG:
            case ZELTA_ACTION_EXP_OVERWRITE_FLAG:
            case ZELTA_ACTION_EXP_REMOVE_FLAG:
                return ofmsg_action_exp_create_flag(
                    e->exp_type, ((const ofmsg_action_exp_flag *)e->data)->soflagbits);
            case ZELTA_ACTION_EXP_OUTPUT: {
                const ofmsg_action_exp_zelta_output *z = e->data;
                return ofmsg_action_exp_create_zelta_output(z->port, z->max_packet_count);
            }
            case ZELTA_ACTION_EXP_SET_APPID:
                return ofmsg_action_exp_create_set_appid(
                    ((const ofmsg_action_exp_appid *)e->data)->appid);
        }
    }
    return NULL;
}

/* Releases one action that is in no list (the library releases whole lists only). */
static void action_release(ofmsg_action *a) {
    if (a->type == OFPAT_SET_FIELD && a->body) {
        ofmsg_match_tlv *t = ((ofmsg_action_set_field *)a->body)->tlv;
        if (t) free(t->value);
        free(t);
    } else if (a->type == OFPAT_EXPERIMENTER && a->body) {
        free(((ofmsg_action_experimenter *)a->body)->data);
    }
    free(a->body);
    free(a);
}

static ofmsg_instruction_actions *actions_copy(const ofmsg_instruction_actions *src) {
    ofmsg_instruction_actions *copy = NULL, *more;
    uint32_t j;
    for (j = 0; j < src->num_actions; j++) {
        ofmsg_action *a = action_copy(src->actions[j]);
        if (a && (more = ofmsg_instruction_action_add(copy, a)) != NULL) {
            copy = more;
            continue;
        }
        if (a) action_release(a);
        if (copy) ofmsg_flow_instruction_action_free(copy);
        return NULL;
    }
    return copy;
}

static ofmsg_flow_instructions *instructions_copy(const ofmsg_flow_instructions *src) {
    ofmsg_flow_instructions *list = NULL, *grown;
    uint32_t i;
    for (i = 0; i < src->num_inst; i++) {
        const ofmsg_instruction_actions *acts = src->instructions[i]->body;
        ofmsg_instruction_actions *copy;
        ofmsg_instruction *inst;
        if (!acts || acts->num_actions == 0) continue; /* an empty list drops: same as none */
        copy = actions_copy(acts);
        inst = copy ? ofmsg_instruction_action_create(copy) : NULL;
        if (inst && (grown = ofmsg_instructions_add(list, inst)) != NULL) {
            list = grown;
            continue;
        }
        if (inst) {
            ofmsg_flow_instruction_action_free(copy);
            free(inst);
        } else if (copy) {
            ofmsg_flow_instruction_action_free(copy);
        }
        if (list) ofmsg_flow_instructions_free(list);
        return NULL;
    }
    return list;
}

static void flow_modify(session *s, ofmsg_flow_mod *fm, int strict) {
    agent_flow *f;
    int n = 0;
    for (f = agent.flows; f; f = f->next) {
        if (f->fm->table_id != fm->table_id || !cookie_matches(f, fm->cookie, fm->cookie_mask))
            continue;
        if (strict ? f->fm->priority != fm->priority || !match_equal(fm->match, f->fm->match)
                   : !match_covers(fm->match, f->fm->match))
            continue;
        if (f->fm->instructions) ofmsg_flow_instructions_free(f->fm->instructions);
        f->fm->instructions = fm->instructions ? instructions_copy(fm->instructions) : NULL;
        if (fm->flags & AGENT_OFPFF_RESET_COUNTS) f->packet_count = f->byte_count = 0;
        n++;
    }
    host_say("flows modified: %d (%s)", n, ofmsg_print(s->cur, fm));
    ofmsg_free(OFPT_FLOW_MOD, fm);
}

static void flow_delete(session *s, ofmsg_flow_mod *fm, int strict) {
    agent_flow **link = &agent.flows;
    uint64_t now = host_now_ms();
    int n = 0;
    (void)s;
    while (*link) {
        agent_flow *f = *link;
        int hit = table_matches(f, fm->table_id) &&
                  cookie_matches(f, fm->cookie, fm->cookie_mask) &&
                  flow_outputs_to(f, fm->out_port) &&
                  (strict ? f->fm->priority == fm->priority && match_equal(fm->match, f->fm->match)
                          : match_covers(fm->match, f->fm->match));
        if (hit) {
            flow_remove(link, OFPRR_DELETE, now);
            n++;
        } else {
            link = &f->next;
        }
    }
    host_say("flows deleted: %d", n);
    ofmsg_free(OFPT_FLOW_MOD, fm);
}

void flows_apply(session *s, ofmsg_flow_mod *fm) {
    int is_delete = fm->command == OFPFC_DELETE || fm->command == OFPFC_DELETE_STRICT;
    if (fm->table_id >= AGENT_N_TABLES && !(is_delete && fm->table_id == HOST_OFPTT_ALL)) {
        host_peer_send_error(s, AGENT_OFPET_FLOW_MOD_FAILED, AGENT_OFPFMFC_BAD_TABLE_ID, s->cur,
                             s->cur_len);
        ofmsg_free(OFPT_FLOW_MOD, fm);
        return;
    }
    switch (fm->command) {
        case OFPFC_ADD:
            flow_add(s, fm);
            break;
        case OFPFC_MODIFY:
            flow_modify(s, fm, 0);
            break;
        case OFPFC_MODIFY_STRICT:
            flow_modify(s, fm, 1);
            break;
        case OFPFC_DELETE:
            flow_delete(s, fm, 0);
            break;
        case OFPFC_DELETE_STRICT:
            flow_delete(s, fm, 1);
            break;
        default:
            host_peer_send_error(s, AGENT_OFPET_FLOW_MOD_FAILED, AGENT_OFPFMFC_BAD_COMMAND, s->cur,
                                 s->cur_len);
            ofmsg_free(OFPT_FLOW_MOD, fm);
    }
}

agent_flow *flows_lookup(const ofmsg_flow_match *packet) {
    agent_flow *f;
    for (f = agent.flows; f; f = f->next)
        if (f->fm->table_id == 0 && match_covers(f->fm->match, packet)) return f;
    return NULL;
}

/* ---- Flow statistics --------------------------------------------------------------------- */

static uint32_t stat_size(const agent_flow *f) {
    uint32_t match_len = ((uint32_t)f->fm->match->length + 4 + 7) / 8 * 8;
    return 48 + match_len + (f->fm->instructions ? f->fm->instructions->len : 0);
}

static void fill_stat(ofmsg_flow_stat *st, const agent_flow *f, uint64_t now) {
    uint64_t age = now - f->installed_ms;
    st->table_id = f->fm->table_id;
    st->duration_sec = (uint32_t)(age / 1000);
    st->duration_nsec = (uint32_t)(age % 1000) * 1000000u;
    st->priority = f->fm->priority;
    st->idle_timeout = f->fm->idle_timeout;
    st->hard_timeout = f->fm->hard_timeout;
    st->cookie = f->fm->cookie;
    st->packet_count = f->packet_count;
    st->byte_count = f->byte_count;
    st->match = f->fm->match; /* lent: the reply's release leaves them alone */
    st->instructions = f->fm->instructions;
}

static int stat_selected(const agent_flow *f, const ofmsg_flow_stats_request *req) {
    return table_matches(f, req->table_id) && flow_outputs_to(f, req->out_port) &&
           cookie_matches(f, req->cookie, req->cookie_mask) &&
           (!req->match || match_covers(req->match, f->fm->match));
}

/* Sends the entries from *cursor on that fit one message; more follow while *cursor is set. */
static int send_stats_chunk(session *s, const ofmsg_flow_stats_request *req, uint32_t xid,
                            agent_flow **cursor) {
    ofmsg_flow_stat stats[256], *ptrs[256];
    ofmsg_flow_stats_reply list = {0, ptrs};
    ofmsg_multipart_reply reply = {OFPMP_FLOW, 0, &list};
    uint32_t size = 16;
    uint64_t now = host_now_ms();
    agent_flow *f = *cursor;

    memset(stats, 0, sizeof stats);
    for (; f && list.num_flows < 256; f = f->next) {
        if (!stat_selected(f, req)) continue;
        if (size + stat_size(f) > 65535) break;
        size += stat_size(f);
        fill_stat(&stats[list.num_flows], f, now);
        ptrs[list.num_flows] = &stats[list.num_flows];
        list.num_flows++;
    }
    while (f && !stat_selected(f, req))
        f = f->next;
    *cursor = f;
    if (f) reply.flags = HOST_OFPMPF_REPLY_MORE;
    return host_peer_send_encoded(s, OFPT_MULTIPART_REPLY, &reply, xid);
}

void flows_stats_reply(session *s, const ofmsg_flow_stats_request *req, uint32_t xid) {
    agent_flow *cursor = agent.flows;
    while (cursor && !stat_selected(cursor, req))
        cursor = cursor->next;
    do {
        if (send_stats_chunk(s, req, xid, &cursor) != 0) return;
    } while (cursor);
}
