#include "link/control_protocol.hpp"
#include "util/base64.hpp"

#include <array>

namespace vx {
namespace {

// Launcher messages that carry no action for this agent beyond proving the launcher is there.
constexpr std::array<std::string_view, 9> kKnownTypes = {
    "stats",        "request_idr",  "set_settings",
    "client_punch", "client_srflx", "client_probe_sources",
    "ctl_skip",     "cseq",         "cdrop"};

std::optional<nlohmann::json> parse_object(std::string_view line) {
    auto value = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded() || !value.is_object()) {
        return std::nullopt;
    }
    return value;
}

std::string string_field(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        return {};
    }
    return it->get<std::string>();
}

}  // namespace

bool partial_line_too_long(std::string_view partial, std::size_t limit) {
    return partial.size() > limit + 1 || (partial.size() == limit + 1 && partial.back() != '\r');
}

bool trim_line(std::string& line, std::size_t limit) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line.size() <= limit;
}

const char* auth_refusal_code(AuthRefusal refusal) {
    switch (refusal) {
        case AuthRefusal::rejected:
            return "AUTH_REJECTED";
        case AuthRefusal::malformed:
            return "AUTH_FAIL";
        case AuthRefusal::timed_out:
            return "HANDSHAKE_TIMEOUT";
        case AuthRefusal::aborted:
            return "SESSION_ABORTED";
    }
    return "AUTH_FAIL";
}

std::optional<std::string> parse_auth_line(std::string_view line) {
    if (line.size() > kMaxAuthLineBytes) {
        return std::nullopt;
    }
    const auto object = parse_object(line);
    if (!object || string_field(*object, "type") != "auth") {
        return std::nullopt;
    }
    std::string token = string_field(*object, "session_token");
    if (token.empty()) {
        return std::nullopt;
    }
    return token;
}

AuthDecision decide_auth(std::string_view line, std::string_view expected_token_sha256,
                         bool keys_ready) {
    auto token = parse_auth_line(line);
    if (!token) {
        return {false, AuthRefusal::malformed};
    }
    const bool matches =
        !expected_token_sha256.empty() && token_matches(*token, expected_token_sha256);
    wipe_string(*token);
    if (!matches) {
        return {false, AuthRefusal::rejected};
    }
    if (!keys_ready) {
        return {false, AuthRefusal::aborted};
    }
    return {true, AuthRefusal::rejected};
}

std::string make_session_ready_line(const SessionKeys& keys) {
    std::string video = util::base64_encode(keys.video);
    std::string audio = util::base64_encode(keys.audio);
    std::string input = util::base64_encode(keys.input);
    // Built by hand so that no copy of the keys stays behind in a JSON value.
    std::string line = R"({"audio_key":")" + audio + R"(","input_key":")" + input +
                       R"(","type":"session_ready","video_key":")" + video + "\"}\n";
    wipe_string(video);
    wipe_string(audio);
    wipe_string(input);
    return line;
}

std::string make_auth_failed_line(AuthRefusal refusal) {
    return std::string(R"({"code":")") + auth_refusal_code(refusal) + R"(","type":"auth_failed"})" +
           "\n";
}

LauncherLine parse_launcher_line(std::string_view line) {
    LauncherLine out;
    auto object = parse_object(line);
    if (!object) {
        return out;
    }
    out.type = string_field(*object, "type");
    out.message = std::move(*object);
    if (out.type == "ping") {
        out.kind = LauncherLineKind::ping;
    } else if (out.type == "end_session") {
        out.kind = LauncherLineKind::end_session;
    } else {
        out.kind = LauncherLineKind::unknown;
        for (const auto known : kKnownTypes) {
            if (out.type == known) {
                out.kind = LauncherLineKind::known;
            }
        }
    }
    return out;
}

}  // namespace vx
