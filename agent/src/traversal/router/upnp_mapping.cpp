#include "traversal/router/upnp_mapping.hpp"

#include <spdlog/spdlog.h>

namespace vx::network {
namespace {

SoapResult add(PortMapperSteps& steps, const UpnpMappingRequest& request, std::uint32_t lease_s,
               std::string& error) {
    return steps.add_port_mapping(request.service, request.external_port, request.internal_port,
                                  request.lan_address, lease_s, request.timeout_ms, error);
}

void leave_alone(std::uint16_t external_port, const std::string& client) {
    spdlog::info(
        "DirectPortMapper: external UDP {} is held by another host ({}) - leaving its "
        "forwarding alone",
        external_port, client.empty() ? "unknown" : client);
}

// Whether the router's entry for the external port forwards to this PC. A router that cannot
// say is taken to hold another host's entry: deleting it might cut that host off.
bool entry_is_ours(PortMapperSteps& steps, const UpnpMappingRequest& request) {
    std::string ignored;
    const SoapResult entry = steps.get_specific_port_mapping_entry(
        request.service, request.external_port, request.timeout_ms, ignored);
    const bool ours = entry.ok && entry.internal_client == request.lan_address;
    if (!ours)
        leave_alone(request.external_port, entry.internal_client);
    return ours;
}

}  // namespace

bool upnp_add_port_mapping(PortMapperSteps& steps, const UpnpMappingRequest& request,
                           std::uint32_t& granted_lease_s, std::string& error) {
    const SoapResult first = add(steps, request, request.lease_s, error);
    if (first.ok) {
        granted_lease_s = request.lease_s;
        return true;
    }
    std::string retry_error;
    if (first.error_code == kUpnpOnlyPermanent) {
        spdlog::info(
            "DirectPortMapper: router only supports permanent UPnP leases for UDP {}; relying on "
            "DeletePortMapping at session end",
            request.external_port);
        if (add(steps, request, 0, retry_error).ok) {
            granted_lease_s = 0;
            return true;
        }
        error = "UPnP permanent lease: " + retry_error;
        return false;
    }
    if (first.error_code == kUpnpConflict && entry_is_ours(steps, request)) {
        std::string ignored;
        steps.delete_port_mapping(request.service, request.external_port, request.timeout_ms,
                                  ignored);
        if (add(steps, request, request.lease_s, retry_error).ok) {
            granted_lease_s = request.lease_s;
            return true;
        }
        error = "UPnP conflict then retry: " + retry_error;
    }
    return false;
}

UpnpDeletion upnp_delete_port_mapping(PortMapperSteps& steps, const UpnpService& service,
                                      std::uint16_t external_port, const std::string& lan_address,
                                      std::int64_t timeout_ms, std::string& error) {
    // The lease may have lapsed meanwhile (a renewal that never got through, a PC that slept)
    // and the router given the port to another host: that host's forwarding is not ours to
    // delete. A router that does not answer at all would not take the delete either.
    const SoapResult entry =
        steps.get_specific_port_mapping_entry(service, external_port, timeout_ms, error);
    if (entry.http_status == 0)
        return {};
    if (entry.ok && !entry.internal_client.empty() && entry.internal_client != lan_address) {
        error.clear();
        return {true, entry.internal_client};
    }
    if (entry.error_code == kUpnpNoSuchEntry) {
        error.clear();
        return {true, {}};
    }
    const SoapResult result = steps.delete_port_mapping(service, external_port, timeout_ms, error);
    if (result.ok || result.error_code == kUpnpNoSuchEntry) {
        error.clear();
        return {true, {}};
    }
    return {};
}

}  // namespace vx::network
