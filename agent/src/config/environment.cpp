#include "config/environment.hpp"

#include <array>
#include <cstdlib>

#include "util/ascii.hpp"

namespace vx {

bool audio_parity_switch_on(const char* value) {
    if (value == nullptr) {
        return false;
    }
    const std::string lowered = util::ascii_lower(value);
    constexpr std::array<std::string_view, 5> kOn{"1", "on", "true", "yes", "enabled"};
    for (std::string_view on : kOn) {
        if (lowered == on) {
            return true;
        }
    }
    return false;
}

bool qos_switch_on(const char* value) {
    return value == nullptr || (std::string_view(value) != "0" && std::string_view(value) != "off");
}

void apply_environment(AgentConfig& config) {
    config.qos = qos_switch_on(std::getenv("VX_QOS"));
    if (!config.audio_parity_given) {
        config.audio_parity = audio_parity_switch_on(std::getenv("VX_AUDIO_PARITY"));
    }
}

}  // namespace vx
