// The messages every bench measures: flow-mods made by Open vSwitch (ovs-ofctl parse-flow),
// and a packet-in, a port description reply and a flow statistics reply built with the
// library's own encoder. Also the release of a decoded body, nested records included.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Message {
    std::string name;
    std::vector<uint8_t> bytes;
};

// The OVS-made flow-mods of the test data (empty when the file cannot be read).
std::vector<Message> ovs_flow_mods(const std::string &path);
Message packet_in_message(uint32_t data_len);
Message port_desc_reply_message(uint32_t ports);
Message flow_stats_reply_message(uint32_t entries);

// Releases a body handed to a receive callback, including the match and instruction records
// that a flow statistics reply leaves to its holder.
void release_body(uint8_t type, void *body);

// Decodes one message and returns its body (the caller releases it), or null.
void *decode_body(const std::vector<uint8_t> &bytes);

}  // namespace bench
