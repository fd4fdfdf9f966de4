#pragma once

// The UPnP IGD actions the port mapper sends to the gateway's WAN connection service.

#include <cstdint>
#include <string>
#include <string_view>

#include <asio/ip/tcp.hpp>

#include "traversal/router/http/soap.hpp"

namespace vx::network {

// Where SOAP actions go: the control URL (for the Host header and the path), its service type,
// and the address its host had when discovery checked it; requests connect there and nowhere
// else, so a second name lookup cannot send them to another host.
struct UpnpService {
    std::string control_url;
    std::string service_type;
    asio::ip::tcp::endpoint endpoint;
};

// One action. A failed exchange leaves the result empty with the HTTP client's text in `error`;
// an answer that is not a success gives its `describe_upnp_error` text there.
SoapResult soap_call(const UpnpService& service, std::string_view action,
                     std::string_view arguments, std::int64_t timeout_ms, std::string& error);

SoapResult upnp_get_external_ip_address(const UpnpService& service, std::int64_t timeout_ms,
                                        std::string& error);
SoapResult upnp_add_port_mapping_action(const UpnpService& service, std::uint16_t external_port,
                                        std::uint16_t internal_port, std::string_view lan_address,
                                        std::uint32_t lease_s, std::int64_t timeout_ms,
                                        std::string& error);
SoapResult upnp_delete_port_mapping_action(const UpnpService& service, std::uint16_t external_port,
                                           std::int64_t timeout_ms, std::string& error);
// The entry the router holds for a UDP external port; NewInternalClient tells whose it is.
SoapResult upnp_get_specific_port_mapping_entry(const UpnpService& service,
                                                std::uint16_t external_port,
                                                std::int64_t timeout_ms, std::string& error);

}  // namespace vx::network
