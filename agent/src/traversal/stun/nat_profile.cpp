#include "traversal/stun/nat_profile.hpp"

#include <cstdlib>

#include <spdlog/spdlog.h>
#include <asio/ip/udp.hpp>

#include "util/error_text.hpp"

namespace vx::network {

namespace {

constexpr int kSeqMaxDelta = 32;
constexpr int kPbaMaxDelta = 2048;

std::uint8_t kind(natwave::ProfileKind k) {
    return static_cast<std::uint8_t>(k);
}

struct Sample {
    std::string address;
    std::uint16_t port = 0;
    std::size_t index = 0;
};

bool ask_from(asio::io_context& io, asio::ip::udp::socket& socket,
              const std::vector<StunServer>& servers, std::size_t first, int timeout_ms,
              Sample& sample) {
    for (std::size_t i = first; i < servers.size(); ++i) {
        std::string address;
        std::uint16_t port = 0;
        if (stun_binding_request(io, socket, servers[i].host, servers[i].port, address, port,
                                 timeout_ms)) {
            sample = {address, port, i};
            return true;
        }
    }
    return false;
}

}  // namespace

// Deployment placeholders: a build for a real deployment sets its public servers here.
std::vector<StunServer> default_secondary_stun_servers() {
    return {{"stun1.velmora.example", 3478},
            {"stun2.velmora.example", 19302},
            {"stun3.velmora.example", 19302}};
}

std::vector<StunServer> parse_stun_server_list(const std::string& text) {
    std::vector<StunServer> servers;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        const std::string entry =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::size_t colon = entry.rfind(':');
        if (colon != std::string::npos && colon > 0) {
            const std::string port_text = entry.substr(colon + 1);
            char* end = nullptr;
            const long port = std::strtol(port_text.c_str(), &end, 10);
            if (!port_text.empty() && *end == '\0' && port >= 1 && port <= 65535) {
                servers.push_back({entry.substr(0, colon), static_cast<std::uint16_t>(port)});
            }
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return servers;
}

std::vector<StunServer> secondary_stun_servers() {
    const char* value = std::getenv(kSecondaryStunEnv);
    if (value != nullptr && *value != '\0') {
        auto servers = parse_stun_server_list(value);
        if (!servers.empty()) {
            return servers;
        }
        spdlog::warn("STUN: {} holds no host:port entry - using the built-in servers",
                     kSecondaryStunEnv);
    }
    return default_secondary_stun_servers();
}

std::vector<StunServer> without_primary(std::vector<StunServer> servers,
                                        const std::string& primary_host,
                                        std::uint16_t primary_port) {
    std::erase_if(servers, [&](const StunServer& s) {
        return s.host == primary_host && s.port == primary_port;
    });
    return servers;
}

MappingClass classify_mapping(const std::string& ip1, std::uint16_t port1, const std::string& ip2,
                              std::uint16_t port2) {
    if (port1 == 0 || port2 == 0 || ip1.empty() || ip2.empty() || ip1 != ip2) {
        return {kind(natwave::ProfileKind::unknown), 1};
    }
    if (port1 == port2) {
        return {kind(natwave::ProfileKind::eim), 1};
    }
    const int distance = std::abs(static_cast<int>(port2) - static_cast<int>(port1));
    if (distance <= kSeqMaxDelta) {
        return {kind(natwave::ProfileKind::pdm_seq), static_cast<std::uint8_t>(distance)};
    }
    if (distance <= kPbaMaxDelta) {
        return {kind(natwave::ProfileKind::pdm_pba), 1};
    }
    return {kind(natwave::ProfileKind::pdm_rand), 1};
}

bool probe_mapping_profile(asio::io_context& io, const std::string& primary_address,
                           std::uint16_t primary_port, const std::vector<StunServer>& secondaries,
                           natwave::Profile& profile, int timeout_ms) {
    profile = natwave::Profile{0, 1, 0, 0, 0, 0};
    if (primary_port == 0 || primary_address.empty()) {
        return false;
    }
    profile.base = profile.min_port = profile.max_port = primary_port;
    profile.conf = 1;
    if (secondaries.size() < 2) {
        spdlog::warn("STUN: fewer than two secondary providers - exact-only");
        return true;
    }
    asio::ip::udp::socket socket(io);
    std::error_code ec;
    socket.open(asio::ip::udp::v4(), ec);
    if (!ec) {
        socket.bind(asio::ip::udp::endpoint(asio::ip::address_v4::any(), 0), ec);
    }
    if (ec) {
        spdlog::warn("STUN: temporary profile socket bind failed: {}", util::describe_error(ec));
        return true;
    }
    Sample first;
    Sample second;
    if (!ask_from(io, socket, secondaries, 0, timeout_ms, first)) {
        spdlog::warn("STUN: no secondary mapping sample - exact-only");
        return true;
    }
    if (!ask_from(io, socket, secondaries, first.index + 1, timeout_ms, second)) {
        spdlog::warn("STUN: no second secondary mapping sample - exact-only");
        return true;
    }
    const MappingClass mapping =
        classify_mapping(first.address, first.port, second.address, second.port);
    profile.kind = mapping.kind;
    profile.delta = mapping.delta;
    profile.conf = 2;
    spdlog::info("STUN: Wave1 profile {} (base {} delta={})",
                 natwave::profile_kind_name(profile.kind), profile.base, profile.delta);
    return true;
}

}  // namespace vx::network
