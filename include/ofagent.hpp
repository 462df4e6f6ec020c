/*
 * ofagent for C++ hosts: a header-only layer over the library's C interface (C++20).
 *
 *   owned<T>     a record with the release of its type, decided once, here, at compile time
 *   Codec        one handler per message type, each handed an owned body
 *   encode()     the bytes of a message as an owned Buffer, or the refusal as a value
 *   Match        a flow match and an action list built step by step with the C builders
 *   Actions
 *   Loop         the reference host's event loop, timers and signals (libofagent_host)
 *   Client       the client and server connection managers, with std::function callbacks
 *   Server
 *
 * It adds no exported name: everything below is inline over the C functions. No exception
 * crosses into the C library: whatever a handler or callback throws is caught by the layer and
 * logged through OFLOG (the log file and the host's sink), and a handler's body is released.
 * Like the library it is single-threaded: use it from the event loop's thread.
 */
#ifndef OFAGENT_HPP
#define OFAGENT_HPP

#if __cplusplus < 202002L
#error "ofagent.hpp needs C++20"
#endif

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include <sys/socket.h>

#include "ofclient.h"
#include "ofconn.h"
#include "ofhost.h"
#include "oflog.h"
#include "ofmsg.h"
#include "ofserver.h"
#include "ofsocket.h"

