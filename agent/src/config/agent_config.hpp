#pragma once

#include <cstdint>
#include <string>

namespace vx {

// The agent's configuration as the command line gives it. The session driver keeps one copy for
// the run and copies it again at the start of each session, so nothing here is shared mutable
// state.
struct AgentConfig {
    // Fixes the input, launcher control, video and audio ports (util::session_ports).
    std::uint16_t port_base = 47998;

    std::uint32_t width = 1920;
    std::uint32_t height = 1080;
    std::uint32_t fps = 60;
    std::uint32_t bitrate = 30'000'000;  // bit/s
    std::string codec = "h264";

    // Backend link; an empty host runs the agent standalone (one session from these options).
    std::string saas_host;
    std::uint16_t saas_port = 443;
    std::string control_udp_host;  // "--control-udp" host part; empty = no UDP control channel
    std::uint16_t control_udp_port = 0;
    std::string server_id;
    std::string agent_token;

    // Direct path and relay.
    std::string stun;          // host or host:port; empty = the built-in public server
    std::string public_ip;     // empty = learn it from the router or the backend
    std::string force_direct;  // test-only forced direct address
    bool check_direct = false;
    std::string turn_url;
    std::string turn_user;
    std::string turn_pass;

    // DSCP marking of the media relay's socket; VX_QOS "0" or "off" turns it off.
    bool qos = true;

    // Audio parity packets; when no option set it, the environment switch decides.
    bool audio_parity = false;
    bool audio_parity_given = false;

    std::uint32_t client_idle_timeout_sec = 10;  // 0 switches the presence watchdog off
    std::int32_t adapter = -1;                   // capture adapter index, -1 = automatic
    std::string adapter_vendor;

    // Desktop isolation during a session.
    bool hide_desktop = false;
    bool launch_steam = false;
    std::string steam_app_id;
    std::string steam_path;

    bool verbose = false;

    // No option sets this: the driver writes the session order's limit into its per-session copy.
    std::uint32_t max_duration_sec = 0;  // 0 = no limit
};

}  // namespace vx
