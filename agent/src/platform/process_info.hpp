#pragma once

#include <cstdint>
#include <string>

namespace vx::platform {

// The file name of the process's executable ("firefox-esr"), from /proc/PID/exe, else the
// process's short name; empty when neither can be read (the process is gone, or pid is 0).
std::string process_image_name(std::uint32_t pid);

}  // namespace vx::platform
