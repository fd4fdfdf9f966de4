#pragma once

#include <string_view>

namespace vx::network {

// True when the text is an IPv4 or IPv6 address that is globally reachable: the launcher's
// relayed address must be one before the agent sends media there. Host names are false.
bool is_public_address(std::string_view text);

}  // namespace vx::network
