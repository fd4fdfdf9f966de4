#pragma once

#include <string>
#include <string_view>

namespace vx::util {

// The text with A-Z turned into a-z and every other byte kept: protocol words, options and
// switches compare in ASCII case only, whatever the process locale says.
std::string ascii_lower(std::string_view text);

}  // namespace vx::util
