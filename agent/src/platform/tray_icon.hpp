#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vx::platform {

// One line of the tray icon's menu.
struct TrayMenuItem {
    std::string text;
    int command = 0;      // sent back when chosen; 0 for greyed lines and separators
    bool enabled = true;  // greyed lines cannot be chosen
    bool separator = false;
};

struct TrayCallbacks {
    // Asked when the icon is clicked, with how many lines fit on the screen.
    std::function<std::vector<TrayMenuItem>(std::size_t max_lines)> menu;
    std::function<void(int command)> chosen;
};

enum class TrayRefusal : std::uint8_t {
    none,
    no_tray,  // the desktop has no system tray to dock into
    failed,   // a tray exists, the icon could not be made
};

// The agent's icon in the desktop's system tray, on a connection of its own owned by one thread;
// a click opens the menu that `TrayCallbacks::menu` describes. Removed when the object goes.
class TrayIcon {
  public:
    virtual ~TrayIcon() = default;

    virtual int wait_fd() const = 0;
    // Handles every waiting event, calling back on this thread. False once the connection is gone.
    virtual bool pump(const TrayCallbacks& callbacks) = 0;
};

}  // namespace vx::platform
