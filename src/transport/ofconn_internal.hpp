// Connection-layer facts the managers need beyond the public interface.
#pragma once

#include "ofconn.h"

namespace ofagent {

// What the connection layer knows of a connection's owner: the layer calls up through these
// alone. One row per connection type, filled by each manager when the host registers with it.
struct ConnOwner {
    // One complete message; the bytes are valid during the call.
    int32_t (*dispatch_rx)(ofconn *conn, const uint8_t *bytes, int32_t length);
    // The end of the connection: tells the host and frees the records.
    void (*connection_down)(ofconn *conn);
};

extern ConnOwner ofconn_owners[OFCONN_TYPE_SERVER + 1];  // indexed by OFCONN_TYPE_*

// True from the start of the connection's teardown until its record is freed: its socket is
// closed already, and its owner hears of the end at the latest when the callback that is running
// for it returns.
bool ofconn_closing(const ofconn *conn);

// Tears the connection down without an event line: what OFCONN_CONNECTION_DOWN does, for the
// owner's own failures before the connection came up. Ends in the owner's down handler unless
// the connection is closing already.
void ofconn_teardown(ofconn *conn);

}  // namespace ofagent
