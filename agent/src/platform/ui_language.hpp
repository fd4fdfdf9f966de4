#pragma once

#include <string_view>

namespace vx::platform {

// True when `text` begins with "ru" in any letter case (a language tag or a locale name).
constexpr bool begins_with_ru(std::string_view text) {
    return text.size() >= 2 && (text[0] == 'r' || text[0] == 'R') &&
           (text[1] == 'u' || text[1] == 'U');
}

// The user's interface language is Russian. Linux: the first non-empty of LC_ALL, LC_MESSAGES and
// LANG begins with "ru".
bool system_ui_language_is_russian();

}  // namespace vx::platform
