#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <system_error>

#include <asio/ip/tcp.hpp>

#include "traversal/router/http/socket_fd.hpp"

namespace vx::network {

// One blocking lookup of a host name: the error, or the first endpoint (none when the name has
// no address).
using NameLookup = std::function<std::error_code(const std::string& host, std::uint16_t port,
                                                 std::optional<asio::ip::tcp::endpoint>& found)>;

// A numeric IPv6 or IPv4 host at once; a name through `lookup` (none: the system resolver, any
// address family), bounded by the deadline. The lookup runs on a thread of its own that is left
// behind at the deadline: a slow name server (a name a LAN device put in its answer) holds that
// thread until its own time-out, never the caller.
bool resolve_with_timeout(const std::string& host, std::uint16_t port, Deadline deadline,
                          asio::ip::tcp::endpoint& endpoint, std::string& error,
                          const NameLookup& lookup = {});

}  // namespace vx::network