namespace ofagent {

/* ---- Releases ------------------------------------------------------------------------------
 * Where the C release of a record leaves something it points to, the owned form takes it too:
 * an owned record owns everything reachable from it. */
namespace detail {

inline void release_flow_removed(ofmsg_flow_removed *p) noexcept {
    if (p->match) ofmsg_flow_match_free(p->match);  // ofmsg_free leaves it to the holder
    ofmsg_free(OFPT_FLOW_REMOVED, p);
}

inline void release_flow_stats(ofmsg_flow_stats_reply *p) noexcept {
    for (uint32_t i = 0; p->flow_stats && i < p->num_flows; i++) {
        ofmsg_flow_stat *s = p->flow_stats[i];
        if (!s) continue;
        if (s->match) ofmsg_flow_match_free(s->match);
        if (s->instructions) ofmsg_flow_instructions_free(s->instructions);
        s->match = nullptr;
        s->instructions = nullptr;
    }
    ofmsg_flow_stats_reply_free(p);
}

inline void release_port_stats(ofmsg_port_stats_reply *p) noexcept {
    ofmsg_port_stats_reply_free(p);  // the array only
    std::free(p);
}

inline void release_reply(ofmsg_multipart_reply *p) noexcept {
    if (p->body) {
        switch (p->type) {
            case OFPMP_DESC:
                ofmsg_switch_desc_reply_free(static_cast<ofmsg_switch_desc_reply *>(p->body));
                break;
            case OFPMP_FLOW:
                release_flow_stats(static_cast<ofmsg_flow_stats_reply *>(p->body));
                break;
            case OFPMP_PORT_STATS:
                release_port_stats(static_cast<ofmsg_port_stats_reply *>(p->body));
                break;
            case OFPMP_PORT_DESC:
                ofmsg_port_desc_reply_free(static_cast<ofmsg_port_desc_reply *>(p->body));
                break;
            default:
                ofmsg_free(OFPT_MULTIPART_REPLY, p);  // a body of no known kind: the C release
                return;
        }
        p->body = nullptr;
    }
    ofmsg_free(OFPT_MULTIPART_REPLY, p);
}

inline void release_request(ofmsg_multipart_request *p) noexcept {
    // A port statistics request owns a copy of its port number (see adopt_received).
    if (p->type == OFPMP_PORT_STATS) {
        std::free(p->body);
        p->body = nullptr;
    }
    ofmsg_free(OFPT_MULTIPART_REQUEST, p);
}

// The C interface releases actions and instructions only inside their lists: lend each a list
// of one (which costs an allocation: should that fail, the record is lost, not freed twice).
inline void release_action(ofmsg_action *p) noexcept {
    if (ofmsg_instruction_actions *list = ofmsg_instruction_action_add(nullptr, p))
        ofmsg_flow_instruction_action_free(list);
}

inline void release_instruction(ofmsg_instruction *p) noexcept {
    if (ofmsg_flow_instructions *list = ofmsg_instructions_add(nullptr, p))
        ofmsg_flow_instructions_free(list);
}

constexpr int kNone = -1;  // a record that is no message body, or never received / encoded

}  // namespace detail

/* ---- The record table: written once ----------------------------------------------------------
 * One row per record a host may own: the message type it is received as, the type it is
 * encoded as, and its release. What the release frees:
 *   ofmsg_error, ofmsg_exp, ofmsg_packet_in, ofmsg_port_status, ofmsg_flow_mod,
 *   ofmsg_switch_features, ofmsg_echo       ofmsg_free of its type: the record and all it holds
 *   ofmsg_flow_removed       the record AND its match (which ofmsg_free leaves to the holder)
 *   ofmsg_multipart_request  the record, its flow statistics request, and for OFPMP_PORT_STATS
 *                            the copy of the port number that a Codec makes on delivery (the
 *                            decoder's body points into the received bytes, gone after the
 *                            handler; a kept request reads the copy)
 *   ofmsg_multipart_reply    the record and its body by kind, each by its own row below
 *   ofmsg_flow_stats_reply   the entries WITH their matches and instructions (which
 *                            ofmsg_flow_stats_reply_free leaves), the array, the list
 *   ofmsg_port_stats_reply   the array AND the list record (ofmsg_port_stats_reply_free frees
 *                            the array only)
 *   ofmsg_switch_desc_reply, ofmsg_port_desc_reply, ofmsg_flow_match, ofmsg_flow_instructions,
 *   ofmsg_instruction_actions                 their C release: the record and all it holds
 *   ofmsg_action, ofmsg_instruction           the record and all it holds, through a list of one
 * So a record whose match or instructions are borrowed (a flow table lent to the encoder) is
 * never put in an owned<>: encode() takes a plain const reference. A type without a row (an
 * ofmsg_match_tlv, an ofstruct_port, a tunnel entry...) lives only inside a record that owns it
 * and has no owned<> at all: naming owned<ofmsg_match_tlv> does not compile. */
// clang-format off
//  record, received as, encoded as, release (none: no message type)
#define OFAGENT_RECORDS_(X) \
    X(ofmsg_error, OFPT_ERROR, OFPT_ERROR, ofmsg_free(OFPT_ERROR, p)) \
    X(ofmsg_echo, OFPT_ECHO_REQUEST, OFPT_ECHO_REPLY, ofmsg_free(OFPT_ECHO_REQUEST, p)) \
    X(ofmsg_exp, OFPT_EXPERIMENTER, OFPT_EXPERIMENTER, ofmsg_free(OFPT_EXPERIMENTER, p)) \
    X(ofmsg_switch_features, OFPT_FEATURES_REPLY, OFPT_FEATURES_REPLY, \
      ofmsg_free(OFPT_FEATURES_REPLY, p)) \
    X(ofmsg_packet_in, OFPT_PACKET_IN, OFPT_PACKET_IN, ofmsg_free(OFPT_PACKET_IN, p)) \
    X(ofmsg_flow_removed, none, OFPT_FLOW_REMOVED, detail::release_flow_removed(p)) \
    X(ofmsg_port_status, OFPT_PORT_STATUS, OFPT_PORT_STATUS, ofmsg_free(OFPT_PORT_STATUS, p)) \
    X(ofmsg_flow_mod, OFPT_FLOW_MOD, OFPT_FLOW_MOD, ofmsg_free(OFPT_FLOW_MOD, p)) \
    X(ofmsg_multipart_request, OFPT_MULTIPART_REQUEST, OFPT_MULTIPART_REQUEST, \
      detail::release_request(p)) \
    X(ofmsg_multipart_reply, OFPT_MULTIPART_REPLY, OFPT_MULTIPART_REPLY, detail::release_reply(p)) \
    X(ofmsg_switch_desc_reply, none, none, ofmsg_switch_desc_reply_free(p)) \
    X(ofmsg_flow_stats_reply, none, none, detail::release_flow_stats(p)) \
    X(ofmsg_port_stats_reply, none, none, detail::release_port_stats(p)) \
    X(ofmsg_port_desc_reply, none, none, ofmsg_port_desc_reply_free(p)) \
    X(ofmsg_flow_match, none, none, ofmsg_flow_match_free(p)) \
    X(ofmsg_flow_instructions, none, none, ofmsg_flow_instructions_free(p)) \
    X(ofmsg_instruction_actions, none, none, ofmsg_flow_instruction_action_free(p)) \
    X(ofmsg_instruction, none, none, detail::release_instruction(p)) \
    X(ofmsg_action, none, none, detail::release_action(p))
// clang-format on

template <class T>
struct record;  // no definition: a type without a row has no release and no owned<>

#define OFAGENT_ROW_(T, RX, TX, RELEASE)                \
    template <>                                         \
    struct record<T> {                                  \
        static constexpr int none = detail::kNone;      \
        static constexpr int received_as = RX;          \
        static constexpr int encoded_as = TX;           \
        static void release(T *p) noexcept { RELEASE; } \
    };
OFAGENT_RECORDS_(OFAGENT_ROW_)
#undef OFAGENT_ROW_

template <class T>
concept Record = requires(T *p) {
    record<T>::release(p);
};

template <Record T>
struct releaser {
    void operator()(T *p) const noexcept {
        if (p) record<T>::release(p);
    }
};

/* A record and everything it owns, released exactly once, by its row's release. */
template <Record T>
using owned = std::unique_ptr<T, releaser<T>>;

/* A record that is a message's body on the wire, to encode, and one the codec decodes. */
template <class T>
concept Encodable = Record<T> && record<T>::encoded_as != detail::kNone;
template <class T>
concept Received = Record<T> && record<T>::received_as != detail::kNone;

/* A new zero-filled record (a malloc block, as the C releases expect); null when memory is
 * exhausted. */
template <Record T>
owned<T> make() noexcept {
    return owned<T>(static_cast<T *>(std::calloc(1, sizeof(T))));
}

namespace detail {

template <class... T>
struct type_list {};
#define OFAGENT_TYPE_(T, RX, TX, RELEASE) , T
using records = type_list<void OFAGENT_RECORDS_(OFAGENT_TYPE_)>;
#undef OFAGENT_TYPE_

template <class T>
constexpr int received_as() {
    if constexpr (std::is_void_v<T>)
        return kNone;
    else
        return record<T>::received_as;
}

// The record a message type is received as; void for a type without body.
template <int Type, class L>
struct received_record {
    using type = void;
};
template <int Type, class T, class... Rest>
struct received_record<Type, type_list<T, Rest...>> {
    using type = std::conditional_t<received_as<T>() == Type, T,
                                    typename received_record<Type, type_list<Rest...>>::type>;
};

// A received body becomes an owned one: a port statistics request gets its own copy of the
// port number its body points at inside the received bytes. Null (the body released, the fault
// logged) when memory is exhausted.
template <class T>
T *adopt_received(T *p) noexcept {
    return p;
}
inline ofmsg_multipart_request *adopt_received(ofmsg_multipart_request *p) noexcept {
    if (!p || p->type != OFPMP_PORT_STATS || !p->body) return p;
    void *copy = std::malloc(sizeof(uint32_t));
    if (!copy) {
        ofmsg_free(OFPT_MULTIPART_REQUEST, p);
        OFLOG(OFLOG_ERRS, "No memory for a port statistics request: dropped");
        return nullptr;
    }
    std::memcpy(copy, p->body, sizeof(uint32_t));
    p->body = copy;
    return p;
}

// Logs the exception being handled (call from a catch block): "<what> threw: <reason>".
inline void report_exception(const char *what, const char *name) noexcept {
    try {
        throw;
    } catch (const std::exception &e) {
        OFLOG(OFLOG_ERRS, "%s%s threw: %s", what, name, e.what());
    } catch (...) {
        OFLOG(OFLOG_ERRS, "%s%s threw", what, name);
    }
}

// Runs a host callback where C called us: nothing thrown goes further.
template <class F, class... A>
void guarded(const char *what, const F &fn, A &&...args) noexcept {
    if (!fn) return;
    try {
        fn(std::forward<A>(args)...);
    } catch (...) {
        report_exception(what, "");
    }
}

inline uint16_t get16(std::span<const uint8_t> b, size_t at) noexcept {
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}
inline uint32_t get32(std::span<const uint8_t> b, size_t at) noexcept {
    return static_cast<uint32_t>(get16(b, at)) << 16 | get16(b, at + 2);
}

}  // namespace detail

/* ---- Messages as bytes ---------------------------------------------------------------------- */

/* One message's bytes: an owned malloc block with its length. */
class Buffer {
   public:
    Buffer() = default;
    Buffer(uint8_t *adopted, uint32_t size) noexcept : p_(adopted), n_(adopted ? size : 0) {}
    Buffer(Buffer &&o) noexcept : p_(std::move(o.p_)), n_(std::exchange(o.n_, 0)) {}
    Buffer &operator=(Buffer &&o) noexcept {
        p_ = std::move(o.p_);
        n_ = std::exchange(o.n_, 0);
        return *this;
    }
    std::span<const uint8_t> bytes() const noexcept { return {p_.get(), n_}; }
    operator std::span<const uint8_t>() const noexcept { return bytes(); }
    uint8_t *data() noexcept { return p_.get(); }
    uint32_t size() const noexcept { return n_; }
    bool empty() const noexcept { return n_ == 0; }

