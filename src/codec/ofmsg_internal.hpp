// Codec internals shared by the frame (decode/encode/utils), the type table and the message
// families.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "ofmsg.h"
#include "../support/offmt.hpp"
#include "../support/oflog_internal.hpp"
#include "wire.hpp"

// Logs text at ERRS level and gives the length-fault status. A macro, so that the line names the
// step that found the fault rather than a helper.
#define OFMSG_BAD_LEN(text) (OFLOG(OFLOG_ERRS, text), OFMSG_ERR_BAD_LEN)

namespace ofagent {

using wire::Reader;
using wire::round8;
using wire::Writer;

// ---- Allocation and ownership ------------------------------------------------------------
// Records handed to the host are plain zero-filled malloc blocks, made by malloc and a clear:
// glibc's calloc skips the thread cache that makes small blocks cheap. The empty asm hides
// the block's origin, or the compiler folds the pair back into calloc.
inline void *alloc_zeroed(size_t bytes) {
    void *p = std::malloc(bytes > 0 ? bytes : 1);
    asm("" : "+r"(p));
    if (p) std::memset(p, 0, bytes);
    return p;
}

// An array of n elements of size bytes; null when it cannot be had.
inline void *alloc_zeroed(size_t n, size_t size) {
    return size && n > SIZE_MAX / size ? nullptr : alloc_zeroed(n * size);
}

template <class T>
T *alloc_record() {
    static_assert(std::is_trivially_copyable_v<T>);
    return static_cast<T *>(alloc_zeroed(sizeof(T)));
}

// Releases a half-built record on every early return unless release() is called on success.
template <class T, void (*Free)(T *)>
class Guard {
   public:
    explicit Guard(T *p = nullptr) : p_(p) {}
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
    ~Guard() {
        if (p_) Free(p_);
    }
    T *get() const { return p_; }
    T *operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T *release() {
        T *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(T *p) {
        if (p_) Free(p_);
        p_ = p;
    }

   private:
    T *p_;
};

template <class T>
inline void free_plain(T *p) {
    std::free(p);
}
template <class T>
using PlainGuard = Guard<T, free_plain<T>>;

// Releases a body record with everything it owns, as ofmsg_free of its type does.
template <uint8_t Type, class T>
void free_body(T *body) {
    ofmsg_free(Type, body);
}

// ---- Printing ----------------------------------------------------------------------------
// Printers append the text of a record to a bounded output over ofmsg_print_buf (formats are
// parsed when the library is built: see offmt.hpp); what does not fit is cut.
using text::Out;
using text::put;

// ---- The encoder frame ---------------------------------------------------------------------
// Allocates the zero-filled message buffer of len bytes; false (nothing allocated) when len
// exceeds 65535 or memory is exhausted.
bool alloc_message(size_t len, uint8_t **out_buf, uint32_t *out_len);

// Every encoder: the message of len bytes, filled after the header by write(Writer&) -> bool,
// handed out only when write succeeded and stayed inside it; otherwise nothing is allocated
// and the outputs are untouched (-1).
template <class Write>
int encode_message(size_t len, uint8_t **out_buf, uint32_t *out_len, Write write) {
    uint8_t *buf = nullptr;
    uint32_t n = 0;
    if (!alloc_message(len, &buf, &n)) return -1;
    Writer w(buf, n);
    if (!write(w) || !w.ok()) {
        std::free(buf);
        return -1;
    }
    *out_buf = buf;
    *out_len = n;
    return 0;
}

// ---- Type erasure for the tables -----------------------------------------------------------
// Erase<f>::call is f with its first argument, a pointer to a record, taken as void pointer:
// the tables hold one signature per column, the families keep their typed functions.
template <auto F>
struct Erase;
template <class R, class T, class... A, R (*F)(T *, A...)>
struct Erase<F> {
    using Void = std::conditional_t<std::is_const_v<T>, const void, void>;
    static R call(Void *p, A... a) { return F(static_cast<T *>(p), a...); }
};

// ---- One row per message type (ofmsg_types.cpp) --------------------------------------------
// Each column is null where the type has none: no receive step (refused as unhandled), no
// encoder (refused), no printer (the header text only), no release (the record alone).
struct TypeRow {
    std::string_view name;   // ofmsg_ofp_type_to_string
    bool supported = false;  // ofmsg_ofpt_type_supported: the host's view of the decoded set
    // Builds the body (types that have one) into *body and into the record's field for it.
    int32_t (*decode)(const Reader &msg, uint32_t *remaining, void **body, ofmsg &rec) = nullptr;
    int (*encode)(const void *body, uint8_t **out_buf, uint32_t *out_len) = nullptr;
    void (*print)(const void *body, Out &out) = nullptr;
    void (*release)(void *body) = nullptr;
    // Before release, for a body the library decoded and releases itself: what ofmsg_free
    // leaves to a host that took the body.
    void (*release_decoded)(void *body) = nullptr;
};
extern const TypeRow kTypes[OFMSG_NUM_TYPES];

// The row of a type value, or null above the table.
inline const TypeRow *type_row(uint32_t type) {
    return type < OFMSG_NUM_TYPES ? &kTypes[type] : nullptr;
}

// The type's name with its length, for the lines written on every message.
inline text::Str type_name(uint32_t type) {
    const TypeRow *row = type_row(type);
    return row ? text::Str{row->name.data(), row->name.size()} : text::lit("unknown");
}

// ofmsg_print's text, and its length.
text::Str print_message(const uint8_t *hdr, const void *body);

// ---- Family entry points -------------------------------------------------------------------
// Receive steps take the whole message (offset 0 = the OpenFlow header) as a Reader and the
// remaining count; they return a decode status and store the new body at *out only on
// success. Encoders allocate the whole zero-filled message (header included, which the frame
// writes) and return 0, or a negative value with *out_buf/*out_len untouched when they refuse.
// Printers append to out. Releases free what a record owns, not
// the record itself (ofmsg_free does that).

// Simple messages: steps in ofmsg_decode, encoders in ofmsg_encode, printers and releases in
// ofmsg_utils.
int32_t ofmsg_hello_decode(const Reader &msg, uint32_t *remaining);
int32_t ofmsg_error_decode(ofmsg_error **out, const Reader &msg, uint32_t *remaining);
int32_t ofmsg_echo_request_decode(ofmsg_echo **out, const Reader &msg, uint32_t *remaining);
int32_t ofmsg_features_request_decode(const Reader &msg, uint32_t *remaining);
int32_t ofmsg_switch_features_reply_decode(ofmsg_switch_features **out, const Reader &msg,
                                           uint32_t *remaining);
int32_t ofmsg_set_config_decode(const Reader &msg, uint32_t *remaining);
int32_t ofmsg_port_status_decode(ofmsg_port_status **out, const Reader &msg, uint32_t *remaining);
int32_t ofstruct_port_decode(ofstruct_port **out, const Reader &entry, uint32_t *remaining);

int ofmsg_header_only_encode(uint8_t **out_buf, uint32_t *out_len);
int ofmsg_error_encode(const ofmsg_error *e, uint8_t **out_buf, uint32_t *out_len);
int ofmsg_echo_reply_encode(const ofmsg_echo *echo, uint8_t **out_buf, uint32_t *out_len);
int ofmsg_switch_features_reply_encode(const ofmsg_switch_features *f, uint8_t **out_buf,
                                       uint32_t *out_len);
int ofmsg_port_status_encode(const ofmsg_port_status *ps, uint8_t **out_buf, uint32_t *out_len);
bool ofstruct_port_encode(const ofstruct_port *port, Writer dest);

void ofmsg_error_print(const ofmsg_error *e, Out &out);
void ofmsg_switch_features_print(const ofmsg_switch_features *f, Out &out);
void ofmsg_port_status_print(const ofmsg_port_status *ps, Out &out);
void ofstruct_port_print(const ofstruct_port *port, Out &out);
void ofmsg_error_release(ofmsg_error *e);
void ofmsg_port_status_release(ofmsg_port_status *ps);
void ofstruct_port_free(ofstruct_port *port);  // the name copy and the record

// OXM match (ofmsg_oxm).
// wire_match: the ofp_match from its type field to the end of the message (or of the
// enclosing entry). Subtracts the padded match length from *remaining.
int32_t ofmsg_flow_match_decode(const Reader &wire_match, ofmsg_flow_match **ofm,
                                uint32_t *remaining);
// Writes the ofp_match (header, TLVs, zero padding) at dest, which must hold exactly its padded
// length; false when the match cannot be written so.
bool ofmsg_flow_match_encode(const ofmsg_flow_match *match, Writer dest);
// Bytes the match takes on the wire, padding included: (length + 4) rounded up to 8.
uint32_t ofmsg_flow_match_padded_len(const ofmsg_flow_match *match);
void ofmsg_flow_match_print(const ofmsg_flow_match *match, Out &out);
const char *ofmsg_oxm_field_to_string(uint32_t field);
text::Str oxm_field_name(uint32_t field);  // the same name with its length
// Value width of a field that a set-field action carries, 0 for any other field.
uint32_t ofmsg_oxm_set_field_width(uint32_t field);

// Instructions and actions (ofmsg_actions).
int32_t ofmsg_flow_instructions_decode(ofmsg_flow_instructions **out, const Reader &list,
                                       uint32_t *remaining);
bool ofmsg_flow_instructions_encode(const ofmsg_flow_instructions *list, Writer dest);
void ofmsg_flow_instructions_print(const ofmsg_flow_instructions *list, Out &out);
const char *ofmsg_ofp_instruction_type_to_string(uint32_t type);
const char *ofmsg_ofp_action_type_to_string(uint32_t type);

// Flow messages (ofmsg_flow).
int32_t ofmsg_flow_mod_decode(ofmsg_flow_mod **out, const Reader &msg, uint32_t *remaining);
int32_t ofmsg_packet_in_decode(ofmsg_packet_in **out, const Reader &msg, uint32_t *remaining);
int ofmsg_flow_mod_encode(const ofmsg_flow_mod *body, uint8_t **out_buf, uint32_t *out_len);
int ofmsg_flow_removed_encode(const ofmsg_flow_removed *body, uint8_t **out_buf, uint32_t *out_len);
int ofmsg_packet_in_encode(const ofmsg_packet_in *body, uint8_t **out_buf, uint32_t *out_len);
void ofmsg_flow_mod_print(const ofmsg_flow_mod *body, Out &out);
void ofmsg_flow_removed_print(const ofmsg_flow_removed *body, Out &out);
void ofmsg_packet_in_print(const ofmsg_packet_in *body, Out &out);
void ofmsg_flow_mod_release(ofmsg_flow_mod *body);
void ofmsg_packet_in_release(ofmsg_packet_in *body);

// Multipart (ofmsg_multipart).
int32_t ofmsg_multipart_request_decode(ofmsg_multipart_request **out, const Reader &msg,
                                       uint32_t *remaining);
int32_t ofmsg_multipart_reply_decode(ofmsg_multipart_reply **out, const Reader &msg,
                                     uint32_t *remaining);
int ofmsg_multipart_request_encode(const ofmsg_multipart_request *body, uint8_t **out_buf,
                                   uint32_t *out_len);
int ofmsg_multipart_reply_encode(const ofmsg_multipart_reply *body, uint8_t **out_buf,
                                 uint32_t *out_len);
void ofmsg_multipart_request_print(const ofmsg_multipart_request *body, Out &out);
void ofmsg_multipart_reply_print(const ofmsg_multipart_reply *body, Out &out);
void ofmsg_multipart_request_free(ofmsg_multipart_request *body);
void ofmsg_multipart_reply_free(ofmsg_multipart_reply *body);
// For a reply the library decoded and releases itself: a flow statistics body goes with its
// entries' matches and instructions, which ofmsg_free leaves to a host.
void ofmsg_multipart_reply_release_decoded(ofmsg_multipart_reply *body);

// Experimenter messages (ofmsg_exp).
int32_t ofmsg_exp_decode(ofmsg_exp **out, const Reader &msg, uint32_t *remaining);
int ofmsg_exp_encode(const ofmsg_exp *body, uint8_t **out_buf, uint32_t *out_len);
void ofmsg_exp_print(const ofmsg_exp *body, Out &out);
void ofmsg_exp_release(ofmsg_exp *body);

}  // namespace ofagent
