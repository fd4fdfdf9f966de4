#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "backend/messages/messages.hpp"
#include "util/base64.hpp"

namespace vx::network {

using nlohmann::json;

namespace {

const char* type_name(const json& value) {
    return value.type_name();
}

[[noreturn]] void wrong_type(const char* key, const char* expected, const json& value) {
    throw MessageFormatError(
        fmt::format("key '{}' must be {}, not {}", key, expected, type_name(value)));
}

std::int64_t integer_value(const char* key, const json& value) {
    if (value.is_boolean()) {
        return value.get<bool>() ? 1 : 0;
    }
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw MessageFormatError(fmt::format("key '{}' is out of range ({})", key, u));
        }
        return static_cast<std::int64_t>(u);
    }
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        // 2^63 is exactly representable; anything at or beyond it does not fit.
        constexpr double kLimit = 9223372036854775808.0;
        if (!std::isfinite(d) || d >= kLimit || d < -kLimit) {
            throw MessageFormatError(
                fmt::format("key '{}' is out of range ({})", key, value.get<double>()));
        }
        return static_cast<std::int64_t>(d);
    }
    wrong_type(key, "a number", value);
}

}  // namespace

std::string read_string(const json& object, const char* key, std::string fallback) {
    const auto it = object.find(key);
    if (it == object.end()) {
        return fallback;
    }
    if (!it->is_string()) {
        wrong_type(key, "a string", *it);
    }
    return it->get<std::string>();
}

std::int64_t read_integer(const json& object, const char* key, std::int64_t fallback) {
    const auto it = object.find(key);
    if (it == object.end()) {
        return fallback;
    }
    return integer_value(key, *it);
}

std::int64_t read_integer_in(const json& object, const char* key, std::int64_t fallback,
                             std::int64_t min, std::int64_t max) {
    const std::int64_t value = read_integer(object, key, fallback);
    if (value < min || value > max) {
        throw MessageFormatError(
            fmt::format("key '{}' is out of range ({} not in {}..{})", key, value, min, max));
    }
    return value;
}

std::optional<std::int64_t> read_port_number(const json& object, const char* key,
                                             std::int64_t fallback) {
    try {
        return read_integer(object, key, fallback);
    } catch (const MessageFormatError&) {
        if (!object.at(key).is_number()) {
            throw;
        }
        return std::nullopt;
    }
}

bool read_bool(const json& object, const char* key, bool fallback) {
    const auto it = object.find(key);
    if (it == object.end()) {
        return fallback;
    }
    if (!it->is_boolean()) {
        wrong_type(key, "a boolean", *it);
    }
    return it->get<bool>();
}

namespace {

constexpr std::int64_t kI32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kI32Max = std::numeric_limits<std::int32_t>::max();

void read_turn(const json& message, PrepareSessionRead& out) {
    const auto it = message.find("turn");
    if (it == message.end() || it->is_null()) {
        return;
    }
    if (it->is_object() || it->is_array()) {
        out.params.turn = dump_message(*it);
    } else if (it->is_string()) {
        out.params.turn = it->get<std::string>();
    } else {
        out.notes.emplace_back(
            "SaasConnector: prepare_session turn block is neither an object, an array nor a "
            "string — ignored");
    }
}

void read_encryption_key(const json& message, PrepareSessionRead& out) {
    const std::string text = read_string(message, "encryption_key", "");
    if (text.empty()) {
        return;
    }
    // The key derivation reads exactly 32 bytes; anything else must fail the handshake
    // instead of reading past a short key.
    auto key = util::base64_decode(text);
    if (!key || key->size() != 32) {
        out.notes.push_back(fmt::format(
            "SaasConnector: prepare_session encryption_key is not 32 bytes of base64 ({} "
            "characters) — key left empty, the launcher handshake will be refused",
            text.size()));
        return;
    }
    out.params.encryption_key = std::move(*key);
}

void read_constraints(const json& message, PrepareSessionParams& p) {
    const auto it = message.find("constraints");
    if (it == message.end() || !it->is_object()) {
        return;
    }
    p.codec = read_string(*it, "codec", p.codec);
    p.resolution = read_string(*it, "resolution", p.resolution);
    p.max_fps = static_cast<std::int32_t>(read_integer_in(*it, "max_fps", 60, kI32Min, kI32Max));
    p.bitrate_kbps =
        static_cast<std::int32_t>(read_integer_in(*it, "bitrate_kbps", 15000, kI32Min, kI32Max));
}

void read_isolation(const json& message, PrepareSessionParams& p) {
    const auto it = message.find("session_isolation");
    if (it == message.end() || !it->is_object()) {
        return;
    }
    p.hide_desktop = read_bool(*it, "hide_desktop", false);
    p.launch_steam = read_bool(*it, "launch_steam", false);
    p.steam_app_id = read_string(*it, "steam_app_id", "");
}

}  // namespace

