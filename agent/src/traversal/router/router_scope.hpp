#pragma once

// Where the router protocols send. The defaults are the LAN's: SSDP multicast and broadcast,
// the default gateway's port 5351. Tests point them at a fake gateway on loopback instead, since
// a test may send to no other network.

#include <cstdint>
#include <string>
#include <vector>

#include <asio/ip/udp.hpp>

#include "traversal/router/address_text.hpp"

namespace vx::network {

struct RouterScope {
    std::vector<asio::ip::udp::endpoint> ssdp_destinations = {
        {asio::ip::make_address_v4("239.255.255.250"), 1900},
        {asio::ip::address_v4::broadcast(), 1900},
    };
    std::uint16_t gateway_port = kGatewayPort;
    std::string gateway;  // empty: the default route's next hop
    // A fake gateway on loopback stands for a LAN router. This PC's other addresses are never
    // taken for the router's.
    bool gateway_on_loopback = false;
};

}  // namespace vx::network
