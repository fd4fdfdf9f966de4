#include "platform/ui_language.hpp"

#include <cstdlib>
#include <initializer_list>

namespace vx::platform {

bool system_ui_language_is_russian() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return begins_with_ru(value);
        }
    }
    return false;
}

}  // namespace vx::platform
