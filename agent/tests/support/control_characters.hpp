#pragma once

#include <cstddef>
#include <string_view>

namespace vx::test {

// A C0 control but the tab, DEL, or a C1 control in UTF-8: what must not reach a terminal from
// outside text, where it could steer the screen or break a line in two.
inline bool has_control_character(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        const bool c1 = b == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if ((b < 0x20 && b != '\t') || b == 0x7F || c1) {
            return true;
        }
    }
    return false;
}

}  // namespace vx::test
