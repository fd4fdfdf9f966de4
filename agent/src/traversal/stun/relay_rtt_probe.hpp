#pragma once

// The round-trip time to a relay node, measured with one STUN Binding request from a fresh
// socket. Has its own small response parser: only the header, the attribute walk, the mapped
// address and the error code matter here.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <asio/ip/udp.hpp>

namespace vx::network {

inline constexpr std::chrono::milliseconds kRelayProbeTimeout{350};

using ProbeTransactionId = std::array<std::uint8_t, 12>;

struct StunProbeResult {
    std::int32_t rtt_ms = 0;  // meaningful only when answered
    bool answered = false;
};

struct StunHeader {
    std::uint16_t type = 0;
    std::uint16_t length = 0;
    std::uint32_t cookie = 0;
    ProbeTransactionId transaction_id{};
    std::uint8_t message_class = 0;
    std::uint16_t method = 0;
    std::uint64_t datagram_size = 0;
};

struct StunAttributeRef {
    std::uint16_t type = 0;
    std::uint16_t length = 0;
    std::uint64_t value_offset = 0;
};

struct BindingResponse {
    bool is_stun = false;
    bool is_ours = false;
    bool is_success = false;
    std::uint32_t header_result = 0;
    std::uint32_t error_code = 0;
    std::optional<std::pair<std::string, std::uint16_t>> mapped;
    std::uint64_t attribute_count = 0;
};

// Codes: 1 fewer than 20 bytes, 2 top bits of the type set, 3 wrong magic cookie, 4 length not a
// multiple of 4 or longer than the datagram, 5 another transaction id, 0 ours (header filled).
std::uint32_t parse_stun_header(const std::uint8_t* data, std::size_t size,
                                const ProbeTransactionId& expected, StunHeader& header);
std::vector<StunAttributeRef> read_stun_attributes(const std::uint8_t* data, std::size_t size,
                                                   std::uint16_t message_length);
std::optional<std::pair<std::string, std::uint16_t>> decode_stun_attributes(
    const std::uint8_t* data, std::size_t size, std::uint16_t message_length, bool xor_mapped);
BindingResponse parse_binding_response(const std::uint8_t* data, std::size_t size,
                                       const ProbeTransactionId& expected);

// Each byte the low byte of one draw of std::random_device.
ProbeTransactionId random_transaction_id();
// Where a probe takes its transaction id; empty means random_transaction_id.
using ProbeIdSource = std::function<ProbeTransactionId()>;
bool resolve_udp_ipv4(const std::string& host, std::uint16_t port,
                      asio::ip::udp::endpoint& endpoint, std::error_code& error);

// Whole milliseconds, halves rounded up: 1499 us -> 1, 1500 us -> 2.
std::int32_t round_to_ms(std::int64_t elapsed_us);

// One measurement. Any failure (unresolvable node, no answer within the timeout, an error
// response) is "not answered"; nothing is logged here. The wait for the answer sleeps on the
// socket, so the round trip is timed to the moment the answer arrives.
StunProbeResult probe_stun_binding(const std::string& host, std::uint16_t port,
                                   std::chrono::milliseconds timeout = kRelayProbeTimeout,
                                   const ProbeIdSource& make_id = {});

// The relay probe's measuring function: the round-trip milliseconds, or nothing.
std::optional<std::int32_t> stun_binding_probe(const std::string& host, std::uint16_t port,
                                               std::chrono::milliseconds timeout);

}  // namespace vx::network
