#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/desktop/x11_display.hpp"
#include "platform/desktop_platform.hpp"

namespace vx::platform::x11 {

std::unique_ptr<DesktopConnection> connect(const std::string& display_name, std::string& error);
std::unique_ptr<KeyGrab> grab_super_keys(const std::string& display_name, std::string& error);
std::unique_ptr<TrayIcon> show_tray_icon(const std::string& display_name, const std::string& tip,
                                         TrayRefusal& refusal, std::string& error);
// `display_name` must stay valid and unchanged: it is read in the crash handler.
void restore_windows_after_crash(const char* display_name, const WindowId* windows,
                                 std::size_t count) noexcept;

// Un-minimises `window` and brings it forward: through the window manager when it takes
// _NET_ACTIVE_WINDOW requests, else by mapping it ourselves.
bool activate_window(XDisplay& display, Window window, bool wm_activates);
// The window manager lists _NET_ACTIVE_WINDOW among what it supports.
bool wm_takes_activation(XDisplay& display);
// Exists and is minimised (iconic or hidden).
bool is_minimized(XDisplay& display, Window window);

// A menu line as the core fonts can draw it: Latin-1 only, so each UTF-8 sequence beyond ASCII
// shows as one '?', control bytes as spaces; a line longer than 64 characters ends in "...".
std::string drawable_text(const std::string& text);

}  // namespace vx::platform::x11
