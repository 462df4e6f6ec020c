// Instructions and actions: builders, decoders, encoders, printer, names and releases.
#include <cstring>

#include "ofmsg_internal.hpp"

namespace ofagent {
namespace {

using wire::Field;
using wire::Layout;

// ---- Wire layouts --------------------------------------------------------------------------
struct ActionHeader {
    uint16_t type;
    uint16_t len;
};
using ActionHeaderLayout = Layout<Field<&ActionHeader::type, 0>, Field<&ActionHeader::len, 2>>;
using InstructionHeaderLayout = ActionHeaderLayout;  // ofp_instruction: type, len

using OutputLayout =
    Layout<Field<&ofmsg_action_output::port, 4>, Field<&ofmsg_action_output::max_len, 8>>;

struct ExpActionHeader {
    uint32_t experimenter;
    uint16_t subtype;
    uint16_t sublen;
};
using ExpActionHeaderLayout =
    Layout<Field<&ExpActionHeader::experimenter, 4>, Field<&ExpActionHeader::subtype, 8>,
           Field<&ExpActionHeader::sublen, 10>>;
using FlagLayout = Layout<Field<&ofmsg_action_exp_flag::soflagbits, 12>>;
using ZeltaOutputLayout = Layout<Field<&ofmsg_action_exp_zelta_output::port, 12>,
                                 Field<&ofmsg_action_exp_zelta_output::max_packet_count, 16>>;
using AppidLayout = Layout<Field<&ofmsg_action_exp_appid::appid, 12>>;

// Experimenter subtypes carried on the wire: action length and subtype length written.
struct ExpShape {
    uint16_t subtype;
    uint16_t len;
    uint16_t sublen;
    uint16_t min_sublen;  // the decoder needs more than this many subtype bytes
};
constexpr ExpShape kExpShapes[] = {
    {ZELTA_ACTION_EXP_SET_FLAG, 16, 8, 3},
    {ZELTA_ACTION_EXP_OVERWRITE_FLAG, 16, 8, 3},
    {ZELTA_ACTION_EXP_OUTPUT, 24, 16, 11},
    {ZELTA_ACTION_EXP_SET_APPID, 16, 8, 3},
};

const ExpShape *exp_shape(uint32_t subtype) {
    for (const ExpShape &s : kExpShapes)
        if (s.subtype == subtype) return &s;
    return nullptr;
}

// Set-field fields: value width; VLAN_VID is held as a host-order 16-bit number.
int set_field_width(uint32_t field) {
    switch (field) {
        case OXM_OF_ETH_DST:
        case OXM_OF_ETH_SRC:
            return 6;
        case OXM_OF_VLAN_VID:
            return 2;
        case OXM_OF_VLAN_PCP:
        case OXM_OF_IP_DSCP:
        case OXM_OF_IP_ECN:
            return 1;
        default:
            return 0;
    }
}

uint16_t set_field_len(uint32_t header) {
    return static_cast<uint16_t>(8u * ((OFOXM_LENGTH(header) + 7u) / 8u + 1u));
}

// Releases by type what the action owns; a type this codec does not build owns no body, so
// its body stays the holder's.
void action_free(ofmsg_action *a) {
    if (!a) return;
    switch (a->type) {
        case OFPAT_OUTPUT:
            std::free(a->body);
            break;
        case OFPAT_SET_FIELD:
            if (auto *sf = static_cast<ofmsg_action_set_field *>(a->body)) {
                if (sf->tlv) std::free(sf->tlv->value);
                std::free(sf->tlv);
            }
            std::free(a->body);
            break;
        case OFPAT_EXPERIMENTER:
            if (auto *exp = static_cast<ofmsg_action_experimenter *>(a->body)) {
                // The five subtypes the builders make own their data record.
                if (exp->exp_type >= ZELTA_ACTION_EXP_SET_FLAG &&
                    exp->exp_type <= ZELTA_ACTION_EXP_SET_APPID)
                    std::free(exp->data);
            }
            std::free(a->body);
            break;
        default:
            break;
    }
    std::free(a);
}

void instruction_free(ofmsg_instruction *inst) {
    if (!inst) return;
    if (inst->type == OFPIT_APPLY_ACTIONS && inst->body)
        ofmsg_flow_instruction_action_free(inst->body);
    std::free(inst);
}

using ActionGuard = Guard<ofmsg_action, action_free>;
using ActionListGuard = Guard<ofmsg_instruction_actions, ofmsg_flow_instruction_action_free>;
using InstGuard = Guard<ofmsg_instruction, instruction_free>;
using InstListGuard = Guard<ofmsg_flow_instructions, ofmsg_flow_instructions_free>;

ofmsg_action *new_action(uint16_t type, uint16_t len, void *body) {
    if (!body) return nullptr;
    ofmsg_action *a = alloc_record<ofmsg_action>();
    if (!a) {
        std::free(body);
        return nullptr;
    }
    a->type = type;
    a->len = len;
    a->body = body;
    return a;
}

ofmsg_action *new_exp_action(uint16_t subtype, uint16_t len, void *data) {
    if (!data) return nullptr;
    auto *exp = alloc_record<ofmsg_action_experimenter>();
    if (!exp) {
        std::free(data);
        return nullptr;
    }
    exp->exp_type = subtype;
    exp->data = data;
    ofmsg_action *a = new_action(OFPAT_EXPERIMENTER, len, exp);
    if (!a) std::free(data);
    return a;
}

// Grows a pointer array by one slot; false (array unchanged) when memory is exhausted.
template <class T>
bool append_ptr(T **&array, uint32_t count, T *item) {
    void *grown = std::realloc(array, (size_t{count} + 1) * sizeof(T *));
    if (!grown) return false;
    array = static_cast<T **>(grown);
    array[count] = item;
    return true;
}

// ---- Decoding ------------------------------------------------------------------------------
// Each step takes from the shared remaining count only what it consumed: 8 per instruction
// header, 16 per output action, the action length per set-field, 16 or 24 per experimenter
// action. Bytes an action's length field claims beyond that, and one to three stray bytes at
// the end of a list, stay in the count for the caller to refuse.

// One action of len bytes (a, exactly those bytes); consumes from *remaining on success only.
int32_t ofmsg_action_decode(const Reader &a, uint16_t len, ofmsg_action **out,
                            uint32_t *remaining) {
    if (*remaining <= 7 || *remaining < len || len % 8 != 0) return OFMSG_BAD_LEN(" ");
    ActionHeader h{};
    ActionHeaderLayout::read(a, h);
    uint32_t consumed = len;
    switch (h.type) {
        case OFPAT_OUTPUT: {
            if (*remaining <= 15 || len < 16) return OFMSG_BAD_LEN(" ");
            ofmsg_action_output o{};
            OutputLayout::read(a, o);
            *out = ofmsg_action_create_output(o.port, o.max_len);
            consumed = 16;
            break;
        }
        case OFPAT_SET_FIELD: {
            uint32_t header = 0;
            a.u32_at(4, header);
            const uint32_t field = OFOXM_FIELD(header), plen = OFOXM_LENGTH(header);
            const int width = set_field_width(field);
            if (width == 0) {
                OFLOG(OFLOG_ERRS, "Unsupported set-field field %u", (unsigned)field);
                return OFMSG_ERR_ACTION_BAD_SET_TYPE;
            }
            if (plen != static_cast<uint32_t>(width) || 8u + plen > len) {
                OFLOG(OFLOG_ERRS, "Set-field %s payload length %u",
                      ofmsg_oxm_field_to_string(field), (unsigned)plen);
                return OFMSG_ERR_ACTION_BAD_SET_LEN;
            }
            uint8_t bytes[6] = {0};
            uint16_t vid = 0;
            if (field == OXM_OF_VLAN_VID)
                a.u16_at(8, vid);
            else
                a.bytes_at(8, bytes, plen);
            *out = ofmsg_action_create_set_field(
                header, plen, field == OXM_OF_VLAN_VID ? static_cast<void *>(&vid) : bytes);
            break;
        }
        case OFPAT_EXPERIMENTER: {
            if (len <= 15) return OFMSG_BAD_LEN(" ");
            ExpActionHeader x{};
            ExpActionHeaderLayout::read(a, x);
            if (x.experimenter != ZELTA_EXPERIMENTER_ID) {
                OFLOG(OFLOG_ERRS, "Not supported experimenter type ");
                return OFMSG_ERR_BAD_EXPERIMENTER;
            }
            const ExpShape *shape = exp_shape(x.subtype);
            if (!shape) {
                OFLOG(OFLOG_ERRS, "Unknown (unsupported) EXPERIMENTER action type %u",
                      (unsigned)x.subtype);
                return OFMSG_ERR_ACTION_BAD_EXP_TYPE;
            }
            // The data sits at fixed offsets: the action must hold its subtype's whole layout.
            if (x.sublen <= shape->min_sublen || len < shape->len) return OFMSG_BAD_LEN(" ");
            if (x.subtype == ZELTA_ACTION_EXP_OUTPUT) {
                ofmsg_action_exp_zelta_output o{};
                ZeltaOutputLayout::read(a, o);
                *out = ofmsg_action_exp_create_zelta_output(o.port, o.max_packet_count);
            } else if (x.subtype == ZELTA_ACTION_EXP_SET_APPID) {
                ofmsg_action_exp_appid o{};
                AppidLayout::read(a, o);
                *out = ofmsg_action_exp_create_set_appid(o.appid);
            } else {
                ofmsg_action_exp_flag o{};
                FlagLayout::read(a, o);
                *out = ofmsg_action_exp_create_flag(x.subtype, o.soflagbits);
            }
            consumed = shape->len;
            break;
        }
        default:
            OFLOG(OFLOG_ERRS, "Unsupported action type %u", (unsigned)h.type);
            return OFMSG_ERR_ACTION_BAD_TYPE;
    }
    if (!*out) return OFMSG_ERR_NO_MEMORY;
    *remaining -= consumed;
    return OFMSG_DECODE_OK;
}

// The actions of one apply-actions instruction: bounded by the instruction's own length.
int32_t ofmsg_instruction_actions_decode(const Reader &actions, ofmsg_instruction_actions **out,
                                         uint32_t *remaining) {
    ActionListGuard list;
    uint32_t left = static_cast<uint32_t>(actions.size());
    size_t pos = 0;
    while (left > 3) {
        uint16_t len = 0;
        actions.u16_at(pos + 2, len);
        if (len > left || len <= 3) return OFMSG_BAD_LEN("Decode Error ");
        Reader bytes;
        actions.sub(pos, len, bytes);
        ofmsg_action *action = nullptr;
        const int32_t st = ofmsg_action_decode(bytes, len, &action, remaining);
        if (st != OFMSG_DECODE_OK) {
            OFLOG(OFLOG_ERRS, " ");
            return st;
        }
        ActionGuard held(action);
        ofmsg_instruction_actions *grown = ofmsg_instruction_action_add(list.get(), action);
        if (!grown) return OFMSG_ERR_NO_MEMORY;
        held.release();
        if (!list) list.reset(grown);
        left -= len;
        pos += len;
    }
    *out = list.release();
    return OFMSG_DECODE_OK;
}

// One instruction of the length its header gives (inst, exactly those bytes).
int32_t ofmsg_instruction_decode(const Reader &inst, ofmsg_instruction **out, uint32_t *remaining) {
    ActionHeader h{};
    InstructionHeaderLayout::read(inst, h);
    if (*remaining <= 7 || *remaining < h.len || h.len < 8) return OFMSG_BAD_LEN(" ");
    if (h.type != OFPIT_APPLY_ACTIONS) {
        OFLOG(OFLOG_ERRS, "Unsupported instruction type %u", (unsigned)h.type);
        return OFMSG_ERR_INST_UNKNOWN;
    }
    *remaining -= 8;
    Reader actions;
    inst.sub(8, h.len - 8u, actions);
    ofmsg_instruction_actions *list = nullptr;
    const int32_t st = ofmsg_instruction_actions_decode(actions, &list, remaining);
    if (st != OFMSG_DECODE_OK) {
        OFLOG(OFLOG_ERRS, " ");
        return st;
    }
    *out = ofmsg_instruction_action_create(list);
    if (!*out) {
        if (list) ofmsg_flow_instruction_action_free(list);
        return OFMSG_ERR_NO_MEMORY;
    }
    return OFMSG_DECODE_OK;
}

// ---- Encoding ------------------------------------------------------------------------------
int encode_set_field(const ofmsg_action_set_field *sf, Writer &w) {
    const ofmsg_match_tlv *tlv = sf ? sf->tlv : nullptr;
    if (!tlv || !tlv->value) return -1;
    const uint32_t field = OFOXM_FIELD(tlv->header), plen = OFOXM_LENGTH(tlv->header);
    if (set_field_width(field) != static_cast<int>(plen)) return -1;
    w.u32_at(4, tlv->header);
    if (field == OXM_OF_VLAN_VID) {
        uint16_t vid;
        std::memcpy(&vid, tlv->value, 2);
        w.u16_at(8, vid);
    } else {
        w.bytes_at(8, tlv->value, plen);
    }
    return set_field_len(tlv->header);
}

int encode_experimenter(const ofmsg_action_experimenter *exp, Writer &w) {
    const ExpShape *shape = exp ? exp_shape(exp->exp_type) : nullptr;
    if (!shape || !exp->data) return -1;
    const ExpActionHeader h{ZELTA_EXPERIMENTER_ID, shape->subtype, shape->sublen};
    ExpActionHeaderLayout::write(w, h);
    if (shape->subtype == ZELTA_ACTION_EXP_OUTPUT)
        ZeltaOutputLayout::write(w, *static_cast<const ofmsg_action_exp_zelta_output *>(exp->data));
    else if (shape->subtype == ZELTA_ACTION_EXP_SET_APPID)
        AppidLayout::write(w, *static_cast<const ofmsg_action_exp_appid *>(exp->data));
    else
        FlagLayout::write(w, *static_cast<const ofmsg_action_exp_flag *>(exp->data));
    return shape->len;
}

// One action at the start of w; its length, or -1 for an action that cannot be encoded.
int encode_action(const ofmsg_action *a, Writer w) {
    if (!a || !a->body) return -1;
    int len = -1;
    switch (a->type) {
        case OFPAT_OUTPUT:
            OutputLayout::write(w, *static_cast<const ofmsg_action_output *>(a->body));
            len = 16;
            break;
        case OFPAT_SET_FIELD:
            len = encode_set_field(static_cast<const ofmsg_action_set_field *>(a->body), w);
            break;
        case OFPAT_EXPERIMENTER:
            len = encode_experimenter(static_cast<const ofmsg_action_experimenter *>(a->body), w);
            break;
        default:
            break;
    }
    // The list's len (and so the message size) was computed from the records' len fields.
    if (len < 0 || len != a->len) return -1;
    ActionHeaderLayout::write(w, ActionHeader{a->type, a->len});
    return w.ok() ? len : -1;
}

int encode_instruction(const ofmsg_instruction *inst, Writer w) {
    if (!inst || inst->type != OFPIT_APPLY_ACTIONS) return -1;
    const ofmsg_instruction_actions *list = inst->body;
    uint32_t total = 8;
    for (uint32_t i = 0; list && i < list->num_actions; i++) {
        const int n = encode_action(list->actions[i], w.from(total));
        if (n < 0) return -1;
        total += static_cast<uint32_t>(n);
    }
    if (total != inst->len || (list && total != list->len + 8u)) return -1;
    InstructionHeaderLayout::write(w, ActionHeader{inst->type, inst->len});
    return w.ok() ? static_cast<int>(total) : -1;
}

// ---- Printing ------------------------------------------------------------------------------
char *print_set_field(char *dst, const ofmsg_action_set_field *sf) {
    if (!sf || !sf->tlv || !sf->tlv->value) return dst;
    const uint32_t field = OFOXM_FIELD(sf->tlv->header);
    const uint8_t *v = sf->tlv->value;
    dst = print_append(dst, " {Field=%s", ofmsg_oxm_field_to_string(field));
    switch (field) {
        case OXM_OF_ETH_DST:
        case OXM_OF_ETH_SRC:
            return print_append(dst, ", value=  %02x:%02x:%02x:%02x:%02x:%02x }", v[0], v[1], v[2],
                                v[3], v[4], v[5]);
        case OXM_OF_VLAN_VID: {
            uint16_t vid;
            std::memcpy(&vid, v, 2);
            return print_append(dst, ", value=%u}", vid);
        }
        case OXM_OF_VLAN_PCP:
        case OXM_OF_IP_DSCP:
        case OXM_OF_IP_ECN:
            return print_append(dst, ", value=%u}", v[0]);
        default:
            return dst;
    }
}

char *print_experimenter(char *dst, const ofmsg_action_experimenter *exp) {
    if (!exp) return dst;
    dst = print_append(dst, " {Type=%s", ofmsg_zelta_action_exp_type_to_string(exp->exp_type));
    if (!exp->data) return dst;
    switch (exp->exp_type) {
        case ZELTA_ACTION_EXP_SET_FLAG:
        case ZELTA_ACTION_EXP_OVERWRITE_FLAG:
            return print_append(dst, "{soflagbits:%0x}",
                                static_cast<const ofmsg_action_exp_flag *>(exp->data)->soflagbits);
        case ZELTA_ACTION_EXP_OUTPUT: {
            auto *o = static_cast<const ofmsg_action_exp_zelta_output *>(exp->data);
            return print_append(dst, "{port=%u, max_packet_count=%u}", o->port,
                                o->max_packet_count);
        }
        case ZELTA_ACTION_EXP_SET_APPID:
            return print_append(dst, "{appid=%u}",
                                static_cast<const ofmsg_action_exp_appid *>(exp->data)->appid);
        default:
            return dst;
    }
}

char *print_action(char *dst, const ofmsg_action *a) {
    dst = print_append(dst, " {Type=%s", ofmsg_ofp_action_type_to_string(a->type));
    if (!a->body) return dst;
    switch (a->type) {
        case OFPAT_OUTPUT: {
            auto *o = static_cast<const ofmsg_action_output *>(a->body);
            return print_append(dst, "{port=%u, max_len=%u}", o->port, o->max_len);
        }
        case OFPAT_SET_FIELD:
            return print_set_field(dst, static_cast<const ofmsg_action_set_field *>(a->body));
        case OFPAT_EXPERIMENTER:
            return print_experimenter(dst, static_cast<const ofmsg_action_experimenter *>(a->body));
        default:
            return dst;
    }
}

}  // namespace

int32_t ofmsg_flow_instructions_decode(ofmsg_flow_instructions **out, const Reader &list,
                                       uint32_t *remaining) {
    if (*remaining > list.size()) return OFMSG_BAD_LEN(" ");
    InstListGuard insts;
    uint32_t left = *remaining;
    size_t pos = 0;
    while (left > 3) {
        uint16_t len = 0;
        list.u16_at(pos + 2, len);
        if (len > left || len < 4) return OFMSG_BAD_LEN(" ");
        Reader bytes;
        list.sub(pos, len, bytes);
        ofmsg_instruction *inst = nullptr;
        const int32_t st = ofmsg_instruction_decode(bytes, &inst, remaining);
        if (st != OFMSG_DECODE_OK) {
            OFLOG(OFLOG_ERRS, " ");
            return st;
        }
        InstGuard held(inst);
        ofmsg_flow_instructions *grown = ofmsg_instructions_add(insts.get(), inst);
        if (!grown) return OFMSG_ERR_NO_MEMORY;
        held.release();
        if (!insts) insts.reset(grown);
        left -= len;
        pos += len;
    }
    *out = insts.release();
    return OFMSG_DECODE_OK;
}

int ofmsg_flow_instructions_encode(const ofmsg_flow_instructions *list, Writer dest) {
    if (!list) return 0;
    uint32_t total = 0;
    for (uint32_t i = 0; i < list->num_inst; i++) {
        const int n = encode_instruction(list->instructions[i], dest.from(total));
        if (n < 0) return -1;
        total += static_cast<uint32_t>(n);
    }
    return total == list->len ? static_cast<int>(total) : -1;
}

char *ofmsg_flow_instructions_print(const ofmsg_flow_instructions *list, char *dst) {
    for (uint32_t i = 0; list && i < list->num_inst; i++) {
        const ofmsg_instruction *inst = list->instructions[i];
        if (!inst) continue;
        dst = print_append(dst, "{Type=%s", ofmsg_ofp_instruction_type_to_string(inst->type));
        if (inst->type != OFPIT_APPLY_ACTIONS || !inst->body) continue;
        for (uint32_t j = 0; j < inst->body->num_actions; j++)
            if (inst->body->actions[j]) dst = print_action(dst, inst->body->actions[j]);
    }
    return dst;
}

const char *ofmsg_ofp_instruction_type_to_string(uint32_t type) {
    return type == OFPIT_APPLY_ACTIONS ? "OFPIT_APPLY_ACTIONS" : "unknown";
}

const char *ofmsg_ofp_action_type_to_string(uint32_t type) {
    switch (type) {
        case OFPAT_OUTPUT:
            return "OFPAT_OUTPUT";
        case OFPAT_SET_FIELD:
            return "OFPAT_SET_FIELD";
        case OFPAT_EXPERIMENTER:
            return "OFPAT_EXPERIMENTER";
        default:
            return "unknown";
    }
}

}  // namespace ofagent

