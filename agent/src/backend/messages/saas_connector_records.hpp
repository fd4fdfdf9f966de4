#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vx::network {

// What "register" tells the backend about this PC. The driver overwrites the defaults from
// system information.
struct RegisterPayload {
    std::string agent_version = "1.0.0";
    std::string gpu_model;
    std::uint32_t gpu_vram_mb = 0;
    std::string cpu_model;
    std::uint32_t ram_mb = 0;
    std::string os_version;
    std::vector<std::string> supported_codecs{"h264"};
    std::string max_resolution;  // empty = not reported
    std::uint32_t max_fps = 0;   // 0 = not reported
    std::uint16_t port_base = 47998;
    std::string public_ip;  // empty = not reported
};

// The connector's configuration, filled by the driver from the command line.
struct SaasConfig {
    std::string host;
    std::uint16_t port = 443;
    bool tls = true;
    std::string server_id;    // the UDP control channel needs exactly 36 characters
    std::string agent_token;  // WebSocket "agent-token" header and UDP channel secret
    std::string control_udp_host;
    std::uint16_t control_udp_port = 0;  // 0 = no UDP control channel
    RegisterPayload register_payload;
};

// One accepted "prepare_session" order, as the driver receives it.
struct PrepareSessionParams {
    std::string session_id;
    std::string client_id;
    std::vector<std::uint8_t> encryption_key;  // the session master key: 32 bytes, or empty
    std::string session_token_sha256;          // lowercase hex
    std::string turn;  // the order's TURN block as compact JSON text, or the string it gave
    std::int32_t max_duration_sec = 3600;  // 0 = no limit
    std::string codec = "h264";
    std::string resolution = "1920x1080";
    std::int32_t max_fps = 60;
    std::int32_t bitrate_kbps = 15000;
    bool hide_desktop = false;
    bool launch_steam = false;
    std::string steam_app_id;
};

// One node of the backend's relay list.
struct RelayNode {
    std::string id;
    std::string host;
    std::uint16_t port = 3478;
    std::string username;    // control-channel TURN user; empty = cannot carry the control channel
    std::string credential;  // control-channel TURN password
    std::int64_t credential_expiry = 0;  // 100 ns units of the wall clock since 1970; 0 = none

    bool carries_control() const { return !username.empty(); }
    bool operator==(const RelayNode&) const = default;
};

}  // namespace vx::network
