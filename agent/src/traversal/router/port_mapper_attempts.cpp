// One attempt of `map_port` by one method, each adding its reason to the summary on failure.
#include "traversal/router/port_mapper.hpp"
#include "traversal/router/upnp_mapping.hpp"
#include "util/address.hpp"

namespace vx::network {
namespace {

std::string not_public(const char* protocol, const std::string& address) {
    return std::string(protocol) + " WAN " + address + " is " +
           std::string(address_class_name(util::classify_ipv4(address))) + "; ";
}

}  // namespace

bool DirectPortMapper::map_port_locked(const std::string& method, std::uint16_t internal_port,
                                       std::uint32_t lease_s, PortMapping& row,
                                       std::string& summary) {
    if (method == "upnp")
        return map_upnp(internal_port, lease_s, row, summary);
    if (method == "natpmp")
        return map_natpmp(internal_port, lease_s, row, summary);
    if (method == "pcp")
        return map_pcp(internal_port, lease_s, row, summary);
    return false;
}

bool DirectPortMapper::map_upnp(std::uint16_t internal_port, std::uint32_t lease_s,
                                PortMapping& row, std::string& summary) {
    if (!igd_.found) {
        summary += "UPnP: not discovered; ";
        return false;
    }
    if (!util::is_public_ipv4(igd_.wan_address)) {
        summary += not_public("UPnP", igd_.wan_address);
        return false;
    }
    const UpnpService service = igd_.service();
    std::uint32_t granted = 0;
    std::string error;
    if (!upnp_add_port_mapping(*steps_,
                               {service, igd_.lan_address, internal_port, internal_port, lease_s,
                                options_.request_timeout_ms},
                               granted, error)) {
        summary += "UPnP AddPortMapping: " + error + "; ";
        return false;
    }
    row = PortMapping{};
    row.external_ip = igd_.wan_address;
    row.external_port = internal_port;
    row.method = "upnp";
    row.internal_port = internal_port;
    row.control_url = igd_.control_url;
    row.service_type = igd_.service_type;
    row.control_endpoint = igd_.control_endpoint;
    row.internal_client = igd_.lan_address;
    row.granted_lifetime_s = granted;
    return true;
}

bool DirectPortMapper::map_natpmp(std::uint16_t internal_port, std::uint32_t lease_s,
                                  PortMapping& row, std::string& summary) {
    if (ensure_gateway().empty()) {
        summary += "NAT-PMP: no default gateway; ";
        return false;
    }
    std::string error;
    if (!natpmp_ok_) {
        if (natpmp_tried_) {
            summary += "NAT-PMP: unavailable at discovery; ";
            return false;
        }
        if (!ask_natpmp_wan(error)) {
            summary += "NAT-PMP: " + error + "; ";
            return false;
        }
    }
    if (!util::is_public_ipv4(natpmp_wan_)) {
        summary += not_public("NAT-PMP", natpmp_wan_);
        return false;
    }
    NatPmpMapResponse answer;
    if (!steps_->natpmp_map(gateway_, internal_port, lease_s, options_, answer, error)) {
        summary += "NAT-PMP map: " + error + "; ";
        return false;
    }
    row = PortMapping{};
    row.external_ip = natpmp_wan_;
    row.external_port = answer.external_port;
    row.method = "natpmp";
    row.internal_port = internal_port;
    row.gateway = gateway_;
    row.granted_lifetime_s = answer.lifetime;
    return true;
}

bool DirectPortMapper::map_pcp(std::uint16_t internal_port, std::uint32_t lease_s, PortMapping& row,
                               std::string& summary) {
    if (!options_.enable_pcp || !pcp_allowed_) {
        summary += "PCP: not attempted; ";
        return false;
    }
    // A gateway that does not answer PCP costs every attempt its full wait: after one failure,
    // PCP rests until the next discovery pass. One that maps keeps serving the pass's ports.
    pcp_allowed_ = false;
    if (ensure_gateway().empty()) {
        summary += "PCP: no default gateway; ";
        return false;
    }
    const auto lan = steps_->lan_address_towards_host(gateway_, options_.request_timeout_ms);
    if (!lan) {
        summary += "PCP: no LAN address towards the gateway; ";
        return false;
    }
    const PcpNonce nonce = steps_->pcp_nonce();
    PcpMapResponse answer;
    std::string error;
    if (!steps_->pcp_map(gateway_, internal_port, lease_s, *lan, nonce, options_, answer, error)) {
        summary += "PCP map: " + error + "; ";
        return false;
    }
    pcp_allowed_ = true;
    row = PortMapping{};
    row.external_ip = answer.external_address;
    row.external_port = answer.external_port;
    row.method = "pcp";
    row.internal_port = internal_port;
    row.internal_client = *lan;
    row.gateway = gateway_;
    row.nonce = answer.nonce;
    row.granted_lifetime_s = answer.lifetime;
    return true;
}

}  // namespace vx::network
