#pragma once

#include <string>
#include <vector>

#include "traversal/stun/stun_binding.hpp"

namespace vx::network {

inline constexpr std::uint16_t kDefaultStunPort = 3478;

// The STUN server a session asks when "--stun" is not given: a deployment value, like the
// secondary servers of the NAT profile.
StunServer default_stun_server();

// "--stun": empty gives the default server; "host" gives port 3478; "host:port" takes the port
// the way std::stoi reads it (leading blanks and a sign allowed, anything after the digits
// ignored), keeping 3478 with a log line when it has no digits or lies outside 1..65535.
StunServer parse_stun_server(const std::string& text);

// The NAT profile's secondary servers without the session's primary server.
std::vector<StunServer> profile_servers(const StunServer& primary);

}  // namespace vx::network