using ofagent::alloc_record;

extern "C" {

ofmsg_action *ofmsg_action_create_output(uint32_t port, uint16_t max_len) {
    auto *o = alloc_record<ofmsg_action_output>();
    if (o) {
        o->port = port;
        o->max_len = max_len;
    }
    return ofagent::new_action(OFPAT_OUTPUT, 16, o);
}

ofmsg_action *ofmsg_action_create_set_field(uint32_t header, uint32_t size, const void *value) {
    // The buffer is at least as long as the header announces, so the encoder never reads past
    // it even when size and header disagree.
    const size_t n = size > OFOXM_LENGTH(header) ? size : OFOXM_LENGTH(header);
    ofagent::PlainGuard<ofmsg_match_tlv> tlv(alloc_record<ofmsg_match_tlv>());
    if (!tlv) return nullptr;
    tlv->value = static_cast<uint8_t *>(std::calloc(n ? n : 1, 1));
    if (!tlv->value) return nullptr;
    if (value && size) std::memcpy(tlv->value, value, size);
    tlv->header = header;
    auto *sf = alloc_record<ofmsg_action_set_field>();
    if (!sf) {
        std::free(tlv->value);
        return nullptr;
    }
    sf->tlv = tlv.get();
    ofmsg_action *a = ofagent::new_action(OFPAT_SET_FIELD, ofagent::set_field_len(header), sf);
    if (!a) {
        std::free(tlv->value);
        return nullptr;
    }
    tlv.release();
    return a;
}

ofmsg_action *ofmsg_action_exp_create_flag(uint16_t exp_type, uint32_t soflagbits) {
    auto *d = alloc_record<ofmsg_action_exp_flag>();
    if (d) d->soflagbits = soflagbits;
    return ofagent::new_exp_action(exp_type, 16, d);
}

ofmsg_action *ofmsg_action_exp_create_zelta_output(uint32_t port, uint32_t max_packet_count) {
    auto *d = alloc_record<ofmsg_action_exp_zelta_output>();
    if (d) {
        d->port = port;
        d->max_packet_count = max_packet_count;
    }
    return ofagent::new_exp_action(ZELTA_ACTION_EXP_OUTPUT, 24, d);
}

ofmsg_action *ofmsg_action_exp_create_set_appid(uint16_t appid) {
    auto *d = alloc_record<ofmsg_action_exp_appid>();
    if (d) d->appid = appid;
    return ofagent::new_exp_action(ZELTA_ACTION_EXP_SET_APPID, 16, d);
}

ofmsg_instruction_actions *ofmsg_instruction_action_add(ofmsg_instruction_actions *list,
                                                        ofmsg_action *action) {
    if (!action) return nullptr;
    ofmsg_instruction_actions *target = list ? list : alloc_record<ofmsg_instruction_actions>();
    if (!target) return nullptr;
    if (!ofagent::append_ptr(target->actions, target->num_actions, action)) {
        if (!list) std::free(target);
        return nullptr;
    }
    target->num_actions++;
    target->len += action->len;
    return target;
}

ofmsg_instruction *ofmsg_instruction_action_create(ofmsg_instruction_actions *list) {
    ofmsg_instruction *inst = alloc_record<ofmsg_instruction>();
    if (!inst) return nullptr;
    inst->type = OFPIT_APPLY_ACTIONS;
    inst->len = static_cast<uint16_t>((list ? list->len : 0u) + 8u);
    inst->body = list;
    return inst;
}

ofmsg_flow_instructions *ofmsg_instructions_add(ofmsg_flow_instructions *list,
                                                ofmsg_instruction *instruction) {
    if (!instruction) return nullptr;
    ofmsg_flow_instructions *target = list ? list : alloc_record<ofmsg_flow_instructions>();
    if (!target) return nullptr;
    if (!ofagent::append_ptr(target->instructions, target->num_inst, instruction)) {
        if (!list) std::free(target);
        return nullptr;
    }
    target->num_inst++;
    target->len += instruction->len;
    return target;
}

void ofmsg_flow_instructions_free(ofmsg_flow_instructions *list) {
    if (!list) return;
    for (uint32_t i = 0; i < list->num_inst; i++)
        ofagent::instruction_free(list->instructions[i]);
    std::free(list->instructions);
    std::free(list);
}

void ofmsg_flow_instruction_action_free(ofmsg_instruction_actions *list) {
    if (!list) return;
    for (uint32_t i = 0; i < list->num_actions; i++)
        ofagent::action_free(list->actions[i]);
    std::free(list->actions);
    std::free(list);
}

const char *ofmsg_zelta_action_exp_type_to_string(uint32_t exp_type) {
    switch (exp_type) {
        case ZELTA_ACTION_EXP_SET_FLAG:
            return "SET FLAG";
        case ZELTA_ACTION_EXP_OVERWRITE_FLAG:
            return "OVERWRITE FLAG";
        case ZELTA_ACTION_EXP_REMOVE_FLAG:
            return "REMOVE_FLAG";
        case ZELTA_ACTION_EXP_OUTPUT:
            return "ZELTA OUTPUT";
        case ZELTA_ACTION_EXP_SET_APPID:
            return "SET_APPID";
        default:
            return "unknown";
    }
}

}  // extern "C"
