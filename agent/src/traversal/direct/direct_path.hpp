#pragma once

// A session's direct candidate: the address and port at which the launcher may reach the video
// socket without a relay, with the NAT profile that lets it predict the agent's mappings. Three
// sources in a fixed order: a forced address (tests only), a router mapping, STUN.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "config/agent_config.hpp"
#include "traversal/direct/direct_path_result.hpp"
#include "traversal/direct/observed_address.hpp"
#include "traversal/direct/video_socket_probe.hpp"
#include "traversal/router/port_mapper.hpp"
#include "util/natwave_profile.hpp"

namespace vx::network {

// Queues one "ice_candidate" for the backend (the connector's send_ice_candidate).
using CandidateSender = std::function<void(const std::string& session_id, const std::string& ip,
                                           const std::string& kind, std::uint16_t port,
                                           const std::optional<natwave::Profile>& profile)>;

inline constexpr const char* kForcedVia = "forced-direct (TEST ONLY)";

struct DirectPathContext {
    DirectPortMapper* mapper = nullptr;  // none: the router is not asked
    CandidateSender send;                // empty: no backend, nothing happens
    std::string session_id;              // empty: nothing happens
    AgentConfig config;                  // the session's copy
    VideoSocketProbe* video = nullptr;
    const ObservedAddress* observed = nullptr;  // none: nothing observed
};

// One call of the set-up, labelled `phase` in its log lines ("after-handshake", "post-ready").
// The router is asked at most once per session; STUN is asked again while nothing is published.
void setup_direct_path(const DirectPathContext& context, DirectPathResult& result,
                       std::string_view phase);

// The backend observes another address than the router's WAN address the session mapped
// (an upstream NAT): the mappings are released and the relay carries the session. True when it
// released them.
bool release_on_wan_mismatch(const DirectPathContext& context, DirectPathResult& result);

// What one forced discovery found, logged: the router's WAN address, or why there is none.
struct RouterWan {
    std::string address;  // empty: no mapping method works
    std::string error;    // the mapper's text when the address is empty
};
RouterWan discover_router_wan(DirectPortMapper& mapper);

}  // namespace vx::network
