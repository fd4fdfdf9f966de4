#pragma once

// NAT-PMP (RFC 6886) messages of the port mapper, byte by byte, and the checks on each answer.
// All fields are big-endian. Only UDP mappings are asked for.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vx::network {

using ByteView = std::span<const std::uint8_t>;

struct NatPmpMapResponse {
    std::uint16_t result_code = 0;
    std::uint32_t epoch = 0;  // seconds since the gateway's start of epoch
    std::uint16_t internal_port = 0;
    std::uint16_t external_port = 0;
    std::uint32_t lifetime = 0;  // seconds granted
};

// Public address request: version 0, opcode 0.
std::array<std::uint8_t, 2> build_natpmp_address_request();
// UDP mapping request (opcode 1): mapping and renewal suggest the internal port as external
// port; a deletion asks for external port 0 with lifetime 0.
std::array<std::uint8_t, 12> build_natpmp_map_request(std::uint16_t internal_port,
                                                      std::uint16_t suggested_external_port,
                                                      std::uint32_t lifetime_s);

// A mapping answer: at least 16 bytes, version 0, opcode 129.
std::optional<NatPmpMapResponse> parse_natpmp_response(ByteView bytes);

// The checks on each answer, with the texts the mapper reports.
bool check_natpmp_address_answer(ByteView bytes, std::string& address, std::string& error);
bool check_natpmp_map_answer(ByteView bytes, std::uint16_t internal_port, NatPmpMapResponse& answer,
                             std::string& error);
bool check_natpmp_delete_answer(ByteView bytes, std::string& error);

// Big-endian field readers shared with PCP.
std::uint16_t read_u16(ByteView bytes, std::size_t at);
std::uint32_t read_u32(ByteView bytes, std::size_t at);
void write_u16(std::uint8_t* out, std::uint16_t value);
void write_u32(std::uint8_t* out, std::uint32_t value);

}  // namespace vx::network
