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

// What became of this PC's mapping of an external port.
struct UpnpDeletion {
    bool released = false;   // deleted, gone already (714), or no longer this PC's to delete
    std::string other_host;  // not empty: the port forwards there now and was left alone
};

// Deletes this PC's mapping of the external port (`lan_address` is this PC's). An entry the
// router no longer has, or one that now forwards to another host, counts as released; the
// other host's entry is left alone.
UpnpDeletion upnp_delete_port_mapping(PortMapperSteps& steps, const UpnpService& service,
                                      std::uint16_t external_port, const std::string& lan_address,
                                      std::int64_t timeout_ms, std::string& error);

}  // namespace vx::network
