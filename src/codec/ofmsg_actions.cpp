// Instructions and actions: builders, decoders, encoders, printer, names and releases.
#include <algorithm>
#include <cstring>

#include <iterator>

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
constexpr uint16_t kInstructionHeader = 8;           // type, len, 4 pad bytes; then the actions

using OutputLayout =
    Layout<Field<&ofmsg_action_output::port, 4>, Field<&ofmsg_action_output::max_len, 8>>;
constexpr uint16_t kOutputLen = 16;
constexpr uint16_t kSetFieldValue = 8;  // type, len, OXM header; then the value

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

// ---- Experimenter actions: one row per subtype ----------------------------------------------
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

// An experimenter action owning a copy of data; its length is its subtype's.
template <class Data>
ofmsg_action *new_exp_action(uint16_t subtype, const Data &data);

// The data record of a subtype, read from and written at the offsets of its layout.
template <class Data, class DataLayout>
struct ExpData {
    static ofmsg_action *read(const Reader &action, uint16_t subtype) {
        Data d{};
        DataLayout::read(action, d);
        return new_exp_action(subtype, d);
    }
    static void write(const void *data, Writer &w) {
        DataLayout::write(w, *static_cast<const Data *>(data));
    }
};
using FlagData = ExpData<ofmsg_action_exp_flag, FlagLayout>;
using ZeltaOutputData = ExpData<ofmsg_action_exp_zelta_output, ZeltaOutputLayout>;
using AppidData = ExpData<ofmsg_action_exp_appid, AppidLayout>;

void print_flag(const ofmsg_action_exp_flag *d, Out &out) {
    return put<"{soflagbits:%0x}">(out, d->soflagbits);
}
void print_zelta_output(const ofmsg_action_exp_zelta_output *d, Out &out) {
    return put<"{port=%u, max_packet_count=%u}">(out, d->port, d->max_packet_count);
}
void print_appid(const ofmsg_action_exp_appid *d, Out &out) {
    return put<"{appid=%u}">(out, d->appid);
}

struct ExpActionRow {
    const char *name;     // ofmsg_zelta_action_exp_type_to_string
    uint16_t len;         // action length, which the builder stores and the encoder writes
    uint16_t sublen;      // subtype length the encoder writes
    uint16_t min_sublen;  // the decoder needs more subtype bytes than this
    bool carried;         // on the wire; remove-flag is built only, never sent or received
    ofmsg_action *(*read)(const Reader &action, uint16_t subtype);
    void (*write)(const void *data, Writer &w);
    void (*print)(const void *data, Out &out);  // null: the name only
};

// Indexed by subtype - 1.
constexpr ExpActionRow kExpActions[] = {
    {"SET FLAG", 16, 8, 3, true, FlagData::read, FlagData::write, Erase<print_flag>::call},
    {"OVERWRITE FLAG", 16, 8, 3, true, FlagData::read, FlagData::write, Erase<print_flag>::call},
    {"REMOVE_FLAG", 16, 8, 3, false, FlagData::read, FlagData::write, nullptr},
    {"ZELTA OUTPUT", 24, 16, 11, true, ZeltaOutputData::read, ZeltaOutputData::write,
     Erase<print_zelta_output>::call},
    {"SET_APPID", 16, 8, 3, true, AppidData::read, AppidData::write, Erase<print_appid>::call},
};

const ExpActionRow *exp_action_row(uint32_t subtype) {
    return subtype >= 1 && subtype <= std::size(kExpActions) ? &kExpActions[subtype - 1] : nullptr;
}

template <class Data>
ofmsg_action *new_exp_action(uint16_t subtype, const Data &data) {
    const ExpActionRow *row = exp_action_row(subtype);
    if (!row) return nullptr;
    auto *d = alloc_record<Data>();
    if (!d) return nullptr;
    *d = data;
    auto *exp = alloc_record<ofmsg_action_experimenter>();
    if (!exp) {
        std::free(d);
        return nullptr;
    }
    exp->exp_type = subtype;
    exp->data = d;
    ofmsg_action *a = new_action(OFPAT_EXPERIMENTER, row->len, exp);
    if (!a) std::free(d);
    return a;
}

