// Renewal and deletion of one row by its own method.
#include <spdlog/spdlog.h>

#include "traversal/router/port_mapper.hpp"
#include "traversal/router/upnp_mapping.hpp"

namespace vx::network {
namespace {

UpnpService service_of(const PortMapping& row) {
    return {row.control_url, row.service_type, row.control_endpoint};
}

}  // namespace

std::string DirectPortMapper::pcp_client(const PortMapping& row) {
    if (!row.internal_client.empty())
        return row.internal_client;
    return steps_->lan_address_towards_host(row.gateway, options_.request_timeout_ms)
        .value_or(std::string());
}

bool DirectPortMapper::renew_upnp(PortMapping& row, std::uint32_t lease_s) {
    std::uint32_t granted = 0;
    std::string error;
    if (!upnp_add_port_mapping(*steps_,
                               {service_of(row), row.internal_client, row.internal_port,
                                row.external_port, lease_s, options_.request_timeout_ms},
                               granted, error)) {
        last_error_ = "UPnP renewal: " + error;
        return false;
    }
    row.granted_lifetime_s = granted;
    return true;
}

bool DirectPortMapper::renew_natpmp(PortMapping& row, std::uint32_t lease_s) {
    NatPmpMapResponse answer;
    std::string error;
    if (!steps_->natpmp_map(row.gateway, row.internal_port, lease_s, options_, answer, error)) {
        last_error_ = "NAT-PMP renewal: " + error;
        return false;
    }
    if (answer.external_port != row.external_port) {
        spdlog::warn(
            "DirectPortMapper: NAT-PMP renewed UDP {} on a new external port {} (was {}) - the "
            "published candidate still names the old port",
            row.internal_port, answer.external_port, row.external_port);
        row.external_port = answer.external_port;
    }
    row.granted_lifetime_s = answer.lifetime;
    return true;
}

bool DirectPortMapper::renew_pcp(PortMapping& row, std::uint32_t lease_s) {
    PcpMapResponse answer;
    std::string error;
    if (!steps_->pcp_map(row.gateway, row.internal_port, lease_s, pcp_client(row), row.nonce,
                         options_, answer, error)) {
        last_error_ = "PCP renewal: " + error;
        return false;
    }
    if (answer.external_address != row.external_ip || answer.external_port != row.external_port) {
        spdlog::warn(
            "DirectPortMapper: PCP renewed UDP {} on {}:{} (was {}:{}) - the published candidate "
            "still names the old endpoint",
            row.internal_port, answer.external_address, answer.external_port, row.external_ip,
            row.external_port);
        row.external_ip = answer.external_address;
        row.external_port = answer.external_port;
    }
    row.granted_lifetime_s = answer.lifetime;
    return true;
}

bool DirectPortMapper::renew_row(PortMapping& row, std::uint32_t lease_s) {
    bool renewed = false;
    if (row.method == "upnp") {
        renewed = renew_upnp(row, lease_s);
    } else if (row.method == "natpmp") {
        renewed = renew_natpmp(row, lease_s);
    } else if (row.method == "pcp") {
        renewed = renew_pcp(row, lease_s);
    } else {
        last_error_ = "unknown mapping method";
        return false;
    }
    if (!renewed) {
        spdlog::warn("DirectPortMapper: lease renewal failed for UDP {}: {}", row.internal_port,
                     last_error_);
        return false;
    }
    schedule_renewal(row);
    spdlog::info("DirectPortMapper: renewed UDP {} via {} for {}s", row.internal_port, row.method,
                 lease_s);
    return true;
}

bool DirectPortMapper::release_mapping(const PortMapping& row, std::string& error,
                                       bool log_failure) {
    bool released = false;
    std::string other_host;
    if (row.method == "upnp") {
        UpnpDeletion deletion =
            upnp_delete_port_mapping(*steps_, service_of(row), row.external_port,
                                     row.internal_client, options_.request_timeout_ms, error);
        released = deletion.released;
        other_host = std::move(deletion.other_host);
    } else if (row.method == "natpmp") {
        released = steps_->natpmp_delete(row.gateway, row.internal_port, options_, error);
    } else if (row.method == "pcp") {
        released = steps_->pcp_delete(row.gateway, row.internal_port, row.nonce, pcp_client(row),
                                      options_, error);
    } else {
        error = "unknown mapping method";
    }
    if (released && !other_host.empty()) {
        spdlog::info("DirectPortMapper: UDP {} via {} belongs to another host ({}) - left in place",
                     row.internal_port, row.method, other_host);
    } else if (released) {
        spdlog::info("DirectPortMapper: released UDP {} via {}", row.internal_port, row.method);
    } else if (log_failure) {
        spdlog::warn(
            "DirectPortMapper: could not delete UDP {} mapping via {}: {} (lease will expire)",
            row.internal_port, row.method, error);
    }
    return released;
}

}  // namespace vx::network
