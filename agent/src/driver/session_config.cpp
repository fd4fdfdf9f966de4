#include "driver/session_config.hpp"
#include "util/ascii.hpp"
#include "util/outside_text.hpp"

#include <algorithm>
#include <charconv>

namespace vx {
namespace {

constexpr std::uint32_t kMaxDimension = 16384;
constexpr std::int32_t kMinFps = 1;
constexpr std::int32_t kMaxFps = 240;
constexpr std::int32_t kMinKbps = 500;
constexpr std::int32_t kMaxKbps = 200'000;
constexpr std::uint32_t kMaxStandaloneBps = 200'000'000;

bool parse_dimension(std::string_view text, std::uint32_t& out) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    std::uint32_t v = 0;
    std::from_chars(text.data(), text.data() + text.size(), v);
    if (v == 0 || v > kMaxDimension) {
        return false;
    }
    out = v;
    return true;
}

}  // namespace

std::pair<std::uint32_t, std::uint32_t> parse_resolution(std::string_view text) {
    const auto x = text.find('x');
    std::uint32_t w = 0;
    std::uint32_t h = 0;
    if (x == std::string_view::npos || !parse_dimension(text.substr(0, x), w) ||
        !parse_dimension(text.substr(x + 1), h)) {
        return {kFallbackWidth, kFallbackHeight};
    }
    return {w, h};
}

std::uint32_t clamp_session_fps(std::int32_t fps) {
    return static_cast<std::uint32_t>(std::clamp(fps, kMinFps, kMaxFps));
}

std::uint32_t session_bitrate_bps(std::int32_t bitrate_kbps, std::uint32_t fallback_bps) {
    if (bitrate_kbps <= 0) {
        return fallback_bps;
    }
    return static_cast<std::uint32_t>(std::clamp(bitrate_kbps, kMinKbps, kMaxKbps)) * 1000u;
}

std::uint32_t session_max_duration(std::int32_t max_duration_sec) {
    return max_duration_sec <= 0 ? 0u : static_cast<std::uint32_t>(max_duration_sec);
}

SessionConfig session_config_from_order(const AgentConfig& agent,
                                        const network::PrepareSessionParams& order) {
    SessionConfig s;
    s.agent = agent;
    const auto [w, h] = parse_resolution(order.resolution);
    s.agent.width = w;
    s.agent.height = h;
    s.agent.fps = clamp_session_fps(order.max_fps);
    s.agent.bitrate = session_bitrate_bps(order.bitrate_kbps, agent.bitrate);
    s.agent.codec = order.codec.empty() ? agent.codec : order.codec;
    s.agent.max_duration_sec = session_max_duration(order.max_duration_sec);
    s.agent.hide_desktop = order.hide_desktop;
    s.agent.launch_steam = order.launch_steam;
    s.agent.steam_app_id = order.steam_app_id;
    s.session_id = order.session_id;
    s.token_sha256 = order.session_token_sha256;
    s.encryption_key = order.encryption_key;
    s.turn = order.turn;
    s.from_backend = true;
    return s;
}

SessionConfig standalone_session_config(const AgentConfig& agent) {
    SessionConfig s;
    s.agent = agent;
    s.agent.fps =
        clamp_session_fps(static_cast<std::int32_t>(std::min<std::uint32_t>(agent.fps, 240)));
    s.agent.bitrate = std::min(agent.bitrate, kMaxStandaloneBps);
    s.agent.max_duration_sec = 0;
    return s;
}

std::string session_log_name(const SessionConfig& s) {
    return s.session_id.empty() ? "<standalone>" : util::quote_outside_text(s.session_id);
}

std::string codec_display_name(std::string_view codec) {
    const std::string lower = util::ascii_lower(codec);
    return (lower == "hevc" || lower == "h265" || lower == "h.265") ? "HEVC" : "H.264";
}

}  // namespace vx
