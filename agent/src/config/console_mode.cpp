#include "config/console_mode.hpp"

#include <array>
#include <cstdlib>

#include "platform/ui_language.hpp"

namespace vx {
namespace {

bool console_log_variable_set() {
    const char* value = std::getenv("VX_CONSOLE_LOG");
    if (value == nullptr) {
        return false;
    }
    constexpr std::array<std::string_view, 6> kAccepted{"1", "true", "TRUE", "yes", "on", "ON"};
    for (std::string_view accepted : kAccepted) {
        if (accepted == value) {
            return true;
        }
    }
    return false;
}

bool argument_requests_log(std::string_view arg, std::initializer_list<std::string_view> extra) {
    if (arg == "--verbose") {
        return true;
    }
    for (std::string_view option : extra) {
        if (arg == option) {
            return true;
        }
    }
    return false;
}

}  // namespace

ConsoleChoice console_log_requested(int argc, const char* const* argv,
                                    std::initializer_list<std::string_view> extra) {
    bool full_log = console_log_variable_set();
    for (int i = 1; !full_log && i < argc && argv != nullptr; ++i) {
        full_log = argv[i] != nullptr && argument_requests_log(argv[i], extra);
    }
    return ConsoleChoice{full_log, !full_log};
}

bool ui_language_is_russian() {
    const char* vx_lang = std::getenv("VX_LANG");
    if (vx_lang != nullptr && *vx_lang != '\0') {
        return platform::begins_with_ru(vx_lang);
    }
    return platform::system_ui_language_is_russian();
}

}  // namespace vx
