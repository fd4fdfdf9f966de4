#include "util/natwave_profile.hpp"

namespace vx::natwave {

std::string_view profile_kind_name(std::uint8_t kind) {
    switch (static_cast<ProfileKind>(kind)) {
        case ProfileKind::eim:
            return "eim";
        case ProfileKind::adm:
            return "adm";
        case ProfileKind::pdm_seq:
            return "pdm-seq";
        case ProfileKind::pdm_pba:
            return "pdm-pba";
        case ProfileKind::pdm_rand:
            return "pdm-rand";
        case ProfileKind::unknown:
            break;
    }
    return "unknown";
}

}  // namespace vx::natwave
