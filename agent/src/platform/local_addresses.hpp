#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace vx::platform {

// The IPv4 addresses (network byte order) of this PC's own interfaces, loopback included; empty
// when the system cannot list them.
std::vector<std::array<std::uint8_t, 4>> local_ipv4_addresses();

}  // namespace vx::platform
