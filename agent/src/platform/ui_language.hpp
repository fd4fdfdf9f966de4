#pragma once

namespace vx::platform {

// The user's interface language is Russian. Linux: the first non-empty of LC_ALL, LC_MESSAGES and
// LANG begins with "ru".
bool system_ui_language_is_russian();

}  // namespace vx::platform