uint16_t set_field_len(uint32_t header) {
    return static_cast<uint16_t>(kSetFieldValue + round8(OFOXM_LENGTH(header)));
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
                if (exp_action_row(exp->exp_type)) std::free(exp->data);
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

// Appends item to list (a new list when list is null): the pointer array grows by exactly one
// slot and the list's len by the item's. Null, with the list unchanged and the item still the
// caller's, when memory is exhausted.
template <auto Array, auto Count, class List, class Item>
List *append_item(List *list, Item *item) {
    if (!item) return nullptr;
    List *target = list ? list : alloc_record<List>();
    if (!target) return nullptr;
    void *grown = std::realloc(target->*Array, (size_t{target->*Count} + 1) * sizeof(Item *));
    if (!grown) {
        if (!list) std::free(target);
        return nullptr;
    }
    target->*Array = static_cast<Item **>(grown);
    (target->*Array)[(target->*Count)++] = item;
    target->len += item->len;
    return target;
}

// ---- Decoding ------------------------------------------------------------------------------
// Each step takes from the shared remaining count only what it consumed: 8 per instruction
// header, 16 per output action, the action length per set-field, 16 or 24 per experimenter
// action. Bytes an action's length field claims beyond that, and one to three stray bytes at
// the end of a list, stay in the count for the caller to refuse.

// A list of items that each begin with a 16-bit type and a 16-bit length (instructions,
// actions), and how to decode, collect and release them.
template <class List, class Item>
struct ListKind {
    int32_t (*decode)(const Reader &item, Item **out, uint32_t *remaining);
    List *(*add)(List *list, Item *item);
    void (*free_item)(Item *item);
    void (*free_list)(List *list);
};

// Walks `left` bytes of `list` item by item while more than three are left; `func` names the
// step in the log lines, len_fault is its line for an item length that does not fit.
template <class List, class Item>
int32_t decode_list(const ListKind<List, Item> &kind, const Reader &list, uint32_t left,
                    uint32_t *remaining, const char *func, const char *len_fault, List **out) {
    List *held = nullptr;
    size_t pos = 0;
    int32_t st = OFMSG_DECODE_OK;
    while (st == OFMSG_DECODE_OK && left > 3) {
        uint16_t len = 0;
        list.u16_at(pos + 2, len);
        if (len > left || len < 4) {
            OFLOG_FROM(func, OFLOG_ERRS, "%s", len_fault);
            st = OFMSG_ERR_BAD_LEN;
            break;
        }
        Reader bytes;
        list.sub(pos, len, bytes);
        Item *item = nullptr;
        st = kind.decode(bytes, &item, remaining);
        if (st != OFMSG_DECODE_OK) {
            OFLOG_FROM(func, OFLOG_ERRS, " ");
            break;
        }
        List *grown = kind.add(held, item);
        if (!grown) {
            kind.free_item(item);
            st = OFMSG_ERR_NO_MEMORY;
            break;
        }
        held = grown;
        left -= len;
        pos += len;
    }
    if (st != OFMSG_DECODE_OK) {
        if (held) kind.free_list(held);
        return st;
    }
    *out = held;
    return OFMSG_DECODE_OK;
}

}  // namespace

