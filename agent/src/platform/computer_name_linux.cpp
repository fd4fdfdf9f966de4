#include "platform/computer_name.hpp"

#include <unistd.h>

#include <array>

namespace vx::platform {

std::string computer_name() {
    std::array<char, 256> buffer{};
    if (gethostname(buffer.data(), buffer.size() - 1) != 0) {
        return {};
    }
    return std::string(buffer.data());
}

}  // namespace vx::platform
