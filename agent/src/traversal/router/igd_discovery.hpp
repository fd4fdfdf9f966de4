#pragma once

// Finding the LAN's Internet gateway device: SSDP search, the description fetch, the WAN
// connection service, the LAN-only checks on every address the router names, and the router's
// WAN address from GetExternalIPAddress.

#include <string>

#include <asio/ip/tcp.hpp>

#include "traversal/router/igd_actions.hpp"
#include "traversal/router/port_mapper_options.hpp"
#include "traversal/router/router_scope.hpp"

namespace vx::network {

struct IgdInfo {
    bool found = false;
    std::string control_url;  // absolute
    std::string service_type;
    std::string lan_address;  // this PC's address towards the router: NewInternalClient
    std::string wan_address;  // from GetExternalIPAddress
    asio::ip::tcp::endpoint control_endpoint;  // the control URL's host as resolved and checked

    UpnpService service() const { return {control_url, service_type, control_endpoint}; }
};

// At most 2 answering gateways are tried, best-ranked first, within 4 s (IgdSearch says which
// and when); a gateway's failure moves on to the next, and the last failure is the error text
// when none succeeds.
IgdInfo discover_igd(const DirectPortMapperOptions& options, const RouterScope& scope,
                     std::string& error);

}  // namespace vx::network
