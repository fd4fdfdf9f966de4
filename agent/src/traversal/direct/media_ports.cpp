#include "traversal/direct/media_ports.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>

#include "util/session_ports.hpp"

namespace vx::network {
namespace {

constexpr std::uint32_t kMediaLeaseS = 600;

struct Slot {
    bool& mapped;
    std::string& ip;
    std::uint16_t& port;
};

Slot slot_of(DirectPathResult& result, MediaKind kind) {
    switch (kind) {
        case MediaKind::video:
            return {result.video_mapped, result.video_ip, result.video_port};
        case MediaKind::input:
            return {result.input_mapped, result.input_ip, result.input_port};
        case MediaKind::audio:
            break;
    }
    return {result.audio_mapped, result.audio_ip, result.audio_port};
}

const char* yes_no(bool value) {
    return value ? "yes" : "no";
}

void map_one(DirectPortMapper& mapper, const MediaPort& media, std::uint32_t lease_s,
             DirectPathResult& result) {
    const auto port = static_cast<std::uint16_t>(media.port);
    std::uint16_t external_port = 0;
    std::string external_ip;
    std::string method;
    if (!mapper.map_port(port, external_port, external_ip, lease_s, method)) {
        spdlog::warn("Direct path: {} UDP {} not mapped: {}", media.name, port,
                     mapper.last_error());
        return;
    }
    if (media.kind == MediaKind::input && external_port != port) {
        spdlog::warn(
            "Direct path: input UDP {} was mapped to external {} - the launcher always dials the "
            "internal port, so input stays on the relay/TURN path",
            port, external_port);
        mapper.release(port);
        return;
    }
    const Slot slot = slot_of(result, media.kind);
    slot.mapped = true;
    slot.ip = external_ip;
    slot.port = external_port;
    if (media.kind == MediaKind::video)
        result.video_method = method;
    spdlog::info("Direct path: {} UDP {} -> {}:{} via {}", media.name, port, external_ip,
                 external_port, method);
}

}  // namespace

std::array<MediaPort, 3> media_ports(std::uint16_t port_base) {
    const util::SessionPorts ports = util::session_ports(port_base);
    return {{{MediaKind::video, "video", ports.video},
             {MediaKind::input, "input", ports.input},
             {MediaKind::audio, "audio", ports.audio}}};
}

std::uint32_t media_lease_s(const AgentConfig& config) {
    if (config.max_duration_sec == 0)
        return kMediaLeaseS;
    return std::min(kMediaLeaseS, config.max_duration_sec);
}

void map_media_ports(DirectPortMapper* mapper, const AgentConfig& config,
                     DirectPathResult& result) {
    if (mapper == nullptr)
        return;
    const std::uint32_t lease_s = media_lease_s(config);
    for (const MediaPort& media : media_ports(config.port_base)) {
        if (media.port > kMaxUdpPort) {
            spdlog::warn("Direct path: {} port {} is outside the UDP range - not mapped",
                         media.name, media.port);
            continue;
        }
        map_one(*mapper, media, lease_s, result);
    }
    // The launcher learns one host for the session, the video candidate's.
    if (result.input_mapped && result.video_mapped && result.input_ip != result.video_ip) {
        spdlog::warn(
            "Direct path: input mapped to {} but video to {} - the launcher only learns one host; "
            "releasing the input mapping and keeping input on the relay",
            result.input_ip, result.video_ip);
        mapper->release(static_cast<std::uint16_t>(util::session_ports(config.port_base).input));
        result.input_mapped = false;
    }
    spdlog::info("Direct path: mapped video={} input={} audio={}", yes_no(result.video_mapped),
                 yes_no(result.input_mapped), yes_no(result.audio_mapped));
}

void release_media_ports(DirectPortMapper* mapper, std::uint16_t port_base,
                         DirectPathResult& result) {
    result.video_mapped = false;
    result.input_mapped = false;
    result.audio_mapped = false;
    if (mapper == nullptr)
        return;
    for (const MediaPort& media : media_ports(port_base)) {
        if (media.port <= kMaxUdpPort)
            mapper->release(static_cast<std::uint16_t>(media.port));
    }
}

PortMappingGuard::PortMappingGuard(DirectPortMapper* mapper, std::uint16_t port_base)
    : mapper_(mapper), port_base_(port_base) {}

PortMappingGuard::~PortMappingGuard() {
    DirectPathResult released;
    release_media_ports(mapper_, port_base_, released);
}

}  // namespace vx::network
