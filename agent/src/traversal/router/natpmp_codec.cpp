#include "traversal/router/natpmp_codec.hpp"

#include "traversal/router/address_text.hpp"

namespace vx::network {
namespace {

constexpr std::uint8_t kVersion = 0;
constexpr std::uint8_t kOpAddress = 0;
constexpr std::uint8_t kOpMapUdp = 1;
constexpr std::uint8_t kReplyBit = 128;  // RFC 6886 section 3.2: opcode + 128 in answers
constexpr std::size_t kAddressAnswerSize = 12;
constexpr std::size_t kMapAnswerSize = 16;

}  // namespace

std::uint16_t read_u16(ByteView bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

std::uint32_t read_u32(ByteView bytes, std::size_t at) {
    return (static_cast<std::uint32_t>(read_u16(bytes, at)) << 16) | read_u16(bytes, at + 2);
}

void write_u16(std::uint8_t* out, std::uint16_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 8);
    out[1] = static_cast<std::uint8_t>(value);
}

void write_u32(std::uint8_t* out, std::uint32_t value) {
    write_u16(out, static_cast<std::uint16_t>(value >> 16));
    write_u16(out + 2, static_cast<std::uint16_t>(value));
}

std::array<std::uint8_t, 2> build_natpmp_address_request() {
    return {kVersion, kOpAddress};
}

//  0        1        2-3        4-5            6-7                8-11
// +-------+--------+----------+--------------+------------------+-----------------+
// | ver 0 | op 1   | reserved | internal port| suggested ext port| lifetime (s)    |
// +-------+--------+----------+--------------+------------------+-----------------+
std::array<std::uint8_t, 12> build_natpmp_map_request(std::uint16_t internal_port,
                                                      std::uint16_t suggested_external_port,
                                                      std::uint32_t lifetime_s) {
    std::array<std::uint8_t, 12> request{kVersion, kOpMapUdp};
    write_u16(&request[4], internal_port);
    write_u16(&request[6], suggested_external_port);
    write_u32(&request[8], lifetime_s);
    return request;
}

std::optional<NatPmpMapResponse> parse_natpmp_response(ByteView bytes) {
    if (bytes.size() < kMapAnswerSize || bytes[0] != kVersion || bytes[1] != kReplyBit + kOpMapUdp)
        return std::nullopt;
    return NatPmpMapResponse{read_u16(bytes, 2), read_u32(bytes, 4), read_u16(bytes, 8),
                             read_u16(bytes, 10), read_u32(bytes, 12)};
}

bool check_natpmp_address_answer(ByteView bytes, std::string& address, std::string& error) {
    if (bytes.size() < kAddressAnswerSize || bytes[0] != kVersion ||
        bytes[1] != kReplyBit + kOpAddress) {
        error = "malformed NAT-PMP response";
        return false;
    }
    if (const std::uint16_t code = read_u16(bytes, 2); code != 0) {
        error = "NAT-PMP result code " + std::to_string(code);
        return false;
    }
    address = format_ipv4(&bytes[8]);
    return true;
}

bool check_natpmp_map_answer(ByteView bytes, std::uint16_t internal_port, NatPmpMapResponse& answer,
                             std::string& error) {
    const auto parsed = parse_natpmp_response(bytes);
    if (!parsed) {
        error = "malformed NAT-PMP map response";
        return false;
    }
    if (parsed->result_code != 0 || parsed->external_port == 0) {
        error = "NAT-PMP map result code " + std::to_string(parsed->result_code);
        return false;
    }
    if (parsed->internal_port != internal_port) {
        error = "NAT-PMP response is for internal port " + std::to_string(parsed->internal_port);
        return false;
    }
    if (parsed->lifetime == 0) {
        // RFC 6886 section 3.3: a lifetime of 0 is a deletion, whatever the result code says.
        error = "NAT-PMP granted lifetime 0 (the mapping was deleted)";
        return false;
    }
    answer = *parsed;
    return true;
}

bool check_natpmp_delete_answer(ByteView bytes, std::string& error) {
    const auto parsed = parse_natpmp_response(bytes);
    if (!parsed) {
        error = "malformed NAT-PMP delete response";
        return false;
    }
    if (parsed->result_code != 0) {
        error = "NAT-PMP delete result code " + std::to_string(parsed->result_code);
        return false;
    }
    return true;
}

}  // namespace vx::network
