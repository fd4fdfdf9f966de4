#pragma once

#include <string>
#include <string_view>

namespace vx::util {

// A-Z turned into a-z and every other byte kept: protocol words, options, switches and log keys
// compare in ASCII case only, whatever the process locale says.
constexpr char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string ascii_lower(std::string_view text);

}  // namespace vx::util
