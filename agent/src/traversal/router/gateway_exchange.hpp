#pragma once

// One request/answer exchange with the gateway's NAT-PMP/PCP port, and the operations of the
// port mapper built on it. A malformed or mismatching answer is not retried; only silence is.

#include <cstdint>
#include <string>
#include <vector>

#include <asio/ip/udp.hpp>

#include "traversal/router/natpmp_codec.hpp"
#include "traversal/router/pcp_codec.hpp"
#include "traversal/router/port_mapper_options.hpp"

namespace vx::network {

// Attempts and the wait per attempt, from the mapper's options, and the gateway's port.
struct GatewaySettings {
    std::int64_t wait_ms = 350;  // at least 50
    std::int32_t attempts = 3;   // 1..5
    std::uint16_t port = 5351;
};
GatewaySettings gateway_settings(const DirectPortMapperOptions& options, std::uint16_t port);

// Sends the request on a socket connected to the gateway (so only its datagrams count) and waits
// a fixed time per attempt. ICMP port unreachable ends the exchange at once.
bool gateway_udp_exchange(const asio::ip::udp::endpoint& gateway, ByteView request,
                          const GatewaySettings& settings, std::vector<std::uint8_t>& response,
                          std::string& error);

bool natpmp_external_address(const std::string& gateway, const GatewaySettings& settings,
                             std::string& address, std::string& error);
bool natpmp_map(const std::string& gateway, std::uint16_t internal_port, std::uint32_t lifetime_s,
                const GatewaySettings& settings, NatPmpMapResponse& answer, std::string& error);
bool natpmp_delete(const std::string& gateway, std::uint16_t internal_port,
                   const GatewaySettings& settings, std::string& error);
bool pcp_map(const std::string& gateway, std::uint16_t internal_port, std::uint32_t lifetime_s,
             const std::string& client_address, const PcpNonce& nonce,
             const GatewaySettings& settings, PcpMapResponse& answer, std::string& error);
bool pcp_delete(const std::string& gateway, std::uint16_t internal_port, const PcpNonce& nonce,
                const std::string& client_address, const GatewaySettings& settings,
                std::string& error);

}  // namespace vx::network