   private:
    struct free_block {
        void operator()(uint8_t *p) const noexcept { std::free(p); }
    };
    std::unique_ptr<uint8_t, free_block> p_;
    uint32_t n_ = 0;
};

/* Why there are no bytes. */
struct Refusal {
    uint8_t type = 0;         // the message type asked for
    const char *reason = "";  // a constant text
};

/* The result of an encode: the message, or the refusal. */
class Encoded {
   public:
    explicit Encoded(Buffer b) noexcept : buf_(std::move(b)) {}
    explicit Encoded(Refusal r) noexcept : why_(r) {}
    explicit operator bool() const noexcept { return !buf_.empty(); }
    std::span<const uint8_t> bytes() const noexcept { return buf_.bytes(); }  // empty if refused
    const Refusal &refusal() const noexcept { return why_; }
    Buffer take() noexcept { return std::move(buf_); }

   private:
    Buffer buf_;
    Refusal why_;
};

namespace detail {
inline Encoded encode_body(uint8_t type, const void *body, uint32_t xid) noexcept {
    uint8_t *buf = nullptr;
    uint32_t len = 0;
    if (ofmsg_tx_encode(type, body, xid, &buf, &len) != 0)
        return Encoded(Refusal{type, "refused by the codec (see its log line)"});
    return Encoded(Buffer(buf, len));
}
}  // namespace detail

/* The body record encoded as the message type of its row (an ofmsg_echo as OFPT_ECHO_REPLY).
 * The record stays the caller's and may borrow what it points to. */
template <Encodable T>
Encoded encode(const T &body, uint32_t xid) noexcept {
    return detail::encode_body(static_cast<uint8_t>(record<T>::encoded_as), &body, xid);
}

/* The same, naming the type: a record that is not that type's body is refused (the C
 * interface would read it as one). */
template <Encodable T>
Encoded encode(uint8_t type, const T &body, uint32_t xid) noexcept {
    if (type != record<T>::encoded_as)
        return Encoded(Refusal{type, "the record is not this type's body"});
    return detail::encode_body(type, &body, xid);
}

/* A message without body: OFPT_HELLO (no elements: see hello() for ours) and
 * OFPT_FEATURES_REQUEST. */
inline Encoded encode(uint8_t type, uint32_t xid) noexcept {
    if (type != OFPT_HELLO && type != OFPT_FEATURES_REQUEST)
        return Encoded(Refusal{type, "the codec encodes no such message without body"});
    return detail::encode_body(type, nullptr, xid);
}

/* The codec's one-line text of a message (ofmsg_print, valid until the next print); with the
 * body only when the record is that type's body, else the header's text alone. */
inline std::string_view print(std::span<const uint8_t> msg) noexcept {
    if (msg.size() < OFP_HEADER_LEN) return "(shorter than a header)";
    return ofmsg_print(msg.data(), nullptr);
}
template <Record T>
std::string_view print(std::span<const uint8_t> msg, const T *body) noexcept {
    if (msg.size() < OFP_HEADER_LEN) return "(shorter than a header)";
    const int type = msg[1];
    const bool fits = type == record<T>::received_as || type == record<T>::encoded_as;
    return ofmsg_print(msg.data(), fits ? body : nullptr);
}

/* A message the codec does not build: the header (version, type, length, xid), then body. */
inline Buffer raw_message(uint8_t type, uint32_t xid, std::span<const uint8_t> body = {},
                          uint8_t version = OFP_VERSION) noexcept {
    const size_t len = OFP_HEADER_LEN + body.size();
    if (len > 0xffff) return {};
    auto *p = static_cast<uint8_t *>(std::malloc(len));
    if (!p) return {};
    const uint8_t header[OFP_HEADER_LEN] = {version,
                                            type,
                                            static_cast<uint8_t>(len >> 8),
                                            static_cast<uint8_t>(len),
                                            static_cast<uint8_t>(xid >> 24),
                                            static_cast<uint8_t>(xid >> 16),
                                            static_cast<uint8_t>(xid >> 8),
                                            static_cast<uint8_t>(xid)};
    std::memcpy(p, header, OFP_HEADER_LEN);
    if (!body.empty()) std::memcpy(p + OFP_HEADER_LEN, body.data(), body.size());
    return Buffer(p, static_cast<uint32_t>(len));
}

/* ---- Version negotiation and the answers every OpenFlow 1.3 speaker gives ---------------------
 * The codec frames and decodes version 0x04 only, but a peer that speaks several versions opens
 * with a HELLO of its highest. The connection wrappers below frame with frame_length, which
 * also lets a HELLO of any version through; the host answers it with hello_accepts. */

/* The length function of the framing: a HELLO of any version, everything else as the codec. */
inline int32_t frame_length(const uint8_t *hdr) noexcept {
    if (hdr[0] != OFP_VERSION && hdr[1] == OFPT_HELLO) {
        const uint16_t len = detail::get16({hdr, OFP_HEADER_LEN}, 2);
        return len >= OFP_HEADER_LEN ? len : -1;
    }
    return ofmsg_payload_len(hdr);
}

/* Our HELLO: version 0x04 with a version bitmap offering 1.3 alone. */
inline Buffer hello(uint32_t xid) noexcept {
    static constexpr uint8_t bitmap[8] = {0, 1, 0, 8, 0, 0, 0, 1u << OFP_VERSION};
    return raw_message(OFPT_HELLO, xid, bitmap);
}

/* True when the peer's HELLO (any version) leaves 1.3 to speak (OpenFlow 1.3.x, 6.3.1): its
 * version bitmap includes 1.3, or it has none and its version is 1.3 or above. */
inline bool hello_accepts(std::span<const uint8_t> msg) noexcept {
    if (msg.size() < OFP_HEADER_LEN) return false;
    size_t off = OFP_HEADER_LEN;
    while (off + 4 <= msg.size()) {  // elements are padded to 8 bytes
        const uint16_t type = detail::get16(msg, off), len = detail::get16(msg, off + 2);
        if (len < 4 || len > msg.size() - off) return false;
        if (type == 1 /* OFPHET_VERSIONBITMAP */ && len >= 8)
            return (detail::get32(msg, off + 4) >> OFP_VERSION) & 1u;
        off += (len + 7u) & ~size_t{7};
    }
    return msg[0] >= OFP_VERSION;
}

/* The reply to an echo request of any length (the codec decodes only the 24-byte form): the
 * same bytes with the type of a reply. */
inline Buffer echo_reply(std::span<const uint8_t> request) noexcept {
    if (request.size() < OFP_HEADER_LEN) return {};
    return raw_message(OFPT_ECHO_REPLY, detail::get32(request, 4), request.subspan(OFP_HEADER_LEN),
                       request[0]);
}

/* The OFPT_ERROR that answers a failed decode: its type and code from the status (code 10
 * answered as OFPBRC_BAD_TYPE, which is what it means), the xid and the first 64 bytes of the
 * offending message. Refused for the two statuses that are no OpenFlow error (-1: an error
 * never answers an error; -2: our own lack of memory), and for success. */
inline Encoded error_reply(int32_t status, std::span<const uint8_t> offending) noexcept {
    if (status >= 0 || status == OFMSG_ERR_SHORT_ERROR_MSG || status == OFMSG_ERR_NO_MEMORY)
        return Encoded(Refusal{OFPT_ERROR, "no OpenFlow error answers this status"});
    ofmsg_error e{};
    e.type = (static_cast<uint32_t>(status) >> 16) & 0x7fffu;
    e.code = status == OFMSG_ERR_UNHANDLED_TYPE ? uint16_t{OFPBRC_BAD_TYPE}
                                                : static_cast<uint16_t>(status & 0xffff);
    e.data_len = static_cast<uint32_t>(offending.size() < 64 ? offending.size() : 64);
    e.data = e.data_len ? const_cast<uint8_t *>(offending.data()) : nullptr;  // only read
    return encode(e, offending.size() >= OFP_HEADER_LEN ? detail::get32(offending, 4) : 0);
}

/* ---- Builders -------------------------------------------------------------------------------
 * Each step calls the C builder; a step that does not take (no memory) makes ok() false, and
 * take() then hands out nothing: everything built so far is released, on every path. */

class Match {
   public:
    using Mac = std::span<const uint8_t, 6>;
    using Ipv6 = std::span<const uint8_t, 16>;

