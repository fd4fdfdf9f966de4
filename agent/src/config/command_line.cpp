#include "config/command_line.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <functional>
#include <limits>

#include "util/outside_text.hpp"
#include "util/session_ports.hpp"

namespace vx {
namespace {

constexpr std::int64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::int64_t kI32Max = std::numeric_limits<std::int32_t>::max();
// A larger base would wrap its highest port around to an unrelated low one.
using util::kMaxPortBase;

// Whole decimal number in [min, max]: optional '-' only when min is negative, then digits only.
// Returns the error text, empty on success.
std::string parse_whole(std::string_view option, std::string_view text, std::int64_t min,
                        std::int64_t max, std::int64_t& out) {
    const auto not_a_number = [&] {
        return fmt::format("{}: '{}' is not a whole number", option,
                           util::quote_outside_text(text));
    };
    bool negative = false;
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '-' && min < 0) {
        negative = true;
        digits.remove_prefix(1);
    }
    if (digits.empty()) {
        return not_a_number();
    }
    std::int64_t value = 0;
    constexpr std::int64_t kCap = std::int64_t{1} << 40;  // far above every field's range
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return not_a_number();
        }
        value = value < kCap ? value * 10 + (c - '0') : kCap;
    }
    value = negative ? -value : value;
    if (value < min || value > max) {
        return fmt::format("{}: {} is out of range ({} to {})", option,
                           util::quote_outside_text(text), min, max);
    }
    out = value;
    return {};
}

template <typename T>
std::string set_number(std::string_view option, std::string_view text, std::int64_t min,
                       std::int64_t max, T& field) {
    std::int64_t value = 0;
    std::string error = parse_whole(option, text, min, max, value);
    if (error.empty()) {
        field = static_cast<T>(value);
    }
    return error;
}

// "--control-udp HOST:PORT"; the port follows the last colon.
std::string set_control_udp(AgentConfig& c, std::string_view option, std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        return fmt::format("{}: '{}' is not HOST:PORT", option, util::quote_outside_text(text));
    }
    std::uint16_t port = 0;
    std::string error = set_number(option, text.substr(colon + 1), 1, 65535, port);
    if (error.empty()) {
        c.control_udp_host = std::string(text.substr(0, colon));
        c.control_udp_port = port;
    }
    return error;
}

using Setter =
    std::function<std::string(AgentConfig&, std::string_view option, std::string_view value)>;

struct OptionSpec {
    std::string_view name;
    bool takes_value;
    Setter set;
};

Setter text(std::string AgentConfig::*field) {
    return [field](AgentConfig& c, std::string_view, std::string_view v) {
        c.*field = std::string(v);
        return std::string();
    };
}

Setter flag(bool AgentConfig::*field) {
    return [field](AgentConfig& c, std::string_view, std::string_view) {
        c.*field = true;
        return std::string();
    };
}

template <typename T>
Setter number(T AgentConfig::*field, std::int64_t min, std::int64_t max) {
    return [field, min, max](AgentConfig& c, std::string_view option, std::string_view v) {
        return set_number(option, v, min, max, c.*field);
    };
}

Setter port(std::uint16_t AgentConfig::*field) {
    return number(field, 1, 65535);
}

Setter u32(std::uint32_t AgentConfig::*field) {
    return number(field, 0, kU32Max);
}

Setter audio_parity(bool on) {
    return [on](AgentConfig& c, std::string_view, std::string_view) {
        c.audio_parity = on;
        c.audio_parity_given = true;
        return std::string();
    };
}

// Answered before the command line is read in full; accepted here so they are not "unknown".
Setter answered_early() {
    return [](AgentConfig&, std::string_view, std::string_view) { return std::string(); };
}

const std::vector<OptionSpec>& options() {
    static const std::vector<OptionSpec> table{
        {"--port-base", true, number(&AgentConfig::port_base, 1, kMaxPortBase)},
        {"--port", true, number(&AgentConfig::port_base, 1, kMaxPortBase)},
        {"--width", true, number(&AgentConfig::width, 1, kU32Max)},
        {"--height", true, number(&AgentConfig::height, 1, kU32Max)},
        {"--fps", true, u32(&AgentConfig::fps)},
        {"--bitrate", true, u32(&AgentConfig::bitrate)},
        {"--codec", true, text(&AgentConfig::codec)},
        {"--saas-host", true, text(&AgentConfig::saas_host)},
        {"--saas-port", true, port(&AgentConfig::saas_port)},
        {"--control-udp", true, set_control_udp},
        {"--stun", true, text(&AgentConfig::stun)},
        {"--server-id", true, text(&AgentConfig::server_id)},
        {"--agent-token", true, text(&AgentConfig::agent_token)},
        {"--public-ip", true, text(&AgentConfig::public_ip)},
        {"--force-direct", true, text(&AgentConfig::force_direct)},
        {"--check-direct", false, flag(&AgentConfig::check_direct)},
        {"--audio-parity", false, audio_parity(true)},
        {"--no-audio-parity", false, audio_parity(false)},
        {"--adapter", true, number(&AgentConfig::adapter, -1, kI32Max)},
        {"--adapter-vendor", true, text(&AgentConfig::adapter_vendor)},
        {"--turn-url", true, text(&AgentConfig::turn_url)},
        {"--turn-user", true, text(&AgentConfig::turn_user)},
        {"--turn-pass", true, text(&AgentConfig::turn_pass)},
        {"--client-idle-timeout", true, u32(&AgentConfig::client_idle_timeout_sec)},
        {"--hide-desktop", false, flag(&AgentConfig::hide_desktop)},
        {"--launch-steam", false, flag(&AgentConfig::launch_steam)},
        {"--steam-app-id", true, text(&AgentConfig::steam_app_id)},
        {"--steam-path", true, text(&AgentConfig::steam_path)},
        {"--verbose", false, flag(&AgentConfig::verbose)},
        {"--version", false, answered_early()},
        {"-v", false, answered_early()},
        {"--help", false, answered_early()},
        {"-h", false, answered_early()},
    };
    return table;
}

const OptionSpec* find_option(std::string_view name) {
    for (const auto& spec : options()) {
        if (spec.name == name) {
            return &spec;
        }
    }
    return nullptr;
}

}  // namespace

CommandLineResult parse_command_line(const std::vector<std::string>& args) {
    CommandLineResult result;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const OptionSpec* spec = find_option(args[i]);
        if (spec == nullptr) {
            result.error = fmt::format("unknown option '{}'", util::quote_outside_text(args[i]));
            return result;
        }
        std::string_view value;
        if (spec->takes_value) {
            if (i + 1 >= args.size()) {
                result.error = fmt::format("{} needs a value", spec->name);
                return result;
            }
            value = args[++i];
        }
        result.error = spec->set(result.config, spec->name, value);
        if (!result.ok()) {
            return result;
        }
    }
    return result;
}

EarlyAction find_early_action(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--version" || arg == "-v") {
            return EarlyAction::version;
        }
        if (arg == "--help" || arg == "-h") {
            return EarlyAction::help;
        }
        const OptionSpec* spec = find_option(arg);
        if (spec != nullptr && spec->takes_value) {
            ++i;
        }
    }
    return EarlyAction::none;
}

}  // namespace vx
