#pragma once

// Adding and deleting one UPnP mapping, with the gateway's two answers that call for a second
// try: only permanent leases (725) and a conflicting entry (718).

#include <cstdint>
#include <string>

#include "traversal/router/port_mapper_steps.hpp"

namespace vx::network {

struct UpnpMappingRequest {
    const UpnpService& service;
    const std::string& lan_address;  // this PC's: NewInternalClient
    std::uint16_t internal_port = 0;
    std::uint16_t external_port = 0;
    std::uint32_t lease_s = 0;
    std::int64_t timeout_ms = 0;
};

// True when the mapping stands; `granted_lease_s` is the lease it stands with (0 = permanent).
// After a conflict the router's entry is looked at first: it is deleted and added again only
// when it already forwards to this PC, so another host's forwarding is never removed.
bool upnp_add_port_mapping(PortMapperSteps& steps, const UpnpMappingRequest& request,
                           std::uint32_t& granted_lease_s, std::string& error);

// Deletes this PC's mapping of the external port. An entry the router no longer has (714), or
// one that now forwards to another host (`lan_address` is this PC's), counts as deleted and is
// left alone.
bool upnp_delete_port_mapping(PortMapperSteps& steps, const UpnpService& service,
                              std::uint16_t external_port, const std::string& lan_address,
                              std::int64_t timeout_ms, std::string& error);

}  // namespace vx::network
