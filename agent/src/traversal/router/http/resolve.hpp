#pragma once

#include <cstdint>
#include <string>

#include <asio/ip/tcp.hpp>

#include "traversal/router/http/socket_fd.hpp"

namespace vx::network {

// A numeric IPv6 or IPv4 host at once; a name through the system resolver, bounded by the
// deadline. The system lookup itself cannot be interrupted: a slow name server can hold the
// call until its own time-out, but its answer is not used after the deadline.
bool resolve_with_timeout(const std::string& host, std::uint16_t port, Deadline deadline,
                          asio::ip::tcp::endpoint& endpoint, std::string& error);

}  // namespace vx::network
