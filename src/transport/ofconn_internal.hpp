// Connection-layer facts the managers need beyond the public interface.
#pragma once

#include "ofconn.h"

namespace ofagent {

// True from the start of the connection's teardown until its record is freed: its socket is
// closed already, and its owner hears of the end at the latest when the callback that is running
// for it returns.
bool ofconn_closing(const ofconn *conn);

// Tears the connection down without an event line: what OFCONN_CONNECTION_DOWN does, for the
// owner's own failures before the connection came up. Ends in the owner's down handler unless
// the connection is closing already.
void ofconn_teardown(ofconn *conn);

}  // namespace ofagent
