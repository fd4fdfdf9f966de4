#include "backend/messages/messages.hpp"

#include "util/base64.hpp"

namespace vx::network {

using nlohmann::json;

std::string dump_message(const json& message) {
    return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

json build_register(const RegisterPayload& p) {
    json m = json::object();
    m["type"] = "register";
    m["agent_version"] = p.agent_version;
    m["gpu_model"] = p.gpu_model;
    m["gpu_vram_mb"] = p.gpu_vram_mb;
    m["cpu_model"] = p.cpu_model;
    m["ram_mb"] = p.ram_mb;
    m["os_version"] = p.os_version;
    m["supported_codecs"] = p.supported_codecs;
    m["port_base"] = p.port_base;
    if (!p.max_resolution.empty()) {
        m["max_resolution"] = p.max_resolution;
    }
    if (p.max_fps != 0) {
        m["max_fps"] = p.max_fps;
    }
    if (!p.public_ip.empty()) {
        m["public_ip"] = p.public_ip;
    }
    // We accept a prepare_session re-delivered after a reconnect and ignore copies of
    // sessions already handled, so the backend may re-send instead of giving up.
    m["features"] = json::array({"prepare_redelivery"});
    return m;
}

json build_heartbeat() {
    // The three figures are placeholders the backend expects to be present.
    return json{{"type", "heartbeat"},
                {"status", "online"},
                {"cpu_pct", 0.0},
                {"gpu_pct", 0.0},
                {"ram_mb_free", 0.0}};
}

json build_session_ready(const std::string& session_id, const std::string& public_ip,
                         std::uint16_t video_port, std::uint16_t audio_port,
                         std::uint16_t input_port) {
    json ports = json::object();
    ports["video"] = video_port;
    ports["audio"] = audio_port;
    ports["input"] = input_port;
    json m = json::object();
    m["type"] = "session_ready";
    m["session_id"] = session_id;
    m["public_ip"] = public_ip;
    m["ports"] = std::move(ports);
    return m;
}

json build_session_ended(const std::string& session_id, const std::string& reason,
                         std::uint32_t duration_sec) {
    json m = json::object();
    m["type"] = "session_ended";
    m["session_id"] = session_id;
    m["reason"] = reason;
    m["duration_sec"] = duration_sec;
    return m;
}

json build_error(const std::string& code, const std::string& message,
                 const std::string& session_id) {
    json m = json::object();
    m["type"] = "error";
    m["code"] = code;
    m["message"] = message;
    if (!session_id.empty()) {
        m["session_id"] = session_id;
    }
    return m;
}

json profile_to_json(const natwave::Profile& profile) {
    if (profile.kind == 0 || profile.base == 0) {
        return nullptr;
    }
    json m = json::object();
    m["kind"] = std::string(natwave::profile_kind_name(profile.kind));
    m["base"] = profile.base;
    // A delta of 0 would tell the launcher's predictor to stand still; 1 is the neutral step.
    m["delta"] = static_cast<std::int64_t>(profile.delta == 0 ? 1 : profile.delta);
    if (profile.min_port != 0) {
        m["min"] = profile.min_port;
    }
    if (profile.max_port != 0) {
        m["max"] = profile.max_port;
    }
    m["conf"] = profile.conf;
    return m;
}

std::optional<json> build_ice_candidate(const std::string& session_id, const std::string& ip,
                                        const std::string& kind, std::uint16_t port,
                                        const std::optional<natwave::Profile>& profile) {
    if (session_id.empty() || ip.empty() || port == 0) {
        return std::nullopt;
    }
    json candidate = json::object();
    candidate["ip"] = ip;
    candidate["port"] = port;
    candidate["kind"] = kind;
    if (profile) {
        json nat = profile_to_json(*profile);
        if (!nat.is_null()) {
            candidate["nat"] = std::move(nat);
        }
    }
    json m = json::object();
    m["type"] = "ice_candidate";
    m["session_id"] = session_id;
    m["candidate"] = std::move(candidate);
    return m;
}

std::optional<json> build_relay_rtts(const std::map<std::string, std::int32_t>& rtts) {
    if (rtts.empty()) {
        return std::nullopt;
    }
    json table = json::object();
    for (const auto& [id, ms] : rtts) {
        table[id] = static_cast<std::int64_t>(ms);
    }
    json m = json::object();
    m["type"] = "relay_rtts";
    m["rtts"] = std::move(table);
    return m;
}

json build_control_data(const std::string& session_id, const std::vector<std::uint8_t>& bytes) {
    json m = json::object();
    m["type"] = "control_data";
    m["session_id"] = session_id;
    m["data"] = util::base64_encode(bytes);
    return m;
}

}  // namespace vx::network