    Match() noexcept : m_(ofmsg_match_create()) {}

    Match &in_port(uint32_t v) noexcept { return u32(OXM_OF_IN_PORT, v); }
    Match &eth_dst(Mac v) noexcept { return bytes(OXM_OF_ETH_DST, v.data(), nullptr); }
    Match &eth_dst(Mac v, Mac mask) noexcept {
        return bytes(OXM_OF_ETH_DST, v.data(), mask.data());
    }
    Match &eth_src(Mac v) noexcept { return bytes(OXM_OF_ETH_SRC, v.data(), nullptr); }
    Match &eth_src(Mac v, Mac mask) noexcept {
        return bytes(OXM_OF_ETH_SRC, v.data(), mask.data());
    }
    Match &eth_type(uint16_t v) noexcept { return u16(OXM_OF_ETH_TYPE, v); }
    Match &ip_proto(uint8_t v) noexcept { return u8(OXM_OF_IP_PROTO, v); }
    Match &ipv4_src(uint32_t v) noexcept { return u32(OXM_OF_IPV4_SRC, v); }
    Match &ipv4_src(uint32_t v, uint32_t mask) noexcept { return u32(OXM_OF_IPV4_SRC, v, &mask); }
    Match &ipv4_dst(uint32_t v) noexcept { return u32(OXM_OF_IPV4_DST, v); }
    Match &ipv4_dst(uint32_t v, uint32_t mask) noexcept { return u32(OXM_OF_IPV4_DST, v, &mask); }
    Match &ipv6_src(Ipv6 v) noexcept { return bytes(OXM_OF_IPV6_SRC, v.data(), nullptr); }
    Match &ipv6_src(Ipv6 v, Ipv6 m) noexcept { return bytes(OXM_OF_IPV6_SRC, v.data(), m.data()); }
    Match &ipv6_dst(Ipv6 v) noexcept { return bytes(OXM_OF_IPV6_DST, v.data(), nullptr); }
    Match &ipv6_dst(Ipv6 v, Ipv6 m) noexcept { return bytes(OXM_OF_IPV6_DST, v.data(), m.data()); }
    Match &tcp_src(uint16_t v) noexcept { return u16(OXM_OF_TCP_SRC, v); }
    Match &tcp_dst(uint16_t v) noexcept { return u16(OXM_OF_TCP_DST, v); }
    Match &udp_src(uint16_t v) noexcept { return u16(OXM_OF_UDP_SRC, v); }
    Match &udp_dst(uint16_t v) noexcept { return u16(OXM_OF_UDP_DST, v); }
    Match &icmpv4_type(uint8_t v) noexcept { return u8(OXM_OF_ICMPV4_TYPE, v); }
    Match &icmpv4_code(uint8_t v) noexcept { return u8(OXM_OF_ICMPV4_CODE, v); }
    Match &icmpv6_type(uint8_t v) noexcept { return u8(OXM_OF_ICMPV6_TYPE, v); }
    Match &icmpv6_code(uint8_t v) noexcept { return u8(OXM_OF_ICMPV6_CODE, v); }
    Match &metadata(uint64_t v) noexcept { return u64(OXM_OF_METADATA, v, nullptr); }
    Match &metadata(uint64_t v, uint64_t mask) noexcept { return u64(OXM_OF_METADATA, v, &mask); }

