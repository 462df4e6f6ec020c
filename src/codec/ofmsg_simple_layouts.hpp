// Wire layouts of the simple messages, written once and used by their decoders and encoders.
// Offsets of message layouts count from the start of the OpenFlow header.
#pragma once

#include "ofmsg_internal.hpp"

namespace ofagent {

using wire::Field;
using wire::Layout;

// ofp_switch_features; bytes 22..23 are padding.
using SwitchFeaturesLayout = Layout<
    Field<&ofmsg_switch_features::datapath_id, 8>, Field<&ofmsg_switch_features::n_buffers, 16>,
    Field<&ofmsg_switch_features::n_tables, 20>, Field<&ofmsg_switch_features::auxiliary_id, 21>,
    Field<&ofmsg_switch_features::capabilities, 24>, Field<&ofmsg_switch_features::reserved, 28>>;
constexpr uint32_t kSwitchFeaturesLen = 32;
static_assert(SwitchFeaturesLayout::end == kSwitchFeaturesLen);

// ofp_port (offsets within the 64-byte entry); the name field at 16 is handled apart because
// the record holds a heap string.
using PortLayout =
    Layout<Field<&ofstruct_port::port_no, 0>, Field<&ofstruct_port::hw_addr, 8>,
           Field<&ofstruct_port::config, 32>, Field<&ofstruct_port::state, 36>,
           Field<&ofstruct_port::curr, 40>, Field<&ofstruct_port::advertised, 44>,
           Field<&ofstruct_port::supported, 48>, Field<&ofstruct_port::peer, 52>,
           Field<&ofstruct_port::curr_speed, 56>, Field<&ofstruct_port::max_speed, 60>>;
constexpr uint32_t kPortLen = 64;
constexpr size_t kPortNameOffset = 16;
constexpr size_t kPortNameLen = 16;
static_assert(PortLayout::end == kPortLen);

// ofp_port_status: reason, 7 pad bytes, then the port.
using PortStatusLayout = Layout<Field<&ofmsg_port_status::reason, 8, 1>>;
constexpr uint32_t kPortStatusHeadLen = 16;
constexpr uint32_t kPortStatusLen = kPortStatusHeadLen + kPortLen;

// ofp_error_msg: type and code, then the data.
using ErrorLayout = Layout<Field<&ofmsg_error::type, 8, 2>, Field<&ofmsg_error::code, 10>>;
constexpr uint32_t kErrorHeadLen = 12;
static_assert(ErrorLayout::end == kErrorHeadLen);

// The 24-byte echo this codec answers: a 64-bit word and two 32-bit words that travel in
// wire order both ways (copied, not converted).
using EchoLayout = Layout<Field<&ofmsg_echo::payload64, 8>>;
constexpr size_t kEchoWord32aOffset = 16;
constexpr size_t kEchoWord32bOffset = 20;
constexpr uint32_t kEchoLen = 24;

constexpr uint32_t kSetConfigLen = 12;

// ofp_hello_elem type of the version bitmap.
constexpr uint16_t OFPHET_VERSIONBITMAP = 1;

}  // namespace ofagent
