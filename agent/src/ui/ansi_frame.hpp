#pragma once

#include <string>
#include <string_view>

#include "ui/screen_model.hpp"

// The bytes of the ANSI screen: control sequences and whole frames.
namespace vx::ui {

// Alternate screen, hide the cursor, clear.
inline constexpr std::string_view kEnterSequence = "\x1B[?1049h\x1B[?25l\x1B[2J";
// Reset attributes, clear, show the cursor, back to the main screen.
inline constexpr std::string_view kLeaveSequence = "\x1B[0m\x1B[2J\x1B[?25h\x1B[?1049l";
inline constexpr std::string_view kClearScreen = "\x1B[2J";

// ESC "[0;38;2;R;G;B;48;2;R;G;Bm" with ";1" before the "m" when bold.
std::string sgr_sequence(Style style, bool bold);

// One frame: every row written in place from column 1 and erased to its end. When the rows
// do not fill the console, everything below them is erased too; when they do, the tail would
// erase the last row (the cursor cannot go below the bottom line), so it is left out.
std::string compose_ansi_frame(const Screen& rows, int console_rows);

}  // namespace vx::ui
