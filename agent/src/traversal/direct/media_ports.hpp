#pragma once

// The session's three media ports on the router: mapped once per session, released when the
// router's address turns out not to be the one the backend sees, and at the session's end.

#include <array>
#include <cstdint>
#include <string_view>

#include "config/agent_config.hpp"
#include "traversal/direct/direct_path_result.hpp"
#include "traversal/router/port_mapper.hpp"

namespace vx::network {

enum class MediaKind : std::uint8_t { video, input, audio };

struct MediaPort {
    MediaKind kind;
    std::string_view name;  // "video", "input", "audio"
    std::uint32_t port;     // summed in 32 bits: above 65535 it is no UDP port
};

inline constexpr std::uint32_t kMaxUdpPort = 65535;

// Video P+4, input P+2 and audio P+5, in the order they are mapped, renewed and released.
std::array<MediaPort, 3> media_ports(std::uint16_t port_base);

// 600 s, or the session's max_duration_sec when that is set and shorter.
std::uint32_t media_lease_s(const AgentConfig& config);

// Maps the three media ports. A mapping the launcher cannot use (input on another external port,
// or on another external host than video) is released at once. Nothing happens without a mapper.
void map_media_ports(DirectPortMapper* mapper, const AgentConfig& config, DirectPathResult& result);

// Clears the three mapped flags and releases the ports that are UDP ports.
void release_media_ports(DirectPortMapper* mapper, std::uint16_t port_base,
                         DirectPathResult& result);

// Releases the session's media ports when the session ends, whatever happened in between; the
// ports wrap modulo 65536 and a port without a mapping is ignored by the mapper.
class PortMappingGuard {
  public:
    PortMappingGuard(DirectPortMapper* mapper, std::uint16_t port_base);
    ~PortMappingGuard();
    PortMappingGuard(const PortMappingGuard&) = delete;
    PortMappingGuard& operator=(const PortMappingGuard&) = delete;

  private:
    DirectPortMapper* mapper_;
    std::uint16_t port_base_;
};

}  // namespace vx::network
