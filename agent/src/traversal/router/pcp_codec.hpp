#pragma once

// PCP (RFC 6887) MAP messages of the port mapper for UDP over IPv4, and the checks on each
// answer. No options are sent; options in answers are ignored.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "traversal/router/natpmp_codec.hpp"

namespace vx::network {

using PcpNonce = std::array<std::uint8_t, 12>;

struct PcpMapResponse {
    std::uint8_t result_code = 0;
    std::uint32_t lifetime = 0;
    std::uint32_t epoch = 0;
    PcpNonce nonce{};
    std::uint8_t protocol = 0;
    std::uint16_t internal_port = 0;
    std::uint16_t external_port = 0;
    std::string external_address;  // dotted IPv4, or empty when the answer holds an IPv6 one
};

// 60 bytes. The client address is this PC's LAN address towards the gateway; a text that is
// not a dotted quad is sent as all zeros.
std::array<std::uint8_t, 60> build_pcp_map_request(std::uint16_t internal_port,
                                                   std::uint16_t suggested_external_port,
                                                   std::uint32_t lifetime_s, const PcpNonce& nonce,
                                                   std::string_view client_address);

// None unless at least 60 bytes, version 2, the response bit and opcode MAP.
std::optional<PcpMapResponse> parse_pcp_map_response(ByteView bytes);

// The checks on each answer to a request with this port and nonce, with the mapper's texts.
bool check_pcp_map_answer(ByteView bytes, std::uint16_t internal_port, const PcpNonce& nonce,
                          PcpMapResponse& answer, std::string& error);
bool check_pcp_delete_answer(ByteView bytes, std::uint16_t internal_port, const PcpNonce& nonce,
                             std::string& error);

// A fresh mapping nonce from the system's secure random source; kept with the mapping, since
// renewal and deletion must repeat it.
PcpNonce pcp_nonce();

}  // namespace vx::network