PrepareSessionRead read_prepare_session(const json& message) {
    PrepareSessionRead out;
    PrepareSessionParams& p = out.params;
    p.session_id = read_string(message, "session_id", "");
    p.client_id = read_string(message, "client_id", "");
    // A negative limit or one beyond 32 bits must not turn into "no limit" (0) or a wrap.
    p.max_duration_sec =
        static_cast<std::int32_t>(read_integer_in(message, "max_duration_sec", 3600, 0, kI32Max));
    p.session_token_sha256 = read_string(message, "session_token_sha256", "");
    if (p.session_token_sha256.empty()) {
        out.notes.emplace_back(
            "SaasConnector: prepare_session has no session_token_sha256 — the launcher "
            "handshake will be refused (fail-closed)");
    }
    read_turn(message, out);
    read_encryption_key(message, out);
    read_constraints(message, p);
    read_isolation(message, p);
    return out;
}

namespace {

void read_control_credentials(const json& entry, RelayNode& node, std::int64_t now_100ns) {
    const auto it = entry.find("control");
    if (it == entry.end() || !it->is_object()) {
        return;
    }
    std::string username = read_string(*it, "username", "");
    std::string credential = read_string(*it, "credential", "");
    std::int64_t ttl = read_integer(*it, "ttl", 0);
    if (username.empty() || credential.empty() || ttl <= 0) {
        return;
    }
    ttl = std::min(ttl, RelayListRead::kMaxCredentialTtlSec);
    node.username = std::move(username);
    node.credential = std::move(credential);
    node.credential_expiry = now_100ns + ttl * 10'000'000;
}

// What was wrong with the entries of one list: a hostile list of a million empty entries must
// cost one log line, not one per entry.
struct SkippedEntries {
    std::size_t without_id_host = 0;
    std::size_t bad_port = 0;
    std::string first;  // the note for the first skipped entry

    // The note is made for the first skipped entry only.
    template <class MakeNote>
    void add(std::size_t& count, MakeNote make_note) {
        ++count;
        if (first.empty()) {
            first = make_note();
        }
    }
    std::optional<std::string> note() const {
        const std::size_t total = without_id_host + bad_port;
        if (total == 0) {
            return std::nullopt;
        }
        if (total == 1) {
            return first;
        }
        return fmt::format(
            "{} ({} invalid entries in this list: {} without id/host, {} with an invalid port)",
            first, total, without_id_host, bad_port);
    }
};

}  // namespace

RelayListRead read_relay_list(const json& message, std::int64_t now_100ns) {
    RelayListRead out;
    const auto relays = message.find("relays");
    if (relays == message.end() || !relays->is_array()) {
        return out;
    }
    out.has_array = true;
    SkippedEntries skipped;
    bool too_many = false;
    for (const json& entry : *relays) {
        if (out.nodes.size() >= RelayListRead::kMaxRelayNodes) {
            too_many = true;
            break;
        }
        if (!entry.is_object()) {
            continue;
        }
        RelayNode node;
        node.id = read_string(entry, "id", "");
        node.host = read_string(entry, "host", "");
        // A port beyond every integer skips this entry like 70000; the rest of the list stands.
        const std::optional<std::int64_t> port = read_port_number(entry, "port", 3478);
        if (node.id.empty() || node.host.empty()) {
            skipped.add(skipped.without_id_host, [] {
                return std::string("SaasConnector: relay_list entry without id/host — skipped");
            });
            continue;
        }
        if (!port || *port < 1 || *port > 65535) {
            skipped.add(skipped.bad_port, [&] {
                return fmt::format(
                    "SaasConnector: relay_list entry id={} has invalid port {} — skipped",
                    log_field(node.id), port ? std::to_string(*port) : entry["port"].dump());
            });
            continue;
        }
        node.port = static_cast<std::uint16_t>(*port);
        read_control_credentials(entry, node, now_100ns);
        out.nodes.push_back(std::move(node));
    }
    if (auto note = skipped.note()) {
        out.notes.push_back(std::move(*note));
    }
    if (too_many) {
        out.notes.push_back(
            fmt::format("SaasConnector: relay_list has more than {} node(s) — the rest are ignored",
                        RelayListRead::kMaxRelayNodes));
    }
    return out;
}

std::string relay_list_signature(const std::vector<RelayNode>& nodes) {
    std::string signature;
    for (const RelayNode& node : nodes) {
        signature += fmt::format("{}@{}:{};", node.id, node.host, node.port);
    }
    return signature;
}

}  // namespace vx::network
