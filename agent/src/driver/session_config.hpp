#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backend/messages/saas_connector_records.hpp"
#include "config/agent_config.hpp"

namespace vx {

// What one session runs with: the agent's configuration overlaid with the session order.
struct SessionConfig {
    AgentConfig agent;  // the per-session copy; width, height, fps, bitrate, codec, max duration
    std::string session_id;
    std::string token_sha256;                  // empty: no launcher can authenticate
    std::vector<std::uint8_t> encryption_key;  // the session master key
    std::string turn;                          // the order's TURN block as JSON text, or empty
    bool from_backend = false;
};

inline constexpr std::uint32_t kFallbackWidth = 1920;
inline constexpr std::uint32_t kFallbackHeight = 1080;

// "WIDTHxHEIGHT" with both parts whole numbers in 1..16384; anything else is 1920x1080.
std::pair<std::uint32_t, std::uint32_t> parse_resolution(std::string_view text);
// 1..240
std::uint32_t clamp_session_fps(std::int32_t fps);
// A bitrate above 0 in kbit/s, clamped to 500..200000, as bit/s; 0 or below keeps `fallback_bps`.
std::uint32_t session_bitrate_bps(std::int32_t bitrate_kbps, std::uint32_t fallback_bps);
// The order's limit is signed: 0 or below means no limit (0).
std::uint32_t session_max_duration(std::int32_t max_duration_sec);

SessionConfig session_config_from_order(const AgentConfig& agent,
                                        const network::PrepareSessionParams& order);
// The one session of an agent without a backend: the command line's values, no token hash.
SessionConfig standalone_session_config(const AgentConfig& agent);

// The session as log lines name it: its id quoted as the backend's text, or "<standalone>".
std::string session_log_name(const SessionConfig& s);

// "H.264" or "HEVC" for the status screen.
std::string codec_display_name(std::string_view codec);

}  // namespace vx
