#pragma once

#include <initializer_list>
#include <string_view>

#include "platform/ui_language.hpp"

namespace vx {

// What the console shows: the full log, or the status screen (always the negation).
struct ConsoleChoice {
    bool full_log = false;
    bool status_screen = true;
};

// The full log is requested by VX_CONSOLE_LOG ("1", "true", "TRUE", "yes", "on", "ON", exactly),
// by "--verbose" anywhere after the program name, or by any argument equal to one of `extra`.
// Comparisons are exact and case-sensitive.
ConsoleChoice console_log_requested(int argc, const char* const* argv,
                                    std::initializer_list<std::string_view> extra);

using platform::begins_with_ru;

// The console's language, decided once at start: VX_LANG when set and not empty (Russian exactly
// when it begins with "ru" in any case), else the system's UI language.
bool ui_language_is_russian();

}  // namespace vx
