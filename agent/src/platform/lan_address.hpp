#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vx::platform {

// This PC's own IPv4 address on the route towards `address` (network byte order) and `port`,
// learnt by connecting a UDP socket and reading its local name; nothing is sent. None when
// there is no route or the call fails.
std::optional<std::string> lan_address_towards(const std::array<std::uint8_t, 4>& address,
                                               std::uint16_t port);

}  // namespace vx::platform