    bool ok() const noexcept { return m_ && ok_; }
    const ofmsg_flow_match *get() const noexcept { return m_.get(); }  // to lend it
    owned<ofmsg_flow_match> take() noexcept {
        if (!ok()) m_.reset();
        return std::move(m_);
    }

   private:
    // Runs one C builder on the field's slot; it took when the slot holds a new TLV.
    template <class Build>
    Match &step(uint32_t field, Build &&build) noexcept {
        if (!ok()) return *this;
        const auto idx = static_cast<uint32_t>(ofoxm_from_oxm_to_idx(field));
        const ofmsg_match_tlv *before = m_->tlvs[idx];
        build(m_.get(), idx, uint32_t{OFPXMC_OPENFLOW_BASIC} << 16 | field << 9);
        ok_ = m_->tlvs[idx] && m_->tlvs[idx] != before;
        return *this;
    }
    Match &u8(uint32_t f, uint8_t v) noexcept {
        return step(f, [&](auto *m, uint32_t i, uint32_t h) {
            ofmsg_match_tlv_create_8_value(m, i, h, v);
        });
    }
    Match &u16(uint32_t f, uint16_t v) noexcept {
        return step(f, [&](auto *m, uint32_t i, uint32_t h) {
            ofmsg_match_tlv_create_16_value(m, i, h, v);
        });
    }
    Match &u32(uint32_t f, uint32_t v, const uint32_t *mask = nullptr) noexcept {
        return step(f, [&](auto *m, uint32_t i, uint32_t h) {
            mask ? ofmsg_match_tlv_create_32_value_mask(m, i, h, v, *mask)
                 : ofmsg_match_tlv_create_32_value(m, i, h, v);
        });
    }
    Match &u64(uint32_t f, uint64_t v, const uint64_t *mask) noexcept {
        return step(f, [&](auto *m, uint32_t i, uint32_t h) {
            mask ? ofmsg_match_tlv_create_64_value_mask(m, i, h, v, *mask)
                 : ofmsg_match_tlv_create_64_value(m, i, h, v);
        });
    }
    Match &bytes(uint32_t f, const uint8_t *v, const uint8_t *mask) noexcept {
        const bool eth = f == OXM_OF_ETH_DST || f == OXM_OF_ETH_SRC;
        return step(f, [&](auto *m, uint32_t i, uint32_t h) {
            if (eth)
                mask ? ofmsg_match_tlv_create_eth_value_mask(m, i, h, v, mask)
                     : ofmsg_match_tlv_create_eth_value(m, i, h, v);
            else
                mask ? ofmsg_match_tlv_create_ipv6_value_mask(m, i, h, v, mask)
                     : ofmsg_match_tlv_create_ipv6_value(m, i, h, v);
        });
    }

    owned<ofmsg_flow_match> m_;
    bool ok_ = true;
};

/* An action list in the order the steps are taken; apply() wraps it into the instruction list
 * of a flow (one apply-actions instruction). */
class Actions {
   public:
    Actions &output(uint32_t port, uint16_t max_len = 0) noexcept {
        return add(ofmsg_action_create_output(port, max_len));
    }
    Actions &set_eth_dst(std::span<const uint8_t, 6> mac) noexcept {
        return set_field(OXM_OF_ETH_DST, mac.data(), 6);
    }
    Actions &set_eth_src(std::span<const uint8_t, 6> mac) noexcept {
        return set_field(OXM_OF_ETH_SRC, mac.data(), 6);
    }
    Actions &set_vlan_vid(uint16_t vid) noexcept { return set_field(OXM_OF_VLAN_VID, &vid, 2); }
    Actions &set_vlan_pcp(uint8_t pcp) noexcept { return set_field(OXM_OF_VLAN_PCP, &pcp, 1); }
    Actions &set_ip_dscp(uint8_t dscp) noexcept { return set_field(OXM_OF_IP_DSCP, &dscp, 1); }
    Actions &set_ip_ecn(uint8_t ecn) noexcept { return set_field(OXM_OF_IP_ECN, &ecn, 1); }
    // The vendor extension's actions.
    Actions &set_flag(uint32_t bits) noexcept { return flag(ZELTA_ACTION_EXP_SET_FLAG, bits); }
    Actions &overwrite_flag(uint32_t bits) noexcept {
        return flag(ZELTA_ACTION_EXP_OVERWRITE_FLAG, bits);
    }
    Actions &zelta_output(uint32_t port, uint32_t max_packet_count) noexcept {
        return add(ofmsg_action_exp_create_zelta_output(port, max_packet_count));
    }
    Actions &set_appid(uint16_t appid) noexcept {
        return add(ofmsg_action_exp_create_set_appid(appid));
    }

