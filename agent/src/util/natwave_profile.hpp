#pragma once

#include <cstdint>
#include <string_view>

namespace vx::natwave {

enum class ProfileKind : std::uint8_t {
    unknown = 0,
    eim = 1,
    adm = 2,
    pdm_seq = 3,
    pdm_pba = 4,
    pdm_rand = 5,
};

// How a NAT maps ports, as measured with STUN.
struct Profile {
    std::uint8_t kind = 0;  // a ProfileKind value
    std::uint8_t delta = 0;
    std::uint16_t min_port = 0;
    std::uint16_t max_port = 0;
    std::uint16_t base = 0;
    std::uint8_t conf = 0;
};

// "unknown", "eim", "adm", "pdm-seq", "pdm-pba", "pdm-rand"; "unknown" for any other value.
std::string_view profile_kind_name(std::uint8_t kind);

}  // namespace vx::natwave
