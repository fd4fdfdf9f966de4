#pragma once

#include <cstdint>
#include <string>

#include "backend/ws/ws_frame.hpp"

namespace vx::network {

// What one received frame means for the connection.
struct WsFrameOutcome {
    enum class Kind : std::uint8_t {
        none,       // nothing for the caller (fragment kept, frame ignored, empty message)
        message,    // `text` is a complete message
        ping,       // answer with a pong carrying `text`
        pong,       // `pong_id` from the first 4 payload bytes (0 when shorter)
        close,      // `close_code` (0 = none given) and `text` as the reason
        too_large,  // a fragmented message grew past kWsMaxPayload: close the connection
    };
    Kind kind = Kind::none;
    std::string text;
    std::uint32_t pong_id = 0;
    std::uint16_t close_code = 0;
};

// Reassembles fragmented messages and classifies control frames; control frames may arrive
// between the fragments of a message without disturbing it.
class WsMessageAssembler {
  public:
    WsFrameOutcome on_frame(WsFrame frame);
    // A new connection: no fragment, and the stray frames are counted from zero.
    void reset();
    bool fragment_active() const { return active_; }

  private:
    WsFrameOutcome on_data(WsFrame& frame);
    WsFrameOutcome on_continuation(WsFrame& frame);
    void drop_fragment();

    std::string fragment_;
    bool active_ = false;
    // Frames that broke the fragment rules on this connection, logged at the 1st, 500th ...
    std::uint64_t stray_continuations_ = 0;
    std::uint64_t stale_fragments_ = 0;
};

}  // namespace vx::network
