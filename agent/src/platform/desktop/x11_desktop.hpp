#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/x11_display.hpp"
#include "platform/desktop_platform.hpp"

namespace vx::platform::x11 {

std::unique_ptr<DesktopConnection> connect(const std::string& display_name, std::string& error);
std::unique_ptr<KeyGrab> grab_super_keys(const std::string& display_name, std::string& error);
std::unique_ptr<TrayIcon> show_tray_icon(const std::string& display_name, const std::string& tip,
                                         TrayRefusal& refusal, std::string& error);
// The keycodes whose keysyms (in any group or level) include Super_L or Super_R, from a keyboard
// mapping as XGetKeyboardMapping gives it: `per_keycode` keysyms for each keycode from
// `min_keycode` on.
std::vector<std::uint8_t> super_keycodes(int min_keycode, int per_keycode,
                                         const std::vector<unsigned long>& keysyms);

// UTF-8 text as the characters a 16-bit (ISO 10646) font draws: one unit per character, U+FFFD
// for a character beyond 16 bits and for each byte that starts no valid sequence.
std::u16string font_units(const std::string& text);

}  // namespace vx::platform::x11
