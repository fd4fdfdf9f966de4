#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "traversal/router/router_scope.hpp"
#include "traversal/router/ssdp.hpp"

namespace vx::network {

// Searches for Internet gateway devices for up to `wait_ms` (at least 200 ms), sending a burst of
// M-SEARCH datagrams (every target to every destination) every 500 ms. The answers, best first;
// an empty list comes with an error text.
std::vector<IgdCandidate> ssdp_discover(std::int64_t wait_ms, const RouterScope& scope,
                                        std::string& error);

}  // namespace vx::network
