#pragma once

#include <string>

namespace vx::platform {

// This PC's name as the user knows it (Linux: the host name); empty when unknown.
std::string computer_name();

}  // namespace vx::platform
