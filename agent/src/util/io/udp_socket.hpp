#pragma once

#include <asio/ip/udp.hpp>

namespace vx::util {

// Keeps ICMP port-unreachable reports from failing later receives on a UDP socket. Windows
// reports them on unconnected sockets unless told not to; unconnected Linux sockets never do, so
// here this only says whether the socket is open.
bool disable_udp_connreset(asio::ip::udp::socket& socket);

}  // namespace vx::util