    bool ok() const noexcept { return ok_; }
    const ofmsg_instruction_actions *get() const noexcept { return list_.get(); }
    owned<ofmsg_instruction_actions> take() noexcept {
        if (!ok_) list_.reset();
        return std::move(list_);
    }
    owned<ofmsg_flow_instructions> apply() noexcept {
        owned<ofmsg_instruction_actions> list = take();
        if (!list) return {};
        owned<ofmsg_instruction> inst(ofmsg_instruction_action_create(list.get()));
        if (!inst) return {};
        list.release();  // the instruction's now
        owned<ofmsg_flow_instructions> all(ofmsg_instructions_add(nullptr, inst.get()));
        if (all) inst.release();
        return all;
    }

   private:
    Actions &add(ofmsg_action *made) noexcept {
        owned<ofmsg_action> action(made);  // released here unless the list takes it
        if (!ok_ || !action) {
            ok_ = false;
            return *this;
        }
        ofmsg_instruction_actions *list = ofmsg_instruction_action_add(list_.get(), action.get());
        if (!list) {
            ok_ = false;
            return *this;
        }
        action.release();
        if (list != list_.get()) list_.reset(list);  // the first action makes the list
        return *this;
    }
    Actions &set_field(uint32_t field, const void *value, uint32_t size) noexcept {
        return add(ofmsg_action_create_set_field(ofoxm_header_value(field, 0), size, value));
    }
    Actions &flag(uint16_t subtype, uint32_t bits) noexcept {
        return add(ofmsg_action_exp_create_flag(subtype, bits));
    }

    owned<ofmsg_instruction_actions> list_;
    bool ok_ = true;
};

/* ---- Receive: one handler per message type ----------------------------------------------------
 * A Codec owns msg_handler_cbs while it lives (the table is global: every Codec installs the
 * same trampolines, each decode routes to its own Codec through the ctx of ofmsg_rx_decode).
 *
 *   codec.on<ofmsg_flow_mod>([](owned<ofmsg_flow_mod> fm, const ofmsg &m) { ... });
 *   codec.on<OFPT_FEATURES_REQUEST>([](const ofmsg &m) { ... });   // a type without body
 *   int32_t status = codec.decode(bytes, my_ctx);                    // m.ctx is my_ctx
 *
 * The handler owns the body: keep it (move the owned<> away) or let it go. A type without a
 * handler is released as the C library releases it. A handler that throws has its body
 * released and its exception logged at ERRS level ("Handler for OFPT_... threw: ...").
 * Register handlers between messages, not from inside one of the same type. */
class Codec {
   public:
    Codec() noexcept {
        install();
        instances_++;
    }
    ~Codec() {
        if (--instances_ == 0) {
            const ofmsg_rx_cb none[OFMSG_NUM_TYPES] = {};
            ofmsg_register_callbacks(none);
        }
    }
    Codec(const Codec &) = delete;
    Codec &operator=(const Codec &) = delete;

    /* The handler of the record's message type: f(owned<T>, const ofmsg &) or f(owned<T>). */
    template <Received T, class F>
    Codec &on(F &&f) {
        constexpr int type = record<T>::received_as;
        using Fn = std::decay_t<F>;
        static_assert(std::is_invocable_v<Fn &, owned<T>, const ofmsg &> ||
                          std::is_invocable_v<Fn &, owned<T>>,
                      "a handler takes (owned<T>, const ofmsg &) or (owned<T>)");
        handlers_[type] = [fn = Fn(std::forward<F>(f))](void *body, const ofmsg &m) mutable {
            owned<T> rec(static_cast<T *>(body));  // owned before anything can throw
            if constexpr (std::is_invocable_v<Fn &, owned<T>, const ofmsg &>)
                fn(std::move(rec), m);
            else
                fn(std::move(rec));
        };
        return *this;
    }

    /* The handler of a type without body (OFPT_HELLO, OFPT_FEATURES_REQUEST,
     * OFPT_SET_CONFIG): f(const ofmsg &) or f(). */
    template <ofp_type Type, class F>
    requires(Type == OFPT_HELLO || Type == OFPT_FEATURES_REQUEST ||
             Type == OFPT_SET_CONFIG) Codec &on(F &&f) {
        using Fn = std::decay_t<F>;
        static_assert(std::is_invocable_v<Fn &, const ofmsg &> || std::is_invocable_v<Fn &>,
                      "a handler takes (const ofmsg &) or ()");
        handlers_[Type] = [fn = Fn(std::forward<F>(f))](void *, const ofmsg &m) mutable {
            if constexpr (std::is_invocable_v<Fn &, const ofmsg &>)
                fn(m);
            else
                fn();
        };
        return *this;
    }

    /* Forgets the handler of a message type: its bodies are released again. */
    void off(uint8_t type) noexcept {
        if (type < OFMSG_NUM_TYPES) handlers_[type] = nullptr;
    }

    /* Decodes one complete message and hands its body to the handler (ofmsg_rx_decode):
     * OFMSG_DECODE_OK, or the failing status (nothing delivered, nothing left allocated). */
    int32_t decode(std::span<const uint8_t> msg, void *ctx = nullptr) noexcept {
        if (msg.size() > UINT32_MAX) return OFMSG_ERR_BAD_LEN;
        install();  // unless the table still holds the trampolines
        Frame frame{this, ctx, msg};
        Frame *outer = std::exchange(active_, &frame);
        const int32_t status =
            ofmsg_rx_decode(&frame, msg.data(), static_cast<uint32_t>(msg.size()));
        active_ = outer;
        return status;
    }

    /* The message being decoded: valid inside its handler only, empty elsewhere. */
    std::span<const uint8_t> current() const noexcept {
        return active_ && active_->codec == this ? active_->bytes : std::span<const uint8_t>{};
    }

   private:
    struct Frame {
        Codec *codec;
        void *ctx;
        std::span<const uint8_t> bytes;
    };

