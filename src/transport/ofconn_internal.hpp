// Connection-layer facts the managers need beyond the public interface.
#pragma once

#include "ofconn.h"

namespace ofagent {

// True while the connection's teardown waits for its receive callback to return: its socket
// is closed already, and its owner hears of it once the callback is over.
bool ofconn_teardown_pending(const ofconn *conn);

}  // namespace ofagent
