// NAT-PMP and PCP operations: one exchange with the gateway, then the answer's checks.
#include "traversal/router/gateway_exchange.hpp"

namespace vx::network {
namespace {

// The gateway text as a numeric address (IPv6 first, then IPv4) with the gateway port.
bool gateway_endpoint(const std::string& gateway, const GatewaySettings& settings,
                      asio::ip::udp::endpoint& endpoint, std::string& error) {
    if (gateway.empty()) {
        error = "no gateway";
        return false;
    }
    std::error_code ec;
    const auto address = asio::ip::make_address(gateway, ec);
    if (ec) {
        error = "invalid gateway address '" + gateway + "'";
        return false;
    }
    endpoint = {address, settings.port};
    return true;
}

bool ask(const std::string& gateway, ByteView request, const GatewaySettings& settings,
         std::vector<std::uint8_t>& answer, std::string& error) {
    asio::ip::udp::endpoint endpoint;
    return gateway_endpoint(gateway, settings, endpoint, error) &&
           gateway_udp_exchange(endpoint, request, settings, answer, error);
}

}  // namespace

bool natpmp_external_address(const std::string& gateway, const GatewaySettings& settings,
                             std::string& address, std::string& error) {
    std::vector<std::uint8_t> answer;
    return ask(gateway, build_natpmp_address_request(), settings, answer, error) &&
           check_natpmp_address_answer(answer, address, error);
}

bool natpmp_map(const std::string& gateway, std::uint16_t internal_port, std::uint32_t lifetime_s,
                const GatewaySettings& settings, NatPmpMapResponse& result, std::string& error) {
    std::vector<std::uint8_t> answer;
    return ask(gateway, build_natpmp_map_request(internal_port, internal_port, lifetime_s),
               settings, answer, error) &&
           check_natpmp_map_answer(answer, internal_port, result, error);
}

bool natpmp_delete(const std::string& gateway, std::uint16_t internal_port,
                   const GatewaySettings& settings, std::string& error) {
    std::vector<std::uint8_t> answer;
    return ask(gateway, build_natpmp_map_request(internal_port, 0, 0), settings, answer, error) &&
           check_natpmp_delete_answer(answer, error);
}

bool pcp_map(const std::string& gateway, std::uint16_t internal_port, std::uint32_t lifetime_s,
             const std::string& client_address, const PcpNonce& nonce,
             const GatewaySettings& settings, PcpMapResponse& result, std::string& error) {
    std::vector<std::uint8_t> answer;
    const auto request =
        build_pcp_map_request(internal_port, internal_port, lifetime_s, nonce, client_address);
    return ask(gateway, request, settings, answer, error) &&
           check_pcp_map_answer(answer, internal_port, nonce, result, error);
}

bool pcp_delete(const std::string& gateway, std::uint16_t internal_port, const PcpNonce& nonce,
                const std::string& client_address, const GatewaySettings& settings,
                std::string& error) {
    std::vector<std::uint8_t> answer;
    const auto request = build_pcp_map_request(internal_port, 0, 0, nonce, client_address);
    return ask(gateway, request, settings, answer, error) &&
           check_pcp_delete_answer(answer, internal_port, nonce, error);
}

}  // namespace vx::network
