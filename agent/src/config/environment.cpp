#include "config/environment.hpp"

#include <array>
#include <cstdlib>

namespace vx {
namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (x != b[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool audio_parity_switch_on(const char* value) {
    if (value == nullptr) {
        return false;
    }
    constexpr std::array<std::string_view, 5> kOn{"1", "on", "true", "yes", "enabled"};
    for (std::string_view on : kOn) {
        if (equals_ignoring_case(value, on)) {
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