    template <size_t Type>
    static void trampoline(void *body, ofmsg *msg) noexcept {
        using T = typename detail::received_record<static_cast<int>(Type), detail::records>::type;
        if constexpr (!std::is_void_v<T>) {
            body = detail::adopt_received(static_cast<T *>(body));
            if (!body) return;
        }
        const Frame *f = msg ? static_cast<const Frame *>(msg->ctx) : nullptr;
        // A decode the host ran itself, outside any Codec, is not routed: released as unhandled.
        if (!f || f != active_ || !f->codec->handlers_[Type]) {
            if constexpr (std::is_void_v<T>)
                ofmsg_free(Type, body);
            else
                releaser<T>{}(static_cast<T *>(body));
            return;
        }
        ofmsg rec = *msg;
        rec.ctx = f->ctx;  // the host's context, as given to decode
        try {
            f->codec->handlers_[Type](body, rec);
        } catch (...) {
            detail::report_exception("Handler for ", ofmsg_ofp_type_to_string(Type));
        }
    }

    static const ofmsg_rx_cb *table() noexcept {
        static constexpr auto t = []<size_t... I>(std::index_sequence<I...>) {
            return std::array<ofmsg_rx_cb, OFMSG_NUM_TYPES>{&trampoline<I>...};
        }
        (std::make_index_sequence<OFMSG_NUM_TYPES>{});
        return t.data();
    }

    static void install() noexcept {
        const ofmsg_rx_cb *t = table();
        if (!std::equal(t, t + OFMSG_NUM_TYPES, msg_handler_cbs)) ofmsg_register_callbacks(t);
    }

    std::array<std::function<void(void *, const ofmsg &)>, OFMSG_NUM_TYPES> handlers_;
    static inline Frame *active_ = nullptr;
    static inline int instances_ = 0;
};

/* ---- Logging ---------------------------------------------------------------------------------
 * Every library line, formatted, to a function of the host (syslog_func); an empty function
 * removes it. What the sink throws is dropped. */
namespace detail {
inline std::function<void(int, std::string_view)> log_sink;
inline void log_trampoline(int level, const char *line) noexcept {
    try {
        if (log_sink) log_sink(level, line);
    } catch (...) {
    }
}
}  // namespace detail

inline void set_log_sink(std::function<void(int level, std::string_view line)> sink) noexcept {
    detail::log_sink = std::move(sink);
    syslog_func = detail::log_sink ? detail::log_trampoline : nullptr;
}

/* ---- The event loop (the reference host platform, libofagent_host) -----------------------------
 * One per process. Timers and the signal callback are std::functions run on the loop's thread;
 * what they throw is logged and dropped. */
class Loop {
   public:
    Loop() noexcept { ofsocket_set_dispatcher_id(1); }
    ~Loop() {
        for (auto &[id, t] : timers_)
            ofhost_timer_cancel(id);
        if (signals_) {
            ofhost_signals_remove();
            signal_fn_ = nullptr;
        }
    }
    Loop(const Loop &) = delete;
    Loop &operator=(const Loop &) = delete;

    void run() noexcept { ofhost_loop_run(); }
    int run_once(int timeout_ms) noexcept { return ofhost_loop_run_once(timeout_ms); }
    void stop() noexcept { ofhost_loop_stop(); }

    /* A timer due once after ms milliseconds, or every ms milliseconds; its id, 0 when memory
     * is exhausted. */
    uint32_t after(uint32_t ms, std::function<void()> fn) { return add(ms, false, std::move(fn)); }
    uint32_t every(uint32_t ms, std::function<void()> fn) { return add(ms, true, std::move(fn)); }
    /* True when the timer was pending; allowed inside any timer, its own included. */
    bool cancel(uint32_t id) noexcept {
        auto it = timers_.find(id);
        if (it == timers_.end()) return false;
        ofhost_timer_cancel(id);
        if (it->second->running)
            it->second->cancelled = true;  // erased once its function has returned
        else
            timers_.erase(it);
        return true;
    }

    /* SIGINT, SIGTERM, SIGHUP, SIGUSR1 and SIGUSR2 as loop events (SIGPIPE ignored). */
    bool on_signal(std::function<void(int)> fn) noexcept {
        signal_fn_ = std::move(fn);
        if (!signals_) signals_ = ofhost_signals_install(on_signal_trampoline) == 0;
        return signals_;
    }

   private:
    struct Timer {
        Loop *loop;
        uint32_t id;
        bool periodic, running, cancelled;
        std::function<void()> fn;
    };

    uint32_t add(uint32_t ms, bool periodic, std::function<void()> fn) {
        auto t = std::make_unique<Timer>(Timer{this, 0, periodic, false, false, std::move(fn)});
        const uint32_t id = ofhost_timer_add(ms, periodic ? 1 : 0, fire, t.get());
        if (id == 0) return 0;
        t->id = id;
        try {
            timers_.emplace(id, std::move(t));
        } catch (...) {
            ofhost_timer_cancel(id);
            throw;
        }
        return id;
    }

    static void fire(void *arg) noexcept {
        auto *t = static_cast<Timer *>(arg);
        t->running = true;
        detail::guarded("Timer", t->fn);
        t->running = false;
        if (!t->periodic || t->cancelled) t->loop->timers_.erase(t->id);
    }
    static void on_signal_trampoline(int signo) noexcept {
        detail::guarded("Signal callback", signal_fn_, signo);
    }

    std::unordered_map<uint32_t, std::unique_ptr<Timer>> timers_;
    bool signals_ = false;
    static inline std::function<void(int)> signal_fn_;
};

/* ---- Connections
 * --------------------------------------------------------------------------------- Thin wrappers
 * over the client and server managers. Each frames with frame_length (a HELLO of any version gets
 * through for negotiation). The message callback gets one complete message, valid only during the
 * call; sends copy the bytes. What a callback throws is logged and dropped. */
constexpr uint32_t kDefaultRxBufSize = 65536;

/* The connection to one controller (one Client per process, as there is one client manager). */
class Client {
   public:
    struct Callbacks {
        std::function<void()> up;    // usable: send from here on
        std::function<void()> down;  // gone, or the connect failed; connect again from here on
        std::function<void(std::span<const uint8_t>)> message;
    };

