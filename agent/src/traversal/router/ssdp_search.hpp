#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "traversal/router/router_scope.hpp"
#include "traversal/router/ssdp.hpp"

namespace vx::network {

// Tries one answering gateway with `budget_left_ms` of the description budget; true when it gave
// a usable control URL and WAN address, else false with its failure text in `error`.
using GatewayTry = std::function<bool(const IgdCandidate& candidate, std::int64_t budget_left_ms,
                                      std::string& error)>;

// Searches the LAN for Internet gateway devices for up to `wait_ms` (at least 200 ms), a burst
// of M-SEARCH datagrams (every target to every destination) every 500 ms, and tries the
// answering gateways as IgdSearch decides; answers that arrive during a try wait on the socket.
// True once a try succeeded; else false with the error text of IgdSearch.
bool search_igd(std::int64_t wait_ms, const RouterScope& scope, const GatewayTry& try_gateway,
                std::string& error);

}  // namespace vx::network