// One action (a: exactly its bytes); consumes from *remaining on success only.
int32_t ofmsg_action_decode(const Reader &a, ofmsg_action **out, uint32_t *remaining) {
    const uint32_t len = static_cast<uint32_t>(a.size());
    if (*remaining <= 7 || *remaining < len || len % 8 != 0) return OFMSG_BAD_LEN(" ");
    ActionHeader h{};
    ActionHeaderLayout::read(a, h);
    uint32_t consumed = len;
    switch (h.type) {
        case OFPAT_OUTPUT: {
            if (*remaining < kOutputLen || len < kOutputLen) return OFMSG_BAD_LEN(" ");
            ofmsg_action_output o{};
            OutputLayout::read(a, o);
            *out = ofmsg_action_create_output(o.port, o.max_len);
            consumed = kOutputLen;
            break;
        }
        case OFPAT_SET_FIELD: {
            uint32_t header = 0;
            a.u32_at(4, header);
            const uint32_t field = OFOXM_FIELD(header), plen = OFOXM_LENGTH(header);
            const uint32_t width = ofmsg_oxm_set_field_width(field);
            if (width == 0) {
                OFLOG(OFLOG_ERRS, "Unsupported set-field field %u", (unsigned)field);
                return OFMSG_ERR_ACTION_BAD_SET_TYPE;
            }
            if (plen != width || kSetFieldValue + plen > len) {
                OFLOG(OFLOG_ERRS, "Set-field %s payload length %u",
                      ofmsg_oxm_field_to_string(field), (unsigned)plen);
                return OFMSG_ERR_ACTION_BAD_SET_LEN;
            }
            // VLAN_VID is held as a host-order number, the others as the wire bytes.
            uint8_t bytes[6] = {0};
            uint16_t vid = 0;
            if (field == OXM_OF_VLAN_VID)
                a.u16_at(kSetFieldValue, vid);
            else
                a.bytes_at(kSetFieldValue, bytes, plen);
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
            const ExpActionRow *row = exp_action_row(x.subtype);
            if (!row || !row->carried) {
                OFLOG(OFLOG_ERRS, "Unknown (unsupported) EXPERIMENTER action type %u",
                      (unsigned)x.subtype);
                return OFMSG_ERR_ACTION_BAD_EXP_TYPE;
            }
            // The data sits at fixed offsets: the action must hold its subtype's whole layout.
            if (x.sublen <= row->min_sublen || len < row->len) return OFMSG_BAD_LEN(" ");
            *out = row->read(a, x.subtype);
            consumed = row->len;
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

namespace {
constexpr ListKind<ofmsg_instruction_actions, ofmsg_action> kActionList = {
    ofmsg_action_decode, ofmsg_instruction_action_add, action_free,
    ofmsg_flow_instruction_action_free};
}  // namespace

// The actions of one apply-actions instruction, bounded by the instruction's own length.
int32_t ofmsg_instruction_actions_decode(const Reader &actions, ofmsg_instruction_actions **out,
                                         uint32_t *remaining) {
    return decode_list(kActionList, actions, static_cast<uint32_t>(actions.size()), remaining,
                       __func__, "Decode Error ", out);
}

// One instruction (inst: exactly the bytes its length gives).
int32_t ofmsg_instruction_decode(const Reader &inst, ofmsg_instruction **out, uint32_t *remaining) {
    ActionHeader h{};
    InstructionHeaderLayout::read(inst, h);
    if (*remaining < kInstructionHeader || *remaining < h.len || h.len < kInstructionHeader)
        return OFMSG_BAD_LEN(" ");
    if (h.type != OFPIT_APPLY_ACTIONS) {
        OFLOG(OFLOG_ERRS, "Unsupported instruction type %u", (unsigned)h.type);
        return OFMSG_ERR_INST_UNKNOWN;
    }
    *remaining -= kInstructionHeader;
    Reader actions;
    inst.sub(kInstructionHeader, h.len - kInstructionHeader, actions);
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

namespace {
constexpr ListKind<ofmsg_flow_instructions, ofmsg_instruction> kInstructionList = {
    ofmsg_instruction_decode, ofmsg_instructions_add, instruction_free,
    ofmsg_flow_instructions_free};

// ---- Encoding ------------------------------------------------------------------------------
// One action at the start of w; its length, or -1 for an action that cannot be encoded.
int encode_action(const ofmsg_action *a, Writer w) {
    if (!a || !a->body) return -1;
    int len = -1;
    switch (a->type) {
        case OFPAT_OUTPUT:
            OutputLayout::write(w, *static_cast<const ofmsg_action_output *>(a->body));
            len = kOutputLen;
            break;
        case OFPAT_SET_FIELD: {
            const ofmsg_match_tlv *tlv = static_cast<const ofmsg_action_set_field *>(a->body)->tlv;
            if (!tlv || !tlv->value) return -1;
            const uint32_t field = OFOXM_FIELD(tlv->header), plen = OFOXM_LENGTH(tlv->header);
            const uint32_t width = ofmsg_oxm_set_field_width(field);  // 0: cannot be set
            if (width == 0 || width != plen) return -1;
            w.u32_at(4, tlv->header);
            if (field == OXM_OF_VLAN_VID) {
                uint16_t vid;
                std::memcpy(&vid, tlv->value, 2);
                w.u16_at(kSetFieldValue, vid);
            } else {
                w.bytes_at(kSetFieldValue, tlv->value, plen);
            }
            len = set_field_len(tlv->header);
            break;
        }
        case OFPAT_EXPERIMENTER: {
            auto *exp = static_cast<const ofmsg_action_experimenter *>(a->body);
            const ExpActionRow *row = exp_action_row(exp->exp_type);
            if (!row || !row->carried || !exp->data) return -1;
            ExpActionHeaderLayout::write(
                w, ExpActionHeader{ZELTA_EXPERIMENTER_ID, exp->exp_type, row->sublen});
            row->write(exp->data, w);
            len = row->len;
            break;
        }
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
    uint32_t total = kInstructionHeader;
    for (uint32_t i = 0; list && i < list->num_actions; i++) {
        const int n = encode_action(list->actions[i], w.from(total));
        if (n < 0) return -1;
        total += static_cast<uint32_t>(n);
    }
    if (total != inst->len || (list && total != list->len + kInstructionHeader)) return -1;
    InstructionHeaderLayout::write(w, ActionHeader{inst->type, inst->len});
    return w.ok() ? static_cast<int>(total) : -1;
}

// ---- Printing ------------------------------------------------------------------------------
// Names with their lengths: the printer copies them without measuring them.
text::Str instruction_type_name(uint32_t type) {
    return type == OFPIT_APPLY_ACTIONS ? text::lit("OFPIT_APPLY_ACTIONS") : text::lit("unknown");
}

text::Str action_type_name(uint32_t type) {
    switch (type) {
        case OFPAT_OUTPUT:
            return text::lit("OFPAT_OUTPUT");
        case OFPAT_SET_FIELD:
            return text::lit("OFPAT_SET_FIELD");
        case OFPAT_EXPERIMENTER:
            return text::lit("OFPAT_EXPERIMENTER");
        default:
            return text::lit("unknown");
    }
}

void print_set_field(Out &out, const ofmsg_action_set_field *sf) {
    if (!sf->tlv || !sf->tlv->value) return;
    const uint32_t field = OFOXM_FIELD(sf->tlv->header);
    const uint8_t *v = sf->tlv->value;
    put<" {Field=%s">(out, oxm_field_name(field));
    switch (field) {
        case OXM_OF_ETH_DST:
        case OXM_OF_ETH_SRC:
            return put<", value=  %02x:%02x:%02x:%02x:%02x:%02x }">(out, v[0], v[1], v[2], v[3],
                                                                    v[4], v[5]);
        case OXM_OF_VLAN_VID: {
            uint16_t vid;
            std::memcpy(&vid, v, 2);
            return put<", value=%u}">(out, vid);
        }
        case OXM_OF_VLAN_PCP:
        case OXM_OF_IP_DSCP:
        case OXM_OF_IP_ECN:
            return put<", value=%u}">(out, v[0]);
        default:
            return;
    }
}

void print_action(Out &out, const ofmsg_action *a) {
    if (a->type == OFPAT_OUTPUT && a->body) {  // the most common action: one piece of text
        auto *o = static_cast<const ofmsg_action_output *>(a->body);
        return put<" {Type=%s{port=%u, max_len=%u}">(out, action_type_name(a->type), o->port,
                                                     o->max_len);
    }
    put<" {Type=%s">(out, action_type_name(a->type));
    if (!a->body) return;
    switch (a->type) {
        case OFPAT_SET_FIELD:
            return print_set_field(out, static_cast<const ofmsg_action_set_field *>(a->body));
        case OFPAT_EXPERIMENTER: {
            auto *exp = static_cast<const ofmsg_action_experimenter *>(a->body);
            put<" {Type=%s">(out, ofmsg_zelta_action_exp_type_to_string(exp->exp_type));
            const ExpActionRow *row = exp_action_row(exp->exp_type);
            if (row && row->print && exp->data) row->print(exp->data, out);
            return;
        }
        default:
            return;
    }
}

}  // namespace

int32_t ofmsg_flow_instructions_decode(ofmsg_flow_instructions **out, const Reader &list,
                                       uint32_t *remaining) {
    if (*remaining > list.size()) return OFMSG_BAD_LEN(" ");
    return decode_list(kInstructionList, list, *remaining, remaining, __func__, " ", out);
}

bool ofmsg_flow_instructions_encode(const ofmsg_flow_instructions *list, Writer dest) {
    uint32_t total = 0;
    for (uint32_t i = 0; i < list->num_inst; i++) {
        const int n = encode_instruction(list->instructions[i], dest.from(total));
        if (n < 0) return false;
        total += static_cast<uint32_t>(n);
    }
    return total == list->len;
}

void ofmsg_flow_instructions_print(const ofmsg_flow_instructions *list, Out &out) {
    for (uint32_t i = 0; list && i < list->num_inst && !out.full(); i++) {
        const ofmsg_instruction *inst = list->instructions[i];
        if (!inst) continue;
        put<"{Type=%s">(out, instruction_type_name(inst->type));
        if (inst->type != OFPIT_APPLY_ACTIONS || !inst->body) continue;
        for (uint32_t j = 0; j < inst->body->num_actions && !out.full(); j++)
            if (inst->body->actions[j]) print_action(out, inst->body->actions[j]);
    }
    return;
}

const char *ofmsg_ofp_instruction_type_to_string(uint32_t type) {
    return instruction_type_name(type).s;
}

const char *ofmsg_ofp_action_type_to_string(uint32_t type) {
    return action_type_name(type).s;
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
    return ofagent::new_action(OFPAT_OUTPUT, ofagent::kOutputLen, o);
}

ofmsg_action *ofmsg_action_create_set_field(uint32_t header, uint32_t size, const void *value) {
    // The buffer is at least as long as the header announces and as its field's value, so
    // neither the encoder nor the printer reads past it when size and header disagree.
    const size_t width = ofagent::ofmsg_oxm_set_field_width(OFOXM_FIELD(header));
    const size_t n = std::max<size_t>({size, OFOXM_LENGTH(header), width});
    ofagent::PlainGuard<ofmsg_match_tlv> tlv(alloc_record<ofmsg_match_tlv>());
    if (!tlv) return nullptr;
    tlv->value = static_cast<uint8_t *>(ofagent::alloc_zeroed(n, 1));
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
    // Only the flag subtypes own a flag record; any other would never be released.
    if (exp_type < ZELTA_ACTION_EXP_SET_FLAG || exp_type > ZELTA_ACTION_EXP_REMOVE_FLAG)
        return nullptr;
    return ofagent::new_exp_action(exp_type, ofmsg_action_exp_flag{soflagbits});
}

ofmsg_action *ofmsg_action_exp_create_zelta_output(uint32_t port, uint32_t max_packet_count) {
    return ofagent::new_exp_action(ZELTA_ACTION_EXP_OUTPUT,
                                   ofmsg_action_exp_zelta_output{port, max_packet_count});
}

ofmsg_action *ofmsg_action_exp_create_set_appid(uint16_t appid) {
    return ofagent::new_exp_action(ZELTA_ACTION_EXP_SET_APPID, ofmsg_action_exp_appid{appid});
}

ofmsg_instruction_actions *ofmsg_instruction_action_add(ofmsg_instruction_actions *list,
                                                        ofmsg_action *action) {
    return ofagent::append_item<&ofmsg_instruction_actions::actions,
                                &ofmsg_instruction_actions::num_actions>(list, action);
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
    return ofagent::append_item<&ofmsg_flow_instructions::instructions,
                                &ofmsg_flow_instructions::num_inst>(list, instruction);
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
    const ofagent::ExpActionRow *row = ofagent::exp_action_row(exp_type);
    return row ? row->name : "unknown";
}

}  // extern "C"
