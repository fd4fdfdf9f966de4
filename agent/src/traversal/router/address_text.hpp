#pragma once

// Addresses in the router protocols' texts: rendering packet bytes, naming address classes, and
// the agent's own LAN address towards the router.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <asio/ip/udp.hpp>

#include "traversal/router/http/socket_fd.hpp"
#include "util/address.hpp"

namespace vx::network {

inline constexpr std::uint16_t kGatewayPort = 5351;  // NAT-PMP and PCP (RFC 6886, RFC 6887)

using util::format_ipv4;

// "public", "private", "cgnat", "loopback", "link-local", "multicast", "reserved", else "invalid".
std::string_view address_class_name(util::AddressClass cls);

// May the router send the agent to this address (a description or control URL)? Private,
// link-local and carrier-grade addresses are on the LAN side of some router; loopback,
// 0.0.0.0/8, multicast, reserved, public and IPv6 ones are not, and neither is any address of
// this PC itself: a LAN device must not make the agent POST to the PC's own services or to the
// internet. `gateway_on_this_pc` lets a test's fake gateway on this PC stand for the router.
bool is_router_lan_address(const asio::ip::address& address, bool gateway_on_this_pc);

// This PC's IPv4 address towards an IPv4 endpoint; none for IPv6 or on failure.
std::optional<std::string> lan_address_towards(const asio::ip::udp::endpoint& endpoint);

// The same towards a host text (resolved with the deadline, port 5351).
std::optional<std::string> lan_address_towards_host(const std::string& host, Deadline deadline);

}  // namespace vx::network
