#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vx::util {

enum class AddressClass : std::uint8_t {
    public_ = 0,
    private_ = 1,  // 10/8, 172.16/12, 192.168/16
    cgnat = 2,     // 100.64/10
    loopback = 3,  // 127/8
    link_local = 4,
    multicast = 5,
    reserved = 6,
    invalid = 7,
};

// Four address bytes of a strict dotted quad: exactly four decimal parts of 1 to 3 digits, each
// 0 to 255, no sign, no empty part, no trailing dot. Leading zeros are refused ("010" could be
// read as octal by other parsers, so such a text never names the same host everywhere).
std::optional<std::array<std::uint8_t, 4>> parse_ipv4(std::string_view text);

// Bytes in packet order, each in decimal: C0 A8 01 01 is "192.168.1.1".
std::string format_ipv4(const std::uint8_t* bytes);
inline std::string format_ipv4(const std::array<std::uint8_t, 4>& bytes) {
    return format_ipv4(bytes.data());
}

AddressClass classify_ipv4(std::string_view text);
// The class of four address bytes: the one table every judgement of an IPv4 address uses.
AddressClass classify_ipv4(const std::array<std::uint8_t, 4>& bytes);

inline bool is_public_ipv4(std::string_view text) {
    return classify_ipv4(text) == AddressClass::public_;
}

}  // namespace vx::util
