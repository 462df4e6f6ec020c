/* The peer's decoders on whole messages, each with the buffers the peer itself uses for
 * them (a 1 KiB action stub, as ofproto's flow-mod handler). */
#include <config.h>

#include "ovs_peer.h"

#include "openvswitch/match.h"
#include "openvswitch/ofp-flow.h"
#include "openvswitch/ofp-msgs.h"
#include "openvswitch/ofp-packet.h"
#include "openvswitch/ofp-port.h"
#include "openvswitch/ofp-protocol.h"
#include "openvswitch/ofpbuf.h"

#include <stdio.h>

static int decode_flow_mod(const struct ofp_header *oh) {
    uint64_t stub[1024 / 8];
    struct ofpbuf ofpacts;
    struct ofputil_flow_mod fm;
    ofpbuf_use_stub(&ofpacts, stub, sizeof stub);
    enum ofperr err =
        ofputil_decode_flow_mod(&fm, oh, OFPUTIL_P_OF13_OXM, NULL, NULL, &ofpacts, OFPP_MAX, 255);
    if (!err) minimatch_destroy(&fm.match);
    ofpbuf_uninit(&ofpacts);
    return err ? -1 : 1;
}

static int decode_packet_in(const struct ofp_header *oh) {
    struct ofputil_packet_in pin;
    size_t total_len;
    uint32_t buffer_id;
    enum ofperr err =
        ofputil_decode_packet_in(oh, true, NULL, NULL, &pin, &total_len, &buffer_id, NULL);
    return err ? -1 : 1;
}

static int decode_port_desc(const struct ofp_header *oh) {
    struct ofpbuf b = ofpbuf_const_initializer(oh, ntohs(oh->length));
    struct ofputil_phy_port pp;
    int n = 0, err;
    ofpraw_pull_assert(&b);
    while ((err = ofputil_pull_phy_port(oh->version, &b, &pp)) == 0)
        n++;
    return err == EOF ? n : -1;
}

static int decode_flow_stats(const struct ofp_header *oh) {
    uint64_t stub[1024 / 8];
    struct ofpbuf ofpacts;
    struct ofpbuf b = ofpbuf_const_initializer(oh, ntohs(oh->length));
    struct ofputil_flow_stats fs;
    int n = 0, err;
    ofpbuf_use_stub(&ofpacts, stub, sizeof stub);
    while ((err = ofputil_decode_flow_stats_reply(&fs, &b, false, &ofpacts)) == 0)
        n++;
    ofpbuf_uninit(&ofpacts);
    return err == EOF ? n : -1;
}

int ovs_peer_decode(const uint8_t *msg, size_t len) {
    const struct ofp_header *oh = (const struct ofp_header *)msg;
    enum ofptype type;
    if (len < sizeof *oh || ntohs(oh->length) != len || ofptype_decode(&type, oh)) return -1;
    switch (type) {
        case OFPTYPE_FLOW_MOD:
            return decode_flow_mod(oh);
        case OFPTYPE_PACKET_IN:
            return decode_packet_in(oh);
        case OFPTYPE_PORT_DESC_STATS_REPLY:
            return decode_port_desc(oh);
        case OFPTYPE_FLOW_STATS_REPLY:
            return decode_flow_stats(oh);
        default:
            return -1;
    }
}
