#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Ways the fuzz targets cut one input into the pieces their parser takes.
namespace vx::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The pieces between separators; n separators give n + 1 pieces, empty ones included.
inline std::vector<std::string> split_at(std::string_view text, char separator) {
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == separator) {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(c);
        }
    }
    return pieces;
}

}  // namespace vx::fuzz
