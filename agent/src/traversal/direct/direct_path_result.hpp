#pragma once

#include <cstdint>
#include <string>

#include "util/natwave_profile.hpp"

namespace vx::network {

// One session's record of what the router mapped and which direct candidate went out. The
// driver resets it when the video socket is bound and reads it after each set-up call.
struct DirectPathResult {
    bool attempted = false;     // the router was asked (once per session)
    bool video_mapped = false;  // the video port has a router mapping (or a forced address)
    bool input_mapped = false;  // the input port has a mapping the launcher can use
    bool audio_mapped = false;
    bool published = false;     // a direct candidate went to the backend
    bool wan_mismatch = false;  // the router's WAN address is not what the backend observes
    std::string via;            // "upnp", "natpmp", "pcp", "stun" or "forced-direct (TEST ONLY)"
    std::string video_ip;
    std::uint16_t video_port = 0;
    std::string video_method;
    std::string input_ip;
    std::uint16_t input_port = 0;
    std::string audio_ip;
    std::uint16_t audio_port = 0;
    natwave::Profile profile{0, 1, 0, 0, 0, 0};
};

}  // namespace vx::network
