#pragma once

// What the status screen tells the owner about reaching this PC without the relay.

#include "status/status_board.hpp"
#include "traversal/direct/direct_path.hpp"

namespace vx {

// From the start-up discovery: an address given by hand wins over whatever the router says.
DirectVerdict start_up_verdict(bool address_by_hand, const network::RouterWan& wan);

// While a session keeps its router mapping for video, players come straight in; otherwise the
// verdict the agent had while waiting stands.
DirectVerdict session_verdict(DirectVerdict waiting, bool video_mapping_kept);

}  // namespace vx
