#pragma once

#include <X11/Xlib.h>

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vx::platform::x11 {

// The atoms of the desktop conventions (ICCCM, EWMH, the system tray and XEmbed) we use.
enum class AtomId : std::size_t {
    net_client_list,
    net_wm_window_type,
    net_wm_window_type_dock,
    net_wm_window_type_desktop,
    net_wm_window_type_utility,
    net_wm_window_type_toolbar,
    net_wm_window_type_splash,
    net_wm_window_type_notification,
    net_wm_state,
    net_wm_state_hidden,
    net_wm_state_skip_taskbar,
    net_wm_pid,
    net_wm_name,
    utf8_string,
    wm_state,
    net_active_window,
    net_supported,
    net_supporting_wm_check,
    net_system_tray_opcode,
    xembed_info,
    manager,
    count,
};

// Xlib's defaults end the process on a protocol error or a lost connection. Called before any
// other Xlib call of the process: makes Xlib thread-safe and installs handlers that only record.
void init_xlib_once();

// One connection, used by one thread at a time.
class XDisplay {
  public:
    static std::unique_ptr<XDisplay> open(const std::string& name, std::string& error);
    ~XDisplay();
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    Display* get() const { return display_; }
    Window root() const { return root_; }
    int screen() const { return screen_; }
    Atom atom(AtomId id) const { return atoms_[static_cast<std::size_t>(id)]; }
    // The connection broke (the server went away): every further call is skipped. Looks at the
    // socket first, so that Xlib itself rarely meets the broken connection: its way out of that
    // (an I/O error whose exit handler returns) unlocks the display twice and keeps the display
    // locked for the thread that met it.
    bool lost();
    void mark_lost() { lost_.store(true); }
    // The bits of a window id that name the X client which made it (the same for every window of
    // one connection); 0 when the server's id layout could not be read.
    XID client_bits();

  private:
    explicit XDisplay(Display* display);

    Display* display_;
    Window root_;
    int screen_;
    std::array<Atom, static_cast<std::size_t>(AtomId::count)> atoms_{};
    std::atomic<bool> lost_{false};
    XID client_bits_ = 0;
    bool client_bits_read_ = false;
};

// Records the protocol errors of the calling thread while it lives. Requests with a reply report
// their error by the time the call returns; one-way requests only after `synced_ok`.
class ErrorTrap {
  public:
    explicit ErrorTrap(XDisplay& display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    bool clean() const;      // no error so far
    bool synced_ok();        // waits until the server has done everything sent, then `clean`
    int error_code() const;  // the first error's code (BadAccess, BadWindow...), 0 none

  private:
    XDisplay& display_;
};

// A property of 32-bit items (CARDINAL, WINDOW, ATOM lists); empty when it is missing, of
// another type, or the window is gone.
std::vector<unsigned long> read_items(XDisplay& display, Window window, Atom property, Atom type);
// A text property of the given type (any type when AnyPropertyType); nothing when missing.
std::optional<std::string> read_text(XDisplay& display, Window window, Atom property, Atom type);
// The window's title: _NET_WM_NAME in UTF-8, else WM_NAME (Latin-1 made UTF-8).
std::string window_title(XDisplay& display, Window window);

// Sends a 32-bit client message about `window` to `target` (the root window for requests to the
// window manager).
void send_client_message(XDisplay& display, Window target, Window window, Atom type,
                         std::array<long, 5> data, long event_mask);

}  // namespace vx::platform::x11
