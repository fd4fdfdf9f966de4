#pragma once

#include <string>

namespace vx::platform {

// The next hop of the IPv4 route this PC would take towards the public internet, as dotted
// text; empty when there is no such route or it needs no gateway. Nothing is sent.
std::string default_gateway();

}  // namespace vx::platform
