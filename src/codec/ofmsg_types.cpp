// One row per OpenFlow message type: how it is received (the step and the ofmsg field its body
// goes into), encoded, printed and released. Adding a type is one row here; its functions live
// in its family's file.
#include "ofmsg_internal.hpp"

namespace ofagent {
namespace {

template <class M>
struct Pointee;
template <class T>
struct Pointee<T * ofmsg::*> {
    using type = T;
};

// A step without body.
template <int32_t (*Step)(const Reader &, uint32_t *)>
int32_t rx(const Reader &msg, uint32_t *remaining, void **, ofmsg &) {
    return Step(msg, remaining);
}

// A step whose body goes to *body and to the record's Field.
template <auto Field,
          int32_t (*Step)(typename Pointee<decltype(Field)>::type **, const Reader &, uint32_t *)>
int32_t rx(const Reader &msg, uint32_t *remaining, void **body, ofmsg &rec) {
    typename Pointee<decltype(Field)>::type *out = nullptr;
    const int32_t status = Step(&out, msg, remaining);
    if (status == OFMSG_DECODE_OK) {
        rec.*Field = out;
        *body = out;
    }
    return status;
}

// The receive path does not decode a flow-removed: it consumes nothing, so the frame refuses
// the message as left over.
int32_t not_decoded(const Reader &, uint32_t *) {
    return OFMSG_DECODE_OK;
}

// An encoder of a type with a body refuses a missing one.
template <auto Encode>
int tx(const void *body, uint8_t **out_buf, uint32_t *out_len) {
    return body ? Erase<Encode>::call(body, out_buf, out_len) : -1;
}

int tx_header_only(const void *, uint8_t **out_buf, uint32_t *out_len) {
    return ofmsg_header_only_encode(out_buf, out_len);
}

template <auto F>
constexpr auto erase = &Erase<F>::call;

constexpr bool kHost = true;  // in the set ofmsg_ofpt_type_supported reports

}  // namespace

constexpr TypeRow kTypes[OFMSG_NUM_TYPES] = {
    {"OFPT_HELLO", kHost, rx<ofmsg_hello_decode>, tx_header_only},
    {"OFPT_ERROR", kHost, rx<&ofmsg::error, ofmsg_error_decode>, tx<ofmsg_error_encode>,
     erase<ofmsg_error_print>, erase<ofmsg_error_release>},
    // Echo requests are received and answered, never sent; their text is the header's.
    {"OFPT_ECHO_REQUEST", false, rx<&ofmsg::echo_request, ofmsg_echo_request_decode>},
    {"OFPT_ECHO_REPLY", false, nullptr, tx<ofmsg_echo_reply_encode>},
    {"OFPT_EXPERIMENTER", kHost, rx<&ofmsg::exp, ofmsg_exp_decode>, tx<ofmsg_exp_encode>,
     erase<ofmsg_exp_print>, erase<ofmsg_exp_release>},
    {"OFPT_FEATURES_REQUEST", kHost, rx<ofmsg_features_request_decode>, tx_header_only},
    {"OFPT_FEATURES_REPLY", kHost, rx<&ofmsg::features_reply, ofmsg_switch_features_reply_decode>,
     tx<ofmsg_switch_features_reply_encode>, erase<ofmsg_switch_features_print>},
    {"OFPT_GET_CONFIG_REQUEST"},
    {"OFPT_GET_CONFIG_REPLY"},
    {"OFPT_SET_CONFIG", false, rx<ofmsg_set_config_decode>},
    {"OFPT_PACKET_IN", kHost, rx<&ofmsg::packet_in, ofmsg_packet_in_decode>,
     tx<ofmsg_packet_in_encode>, erase<ofmsg_packet_in_print>, erase<ofmsg_packet_in_release>},
    // Sent only; its record does not own its match.
    {"OFPT_FLOW_REMOVED", false, rx<not_decoded>, tx<ofmsg_flow_removed_encode>,
     erase<ofmsg_flow_removed_print>},
    {"OFPT_PORT_STATUS", kHost, rx<&ofmsg::port_status, ofmsg_port_status_decode>,
     tx<ofmsg_port_status_encode>, erase<ofmsg_port_status_print>,
     erase<ofmsg_port_status_release>},
    {"OFPT_PACKET_OUT"},
    {"OFPT_FLOW_MOD", kHost, rx<&ofmsg::flow_mod, ofmsg_flow_mod_decode>, tx<ofmsg_flow_mod_encode>,
     erase<ofmsg_flow_mod_print>, erase<ofmsg_flow_mod_release>},
    {"OFPT_GROUP_MOD"},
    {"OFPT_PORT_MOD"},
    {"OFPT_TABLE_MOD"},
    {"OFPT_MULTIPART_REQUEST", kHost, rx<&ofmsg::multipart_request, ofmsg_multipart_request_decode>,
     tx<ofmsg_multipart_request_encode>, erase<ofmsg_multipart_request_print>,
     erase<ofmsg_multipart_request_free>},
    {"OFPT_MULTIPART_REPLY", kHost, rx<&ofmsg::multipart_reply, ofmsg_multipart_reply_decode>,
     tx<ofmsg_multipart_reply_encode>, erase<ofmsg_multipart_reply_print>,
     erase<ofmsg_multipart_reply_free>, erase<ofmsg_multipart_reply_release_decoded>},
    {"OFPT_BARRIER_REQUEST"},
    {"OFPT_BARRIER_REPLY"},
    {"OFPT_QUEUE_GET_CONFIG_REQUEST"},
    {"OFPT_QUEUE_GET_CONFIG_REPLY"},
    {"OFPT_ROLE_REQUEST"},
    {"OFPT_ROLE_REPLY"},
    {"OFPT_GET_ASYNC_REQUEST"},
    {"OFPT_GET_ASYNC_REPLY"},
    {"OFPT_SET_ASYNC"},
    {"OFPT_METER_MOD"},
};

}  // namespace ofagent
