#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vx::platform {

// A top-level window of the desktop (an X window id on Linux); 0 is none.
using WindowId = std::uint64_t;

// The window types that keep a window out of the minimising (desktop conventions: EWMH).
enum class WindowType : std::uint8_t { dock, desktop, utility, toolbar, splash, notification };
using WindowTypes = std::uint8_t;  // one bit per WindowType

constexpr WindowTypes type_bit(WindowType type) {
    return static_cast<WindowTypes>(1u << static_cast<unsigned>(type));
}

// What the isolation asks about one window; a window that is gone has `exists` false and
// nothing else set.
struct WindowFacts {
    bool exists = false;
    bool viewable = false;      // mapped and visible on the screen
    bool minimized = false;     // iconic, or hidden by the window manager
    bool skip_taskbar = false;  // asks to stay out of taskbars and pagers
    bool has_owner = false;     // a transient of another window (a dialog)
    WindowTypes types = 0;
    std::uint32_t pid = 0;  // the owning process as the window states it, 0 unknown
    std::string title;      // UTF-8, empty when it has none
};

// The parts of the desktop shell the isolation hides.
enum class ShellPart : std::uint8_t {
    taskbars,       // dock windows (panels)
    desktop_icons,  // desktop windows (the icons on the background)
};

// One thread's connection to the desktop: every call is made by the thread that holds it, or by
// one thread after another, never by two at once. Calls on windows that vanished meanwhile fail
// quietly (false or empty facts); nothing here throws for the desktop's sake.
class DesktopConnection {
  public:
    virtual ~DesktopConnection() = default;

    // The application windows the window manager manages, in its order.
    virtual std::vector<WindowId> client_windows() = 0;
    // The shown windows of one shell part. The dock that holds the system tray is left out:
    // hiding it would hide the agent's own tray icon, the way back for the person at the PC.
    virtual std::vector<WindowId> shell_windows(ShellPart part) = 0;
    virtual WindowFacts describe(WindowId window) = 0;
    // Hides (unmaps) or shows (maps) a shell window.
    virtual bool set_shown(WindowId window, bool shown) = 0;
    virtual bool minimize(WindowId window) = 0;
    // Brings a window back from minimised and to the front: it becomes the active window.
    virtual bool restore(WindowId window) = 0;
    // The window that has the focus as the window manager says (0 when none).
    virtual WindowId active_window() = 0;
    // The desktop's window manager still runs (it took over the shell's part on Linux).
    virtual bool window_manager_running() = 0;
    // Sends what is buffered and waits until the desktop has done it.
    virtual void refresh() = 0;
};

}  // namespace vx::platform
