#include "platform/default_gateway.hpp"
#include "traversal/router/port_mapper_steps.hpp"

namespace vx::network {
namespace {

class NetworkSteps final : public PortMapperSteps {
  public:
    explicit NetworkSteps(RouterScope scope) : scope_(std::move(scope)) {}

    IgdInfo discover_igd(const DirectPortMapperOptions& options, std::string& error) override {
        return network::discover_igd(options, scope_, error);
    }

    SoapResult add_port_mapping(const UpnpService& service, std::uint16_t external_port,
                                std::uint16_t internal_port, const std::string& lan_address,
                                std::uint32_t lease_s, std::int64_t timeout_ms,
                                std::string& error) override {
        return upnp_add_port_mapping_action(service, external_port, internal_port, lan_address,
                                            lease_s, timeout_ms, error);
    }
    SoapResult delete_port_mapping(const UpnpService& service, std::uint16_t external_port,
                                   std::int64_t timeout_ms, std::string& error) override {
        return upnp_delete_port_mapping_action(service, external_port, timeout_ms, error);
    }
    SoapResult get_specific_port_mapping_entry(const UpnpService& service,
                                               std::uint16_t external_port, std::int64_t timeout_ms,
                                               std::string& error) override {
        return upnp_get_specific_port_mapping_entry(service, external_port, timeout_ms, error);
    }

    std::string default_gateway() override {
        return scope_.gateway.empty() ? platform::default_gateway() : scope_.gateway;
    }
    std::optional<std::string> lan_address_towards_host(const std::string& host,
                                                        std::int64_t timeout_ms) override {
        return network::lan_address_towards_host(
            host, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms));
    }

    bool natpmp_external_address(const std::string& gateway, const DirectPortMapperOptions& options,
                                 std::string& address, std::string& error) override {
        return network::natpmp_external_address(gateway, settings(options), address, error);
    }
    bool natpmp_map(const std::string& gateway, std::uint16_t internal_port,
                    std::uint32_t lifetime_s, const DirectPortMapperOptions& options,
                    NatPmpMapResponse& answer, std::string& error) override {
        return network::natpmp_map(gateway, internal_port, lifetime_s, settings(options), answer,
                                   error);
    }
    bool natpmp_delete(const std::string& gateway, std::uint16_t internal_port,
                       const DirectPortMapperOptions& options, std::string& error) override {
        return network::natpmp_delete(gateway, internal_port, settings(options), error);
    }
    PcpNonce pcp_nonce() override { return network::pcp_nonce(); }
    bool pcp_map(const std::string& gateway, std::uint16_t internal_port, std::uint32_t lifetime_s,
                 const std::string& client_address, const PcpNonce& nonce,
                 const DirectPortMapperOptions& options, PcpMapResponse& answer,
                 std::string& error) override {
        return network::pcp_map(gateway, internal_port, lifetime_s, client_address, nonce,
                                settings(options), answer, error);
    }
    bool pcp_delete(const std::string& gateway, std::uint16_t internal_port, const PcpNonce& nonce,
                    const std::string& client_address, const DirectPortMapperOptions& options,
                    std::string& error) override {
        return network::pcp_delete(gateway, internal_port, nonce, client_address, settings(options),
                                   error);
    }

  private:
    GatewaySettings settings(const DirectPortMapperOptions& options) const {
        return gateway_settings(options, scope_.gateway_port);
    }
    RouterScope scope_;
};

}  // namespace

std::shared_ptr<PortMapperSteps> network_port_mapper_steps(RouterScope scope) {
    return std::make_shared<NetworkSteps>(std::move(scope));
}

}  // namespace vx::network
