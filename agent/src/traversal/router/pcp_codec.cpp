#include "traversal/router/pcp_codec.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "traversal/router/address_text.hpp"
#include "util/address.hpp"

namespace vx::network {
namespace {

constexpr std::uint8_t kVersion = 2;
constexpr std::uint8_t kOpMap = 1;
constexpr std::uint8_t kResponseBit = 0x80;
constexpr std::uint8_t kProtocolUdp = 17;
constexpr std::size_t kMapSize = 60;

// RFC 6887 section 5: an IPv4 address travels as ::ffff:a.b.c.d (RFC 4291 section 2.5.5.2).
void write_mapped_ipv4(std::uint8_t* out, const std::array<std::uint8_t, 4>& address) {
    std::memset(out, 0, 10);
    out[10] = 0xFF;
    out[11] = 0xFF;
    std::memcpy(out + 12, address.data(), 4);
}

// The assigned address when it is IPv4: the ::ffff:0:0/96 prefix, or (from older servers) all
// zeros before the last four bytes.
std::string read_ipv4_address(ByteView field) {
    const bool zeros =
        std::all_of(field.begin(), field.begin() + 10, [](std::uint8_t b) { return b == 0; });
    const bool mapped = zeros && field[10] == 0xFF && field[11] == 0xFF;
    const bool compatible = zeros && field[10] == 0 && field[11] == 0;
    return (mapped || compatible) ? format_ipv4(&field[12]) : std::string();
}

bool matches(const PcpMapResponse& answer, std::uint16_t internal_port, const PcpNonce& nonce) {
    return answer.protocol == kProtocolUdp && answer.internal_port == internal_port &&
           answer.nonce == nonce;
}

}  // namespace

//  0      1        2-3       4-7        8-23              24-35   36     37-39  40-41  42-43
// +-----+--------+--------+----------+-----------------+-------+------+------+------+------+
// | v 2 | R0|op1 | rsvd 0 | lifetime | client address  | nonce | 17   | rsvd | int. | sugg.|
// +-----+--------+--------+----------+-----------------+-------+------+------+------+------+
// 44-59: suggested external address, ::ffff:0.0.0.0 for "any IPv4" (RFC 6887 section 11.1).
std::array<std::uint8_t, 60> build_pcp_map_request(std::uint16_t internal_port,
                                                   std::uint16_t suggested_external_port,
                                                   std::uint32_t lifetime_s, const PcpNonce& nonce,
                                                   std::string_view client_address) {
    std::array<std::uint8_t, 60> request{kVersion, kOpMap};
    write_u32(&request[4], lifetime_s);
    if (const auto client = util::parse_ipv4(client_address))
        write_mapped_ipv4(&request[8], *client);
    std::copy(nonce.begin(), nonce.end(), request.begin() + 24);
    request[36] = kProtocolUdp;
    write_u16(&request[40], internal_port);
    write_u16(&request[42], suggested_external_port);
    write_mapped_ipv4(&request[44], {0, 0, 0, 0});
    return request;
}

std::optional<PcpMapResponse> parse_pcp_map_response(ByteView bytes) {
    if (bytes.size() < kMapSize || bytes[0] != kVersion || (bytes[1] & kResponseBit) == 0 ||
        (bytes[1] & 0x7F) != kOpMap)
        return std::nullopt;
    PcpMapResponse answer;
    answer.result_code = bytes[3];
    answer.lifetime = read_u32(bytes, 4);
    answer.epoch = read_u32(bytes, 8);
    std::copy(bytes.begin() + 24, bytes.begin() + 36, answer.nonce.begin());
    answer.protocol = bytes[36];
    answer.internal_port = read_u16(bytes, 40);
    answer.external_port = read_u16(bytes, 42);
    answer.external_address = read_ipv4_address(bytes.subspan(44, 16));
    return answer;
}

bool check_pcp_map_answer(ByteView bytes, std::uint16_t internal_port, const PcpNonce& nonce,
                          PcpMapResponse& answer, std::string& error) {
    const auto parsed = parse_pcp_map_response(bytes);
    if (!parsed) {
        error = "malformed PCP response";
        return false;
    }
    if (!matches(*parsed, internal_port, nonce)) {
        error = "PCP response does not match the request (nonce/protocol/port)";
        return false;
    }
    if (parsed->result_code != 0 || parsed->external_port == 0) {
        error = "PCP result code " + std::to_string(parsed->result_code);
        return false;
    }
    if (!util::is_public_ipv4(parsed->external_address)) {
        error = "PCP assigned non-public address '" + parsed->external_address + "'";
        return false;
    }
    if (parsed->lifetime == 0) {
        // RFC 6887 section 15: a lifetime of 0 means the mapping is gone.
        error = "PCP granted lifetime 0 (the mapping was deleted)";
        return false;
    }
    answer = *parsed;
    return true;
}

bool check_pcp_delete_answer(ByteView bytes, std::uint16_t internal_port, const PcpNonce& nonce,
                             std::string& error) {
    const auto parsed = parse_pcp_map_response(bytes);
    if (!parsed) {
        error = "malformed PCP delete response";
        return false;
    }
    if (!matches(*parsed, internal_port, nonce)) {
        error = "PCP delete response does not match the mapping";
        return false;
    }
    if (parsed->result_code != 0) {
        error = "PCP delete result code " + std::to_string(parsed->result_code);
        return false;
    }
    return true;
}

PcpNonce pcp_nonce() {
    // randombytes_buf works before sodium_init, but init makes its first use thread-safe.
    static const bool initialised = sodium_init() >= 0;
    (void)initialised;
    PcpNonce nonce{};
    randombytes_buf(nonce.data(), nonce.size());
    return nonce;
}

}  // namespace vx::network
