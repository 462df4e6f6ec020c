/* Open vSwitch's OpenFlow codec as a side-by-side peer: decodes one whole message the way
 * ovs-vswitchd (flow-mod, packet-in) or a controller (multipart replies) would. Built only
 * when the bench is configured with a built Open vSwitch tree. */
#ifndef BENCH_OVS_PEER_H
#define BENCH_OVS_PEER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Number of records decoded from the message (1 for a flow-mod or packet-in, one per entry
 * of a reply), or -1 when the peer refused the message. */
int ovs_peer_decode(const uint8_t *msg, size_t len);

#ifdef __cplusplus
}
#endif

#endif
