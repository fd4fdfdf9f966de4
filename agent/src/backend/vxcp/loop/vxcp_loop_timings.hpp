#pragma once

#include <cstdint>

namespace vx::network {

// How long the UDP connection loop gives the control channel to answer. Tests that run on real
// clocks shorten them so a failed handshake or a dead path is seen in a fraction of the time.
struct VxcpLoopTimings {
    std::int32_t handshake_ms = 3000;
    std::int32_t relay_handshake_ms = 5000;  // through a relay
    std::int32_t stall_threshold_ms = 6000;
};

}  // namespace vx::network
