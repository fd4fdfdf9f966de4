#pragma once

// Addresses in the router protocols' texts: rendering packet bytes, naming address classes, and
// the agent's own LAN address towards the router.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/ip/udp.hpp>

#include "platform/lan_address.hpp"
#include "platform/local_addresses.hpp"
#include "traversal/router/http/socket_fd.hpp"
#include "util/address.hpp"

namespace vx::network {

inline constexpr std::uint16_t kGatewayPort = 5351;  // NAT-PMP and PCP (RFC 6886, RFC 6887)

using util::format_ipv4;

// "public", "private", "cgnat", "loopback", "link-local", "multicast", "reserved", else "invalid".
std::string_view address_class_name(util::AddressClass cls);

// How the LAN checks learn this PC's own IPv4 addresses: the addresses of its interfaces, and
// the source address of the route towards an address (an address of this PC is its own source;
// nothing is sent to learn it). The system's unless a test gives others.
struct ThisPcAddresses {
    std::function<std::vector<std::array<std::uint8_t, 4>>()> interfaces =
        platform::local_ipv4_addresses;
    std::function<std::optional<std::string>(const std::array<std::uint8_t, 4>&, std::uint16_t)>
        route_source = platform::lan_address_towards;
};

// May the router send the agent to this address (a description or control URL)? Private,
// link-local and carrier-grade addresses are on the LAN side of some router; loopback,
// 0.0.0.0/8, multicast, reserved, public and IPv6 ones are not, and neither is any address of
// this PC itself: a LAN device must not make the agent POST to the PC's own services or to the
// internet. `gateway_on_loopback` lets a test's fake gateway on loopback stand for the router.
bool is_router_lan_address(const asio::ip::address& address, bool gateway_on_loopback,
                           const ThisPcAddresses& this_pc);

// This PC's IPv4 address towards an IPv4 endpoint; none for IPv6 or on failure.
std::optional<std::string> lan_address_towards(const asio::ip::udp::endpoint& endpoint);

// The same towards a host text (resolved with the deadline, port 5351).
std::optional<std::string> lan_address_towards_host(const std::string& host, Deadline deadline);

}  // namespace vx::network
