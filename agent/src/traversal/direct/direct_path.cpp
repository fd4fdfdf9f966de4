#include "traversal/direct/direct_path.hpp"

#include <spdlog/spdlog.h>

#include "traversal/direct/media_ports.hpp"
#include "traversal/direct/stun_server.hpp"
#include "util/address.hpp"
#include "util/outside_text.hpp"
#include "util/session_ports.hpp"

namespace vx::network {
namespace {

constexpr const char* kCandidateKind = "srflx";

bool observed_published(const DirectPathContext& context) {
    return context.observed != nullptr && context.observed->published();
}

bool observed_matches(const DirectPathContext& context, const std::string& address) {
    return context.observed == nullptr || context.observed->matches_via(address);
}

std::string observed_text(const DirectPathContext& context) {
    return context.observed != nullptr ? context.observed->published_via() : std::string();
}

void send_candidate(const DirectPathContext& context, const std::string& ip, std::uint16_t port,
                    const std::optional<natwave::Profile>& profile) {
    context.send(context.session_id, ip, kCandidateKind, port, profile);
}

// A mapping that keeps its port towards every destination: the launcher needs no prediction.
natwave::Profile exact_profile(std::uint16_t port, natwave::Profile profile) {
    profile.kind = static_cast<std::uint8_t>(natwave::ProfileKind::eim);
    profile.min_port = port;
    profile.max_port = port;
    profile.base = port;
    profile.conf = 2;
    return profile;
}

// The backend sees this PC at another address than the router's WAN: an upstream NAT stands
// between, and no mapping on this router can make the media ports reachable.
void release_contradicted(const DirectPathContext& context, DirectPathResult& result,
                          std::string_view consequence) {
    result.wan_mismatch = true;
    spdlog::warn("Direct path: router WAN {} != backend observed {} - {}", result.video_ip,
                 observed_text(context), consequence);
    release_media_ports(context.mapper, context.config.port_base, result);
}

void publish_forced(const DirectPathContext& context, DirectPathResult& result,
                    std::string_view phase) {
    const std::uint32_t port = util::session_ports(context.config.port_base).video;
    if (port > kMaxUdpPort) {
        spdlog::error("TEST ONLY --force-direct: video port {} is out of range", port);
        return;
    }
    // Any class will do (a test tailnet hands out carrier-grade addresses), but the launcher
    // takes the text as the host it dials.
    if (!util::parse_ipv4(context.config.force_direct)) {
        spdlog::error("TEST ONLY --force-direct: '{}' is not an IPv4 address - nothing published",
                      util::quote_outside_text(context.config.force_direct));
        return;
    }
    result.attempted = true;
    result.video_mapped = true;
    result.video_ip = context.config.force_direct;
    result.video_port = static_cast<std::uint16_t>(port);
    result.via = kForcedVia;
    result.profile = exact_profile(result.video_port, result.profile);
    send_candidate(context, result.video_ip, result.video_port, result.profile);
    result.published = true;
    spdlog::warn(
        "Direct path ({}): TEST ONLY forced candidate {}:{} - UPnP/STUN skipped; use only on a "
        "trusted test tailnet",
        phase, result.video_ip, result.video_port);
}

void try_router(const DirectPathContext& context, DirectPathResult& result,
                std::string_view phase) {
    result.attempted = true;
    map_media_ports(context.mapper, context.config, result);
    if (!result.video_mapped) {
        spdlog::info("Direct path ({}): no router mapping for the video socket - using STUN",
                     phase);
        return;
    }
    if (!observed_published(context) || observed_matches(context, result.video_ip)) {
        result.profile = exact_profile(result.video_port, result.profile);
        send_candidate(context, result.video_ip, result.video_port, result.profile);
        result.published = true;
        result.via = result.video_method;
        spdlog::info("Direct path ({}): published srflx {}:{} via {} - STUN was not queried", phase,
                     result.video_ip, result.video_port, result.via);
        return;
    }
    release_contradicted(
        context, result,
        "upstream NAT/CGNAT; releasing router mappings and falling back to STUN srflx");
}

void try_stun(const DirectPathContext& context, DirectPathResult& result, std::string_view phase) {
    const StunServer server = parse_stun_server(context.config.stun);
    std::string address;
    std::uint16_t port = 0;
    if (context.video == nullptr || !context.video->binding(server, address, port)) {
        spdlog::warn("STUN: no public endpoint discovered ({})", phase);
        return;
    }
    // A server on the LAN, or one that answers oddly, names an endpoint no launcher can reach;
    // published, it would send the launcher's probes to a host of the launcher's own network.
    if (port == 0 || !util::is_public_ipv4(address)) {
        spdlog::warn(
            "STUN: the server named {}:{}, which is no public endpoint - nothing published ({})",
            address, port, phase);
        return;
    }
    spdlog::info("STUN: media endpoint is {}:{}", address, port);
    send_candidate(context, address, port, std::nullopt);
    context.video->arm_probe_listener();
    result.published = true;
    result.via = "stun";
    result.video_ip = address;
    result.video_port = port;

    natwave::Profile measured;
    if (!context.video->mapping_profile(address, port, profile_servers(server), measured) ||
        measured.kind == 0) {
        return;
    }
    result.profile = measured;
    send_candidate(context, address, port, result.profile);
    spdlog::info("STUN: Wave1 profile {} published for {}:{}",
                 natwave::profile_kind_name(measured.kind), address, port);
}

}  // namespace

void setup_direct_path(const DirectPathContext& context, DirectPathResult& result,
                       std::string_view phase) {
    if (!context.send || context.session_id.empty())
        return;
    // Every call sends the forced candidate again: a test may start its launcher late.
    if (!context.config.force_direct.empty()) {
        publish_forced(context, result, phase);
        return;
    }
    if (result.published) {
        spdlog::debug("Direct path ({}): candidate already published via {}", phase,
                      result.via.empty() ? "stun" : result.via);
        return;
    }
    if (!result.attempted && !result.wan_mismatch)
        try_router(context, result, phase);
    if (!result.published)
        try_stun(context, result, phase);
}

bool release_on_wan_mismatch(const DirectPathContext& context, DirectPathResult& result) {
    // Only a router mapping names the router's address; a forced or STUN candidate does not.
    if (context.mapper == nullptr || result.wan_mismatch || !result.video_mapped ||
        result.video_method.empty()) {
        return false;
    }
    if (!observed_published(context) || observed_matches(context, result.video_ip))
        return false;
    release_contradicted(context, result,
                         "suppressing the router address and releasing the mappings (the relay "
                         "carries this session)");
    return true;
}

RouterWan discover_router_wan(DirectPortMapper& mapper) {
    RouterWan wan;
    if (!mapper.discover(wan.address, wan.error)) {
        spdlog::warn("Direct path: no automatic port mapping available: {}", wan.error);
        wan.address.clear();
        return wan;
    }
    spdlog::info("Direct path: router WAN address is {} (via {})", wan.address,
                 mapper.discovery_method());
    return wan;
}

}  // namespace vx::network