    explicit Client(Callbacks cb, uint32_t rx_buf_size = kDefaultRxBufSize) noexcept
        : cb_(std::move(cb)) {
        const ofconn_registration reg{on_event, on_rx, {OFP_HEADER_LEN, rx_buf_size, frame_length}};
        ofclient_register(&reg);
        current_ = this;
    }
    ~Client() {
        cb_ = {};  // the down report of our own teardown goes nowhere
        disconnect();
        if (current_ == this) current_ = nullptr;
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    /* ip and port in host byte order; ssl a prepared wolfSSL object or null. False when the
     * connect could not start (down has been called) or a connection exists. */
    bool connect(uint32_t ip, uint16_t port, struct WOLFSSL *ssl = nullptr) noexcept {
        if (rec_) return false;
        rec_ = ofclient_connect_to_ofserver(ip, port, ssl);
        return rec_ != nullptr;
    }
    /* False when no connection is up (nothing sent); else the bytes are the connection's (a
     * broken socket is reported through down). */
    bool send(std::span<const uint8_t> bytes) noexcept {
        if (!up_ || !rec_) return false;
        ofclient_send(rec_, bytes.data(), static_cast<uint32_t>(bytes.size()));
        return true;
    }
    /* The encoded message; false when it was refused or no connection is up. */
    bool send(const Encoded &e) noexcept { return e && send(e.bytes()); }
    void disconnect() noexcept {
        if (rec_) ofclient_disconnect(rec_);
    }
    bool up() const noexcept { return up_; }
    bool connecting() const noexcept { return rec_ && !up_; }

   private:
    static void on_event(ofconn *conn, uint32_t event) noexcept {
        Client *c = current_;
        if (!c) return;
        if (event == OFCONN_CONNECTION_UP) {
            c->rec_ = reinterpret_cast<ofclient_server *>(conn);
            c->up_ = true;
            detail::guarded("Client up callback", c->cb_.up);
        } else if (event == OFCONN_CONNECTION_DOWN) {
            c->rec_ = nullptr;
            c->up_ = false;
            detail::guarded("Client down callback", c->cb_.down);
        }
    }
    static int32_t on_rx(ofconn *, const uint8_t *bytes, int32_t len) noexcept {
        if (current_ && len > 0)
            detail::guarded("Client message callback", current_->cb_.message,
                            std::span<const uint8_t>(bytes, static_cast<size_t>(len)));
        return 0;
    }

    Callbacks cb_;
    ofclient_server *rec_ = nullptr;
    bool up_ = false;
    static inline Client *current_ = nullptr;
};

/* Accepted peers on one listening address (one Server at a time: one server manager). A Peer
 * is valid from its up callback to the end of its down callback. */
class Server {
   public:
    using Peer = ofserver_client *;
    struct Callbacks {
        std::function<void(Peer)> up;
        std::function<void(Peer)> down;
        std::function<void(Peer, std::span<const uint8_t>)> message;
    };

    explicit Server(Callbacks cb, uint32_t rx_buf_size = kDefaultRxBufSize) noexcept
        : cb_(std::move(cb)) {
        const ofconn_registration reg{on_event, on_rx, {OFP_HEADER_LEN, rx_buf_size, frame_length}};
        // The manager's client list lives as long as the process: register once.
        if (!registered_) ofserver_register(&reg);
        registered_ = true;
        ofserver_local_inst.conn_cfg = reg.conn_cfg;
        current_ = this;
    }
    ~Server() {
        cb_ = {};
        stop();
        if (current_ == this) current_ = nullptr;
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    /* ip and port in host byte order; port 0 takes a free port (see port()). */
    bool start(uint32_t ip, uint16_t port) noexcept { return ofserver_start(ip, port) == 0; }
    /* Every peer hears down, and the listening socket is closed. */
    void stop() noexcept {
        if (ofserver_local_inst.ofs_ctx) ofserver_stop();
    }
    /* The port listened on (host byte order), 0 while stopped. */
    uint16_t port() const noexcept {
        sockaddr_in a{};
        socklen_t n = sizeof a;
        ofsocket *s = ofserver_local_inst.ofs_ctx;
        if (!s || getsockname(ofsocket_get_socket_fd(s), reinterpret_cast<sockaddr *>(&a), &n))
            return 0;
        return ntohs(a.sin_port);
    }
    bool send(Peer p, std::span<const uint8_t> bytes) noexcept {
        if (!p) return false;
        ofserver_send(p, bytes.data(), static_cast<uint32_t>(bytes.size()));
        return true;
    }
    bool send(Peer p, const Encoded &e) noexcept { return e && send(p, e.bytes()); }
    void disconnect(Peer p) noexcept {
        if (p) ofserver_disconnect_client(p);
    }
    /* "a.b.c.d:port" of the peer. */
    static std::string name(Peer p) { return p ? ofserver_get_client_name(p) : ""; }

   private:
    static void on_event(ofconn *conn, uint32_t event) noexcept {
        Server *s = current_;
        auto *p = reinterpret_cast<Peer>(conn);
        if (!s) return;
        if (event == OFCONN_CONNECTION_UP) detail::guarded("Server up callback", s->cb_.up, p);
        if (event == OFCONN_CONNECTION_DOWN)
            detail::guarded("Server down callback", s->cb_.down, p);
    }
    static int32_t on_rx(ofconn *conn, const uint8_t *bytes, int32_t len) noexcept {
        if (current_ && len > 0)
            detail::guarded("Server message callback", current_->cb_.message,
                            reinterpret_cast<Peer>(conn),
                            std::span<const uint8_t>(bytes, static_cast<size_t>(len)));
        return 0;
    }

    Callbacks cb_;
    static inline Server *current_ = nullptr;
    static inline bool registered_ = false;
};

}  // namespace ofagent

#undef OFAGENT_RECORDS_

#endif /* OFAGENT_HPP */
