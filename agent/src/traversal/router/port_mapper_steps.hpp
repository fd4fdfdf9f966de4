#pragma once

// The protocol steps the port mapper takes, behind one seam: the mapper decides which to take
// and what their outcomes mean; the network implementation takes them. Tests put scripted
// steps in its place to run the mapper's decisions without a router.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "traversal/router/gateway_exchange.hpp"
#include "traversal/router/igd_discovery.hpp"
#include "traversal/router/port_mapper_options.hpp"
#include "traversal/router/router_scope.hpp"

namespace vx::network {

class PortMapperSteps {
  public:
    virtual ~PortMapperSteps() = default;

    virtual IgdInfo discover_igd(const DirectPortMapperOptions& options, std::string& error) = 0;

    // UPnP actions on the gateway's WAN connection service (failure texts as `soap_call`).
    virtual SoapResult add_port_mapping(const UpnpService& service, std::uint16_t external_port,
                                        std::uint16_t internal_port, const std::string& lan_address,
                                        std::uint32_t lease_s, std::int64_t timeout_ms,
                                        std::string& error) = 0;
    virtual SoapResult delete_port_mapping(const UpnpService& service, std::uint16_t external_port,
                                           std::int64_t timeout_ms, std::string& error) = 0;
    virtual SoapResult get_specific_port_mapping_entry(const UpnpService& service,
                                                       std::uint16_t external_port,
                                                       std::int64_t timeout_ms,
                                                       std::string& error) = 0;

    virtual std::string default_gateway() = 0;
    virtual std::optional<std::string> lan_address_towards_host(const std::string& host,
                                                                std::int64_t timeout_ms) = 0;

    // NAT-PMP and PCP with the gateway (failure texts as in gateway_exchange.hpp).
    virtual bool natpmp_external_address(const std::string& gateway,
                                         const DirectPortMapperOptions& options,
                                         std::string& address, std::string& error) = 0;
    virtual bool natpmp_map(const std::string& gateway, std::uint16_t internal_port,
                            std::uint32_t lifetime_s, const DirectPortMapperOptions& options,
                            NatPmpMapResponse& answer, std::string& error) = 0;
    virtual bool natpmp_delete(const std::string& gateway, std::uint16_t internal_port,
                               const DirectPortMapperOptions& options, std::string& error) = 0;
    virtual PcpNonce pcp_nonce() = 0;
    virtual bool pcp_map(const std::string& gateway, std::uint16_t internal_port,
                         std::uint32_t lifetime_s, const std::string& client_address,
                         const PcpNonce& nonce, const DirectPortMapperOptions& options,
                         PcpMapResponse& answer, std::string& error) = 0;
    virtual bool pcp_delete(const std::string& gateway, std::uint16_t internal_port,
                            const PcpNonce& nonce, const std::string& client_address,
                            const DirectPortMapperOptions& options, std::string& error) = 0;
};

// The steps over the network: the LAN by default, a fake gateway where the scope says so.
std::shared_ptr<PortMapperSteps> network_port_mapper_steps(RouterScope scope = {});

}  // namespace vx::network
