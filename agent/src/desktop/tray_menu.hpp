#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tray_icon.hpp"

namespace vx::desktop {

inline constexpr int kShowSteamCommand = 39998;
inline constexpr int kRestoreAllCommand = 39999;
inline constexpr int kRestoreWindowCommand = 40000;  // + the window's place in the list

inline constexpr const char* kTrayTip = "Velmora Agent \xE2\x80\x94 click to manage windows";

struct TrayMenuState {
    bool steam = false;  // Steam was launched, its process is known, or the session wants it
    // One per minimised window, in the list's order: its title, empty when the window is gone
    // or has none (it gets no line of its own).
    std::vector<std::string> window_titles;
};

// A line as the menu shows it, in UTF-8: control characters as spaces, bytes that are no valid
// UTF-8 as U+FFFD; longer than 64 characters, it is cut between two characters and ends in "...".
std::string fit_menu_line(std::string_view text);

// The menu's lines: the greyed title, "Show Steam", one "Restore: <title>" per window that has
// a title, "Restore All Windows" when there was at least one of those, or the greyed
// "(no minimized windows)" when there is nothing to offer. Window lines are fitted. The menu cannot
// scroll: beyond `max_lines` the last window lines give way to a greyed "(N more)", which "Restore
// All Windows" still brings back.
std::vector<platform::TrayMenuItem> build_tray_menu(
    const TrayMenuState& state, std::size_t max_lines = std::numeric_limits<std::size_t>::max());

struct TrayCommand {
    enum class Kind { none, show_steam, restore_all, restore_window };
    Kind kind = Kind::none;
    std::size_t window = 0;  // restore_window: the place in the list
};

// What a chosen command id asks for; ids outside the menu (a window past the list's end) ask
// for nothing.
TrayCommand decode_tray_command(int command, std::size_t listed_windows);

}  // namespace vx::desktop
