#pragma once

#include <cstdint>

namespace vx::util {

// The ports a port base fixes. They are summed in 32 bits: from a base above kMaxPortBase some
// lie past 65535 and are no ports at all, which callers that take a base from elsewhere than the
// command line check for.
struct SessionPorts {
    std::uint32_t input;    // UDP: the launcher's input datagrams
    std::uint32_t control;  // TCP: the launcher's control connection
    std::uint32_t video;    // UDP
    std::uint32_t audio;    // UDP, the highest
};

// The highest base whose ports all fit: the command line refuses a larger one.
inline constexpr std::uint16_t kMaxPortBase = 65535 - 5;

// Not the ports "session_ready" reports (base, base+1, base+2): that is the backend's own
// numbering of the video, audio and input ports.
constexpr SessionPorts session_ports(std::uint16_t port_base) {
    const std::uint32_t base = port_base;
    return {.input = base + 2, .control = base + 3, .video = base + 4, .audio = base + 5};
}

static_assert(session_ports(kMaxPortBase).audio == 65535);

}  // namespace vx::util
