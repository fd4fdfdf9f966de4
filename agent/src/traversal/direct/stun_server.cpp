#include "traversal/direct/stun_server.hpp"

#include <spdlog/spdlog.h>

#include <cctype>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "traversal/stun/nat_profile.hpp"
#include "util/outside_text.hpp"

namespace vx::network {
namespace {

// std::stoi's reading without its exceptions: blanks, an optional sign, at least one digit, and
// nothing when there is no digit or the value leaves the 32-bit range.
std::optional<std::int64_t> leading_int32(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    std::int64_t value = 0;
    const std::size_t first_digit = at;
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > kLimit)
            return std::nullopt;
    }
    if (at == first_digit)
        return std::nullopt;
    value = negative ? -value : value;
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return value;
}

}  // namespace

// Deployment placeholder (a documentation address): a build for a real deployment sets its
// public STUN server here, as it does for the secondary servers.
StunServer default_stun_server() {
    return {"203.0.113.10", kDefaultStunPort};
}

StunServer parse_stun_server(const std::string& text) {
    StunServer server = default_stun_server();
    if (text.empty())
        return server;
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
        server.host = text;
        return server;
    }
    server.host = text.substr(0, colon);
    const auto port = leading_int32(std::string_view(text).substr(colon + 1));
    if (!port) {
        spdlog::warn("--stun has a non-numeric port in '{}' - using {}",
                     util::quote_outside_text(text), kDefaultStunPort);
    } else if (*port < 1 || *port > 65535) {
        spdlog::warn("--stun port {} out of range - using {}", *port, kDefaultStunPort);
    } else {
        server.port = static_cast<std::uint16_t>(*port);
    }
    return server;
}

std::vector<StunServer> profile_servers(const StunServer& primary) {
    return without_primary(secondary_stun_servers(), primary.host, primary.port);
}

}  // namespace vx::network
