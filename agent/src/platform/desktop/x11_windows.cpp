// The desktop's windows through Xlib and the window manager conventions (ICCCM, EWMH).

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>

#include "platform/desktop/x11_desktop.hpp"

namespace vx::platform::x11 {
namespace {

constexpr unsigned long kIconicState = 3;  // ICCCM 4.1.3.1, WM_STATE
// EWMH source indication 2: a pager or other tool acting for the user, which window managers
// obey without their focus-stealing checks.
constexpr long kSourcePager = 2;
constexpr int kMaxTreeDepth = 32;  // bounds the walk up from the tray to the root

bool contains(const std::vector<unsigned long>& items, Atom atom) {
    return std::find(items.begin(), items.end(), atom) != items.end();
}

std::vector<Window> children_of_root(XDisplay& d) {
    Window root = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned count = 0;
    std::vector<Window> out;
    if (!d.lost() && XQueryTree(d.get(), d.root(), &root, &parent, &children, &count) != 0) {
        out.assign(children, children + count);
    }
    if (children != nullptr) {
        XFree(children);
    }
    return out;
}

// Which windows hold the system tray: the tray's owner window, its ancestors below the root (a
// tray drawn inside a panel), and every window of the program that owns it (a tray whose
// selection sits on a hidden window of its own, as GTK's does).
class TrayHolder {
  public:
    explicit TrayHolder(XDisplay& d) : d_(d) {
        const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(d.screen());
        Window window = XGetSelectionOwner(d.get(), XInternAtom(d.get(), selection.c_str(), False));
        if (window != None) {
            client_ = window & d.client_bits();
        }
        for (int depth = 0; window != None && window != d.root() && depth < kMaxTreeDepth;
             ++depth) {
            ancestors_.push_back(window);
            window = parent_of(window);
        }
    }

    bool holds(Window window) const {
        return (client_ != 0 && (window & d_.client_bits()) == client_) ||
               std::find(ancestors_.begin(), ancestors_.end(), window) != ancestors_.end();
    }

  private:
    Window parent_of(Window window) const {
        Window root = None;
        Window parent = None;
        Window* children = nullptr;
        unsigned count = 0;
        const bool ok = XQueryTree(d_.get(), window, &root, &parent, &children, &count) != 0;
        if (children != nullptr) {
            XFree(children);
        }
        return ok ? parent : None;
    }

    XDisplay& d_;
    XID client_ = 0;
    std::vector<Window> ancestors_;
};

WindowTypes types_of(XDisplay& d, Window window) {
    static constexpr std::pair<AtomId, WindowType> kTypes[] = {
        {AtomId::net_wm_window_type_dock, WindowType::dock},
        {AtomId::net_wm_window_type_desktop, WindowType::desktop},
        {AtomId::net_wm_window_type_utility, WindowType::utility},
        {AtomId::net_wm_window_type_toolbar, WindowType::toolbar},
        {AtomId::net_wm_window_type_splash, WindowType::splash},
        {AtomId::net_wm_window_type_notification, WindowType::notification},
    };
    const auto listed = read_items(d, window, d.atom(AtomId::net_wm_window_type), XA_ATOM);
    WindowTypes types = 0;
    for (const auto& [atom, type] : kTypes) {
        if (contains(listed, d.atom(atom))) {
            types |= type_bit(type);
        }
    }
    return types;
}

bool iconic(XDisplay& d, Window window) {
    const auto wm_state = read_items(d, window, d.atom(AtomId::wm_state), d.atom(AtomId::wm_state));
    return !wm_state.empty() && wm_state.front() == kIconicState;
}

bool viewable(XDisplay& d, Window window) {
    XWindowAttributes attributes{};
    return !d.lost() && XGetWindowAttributes(d.get(), window, &attributes) != 0 &&
           attributes.map_state == IsViewable;
}

bool wm_takes_activation(XDisplay& d) {
    return contains(read_items(d, d.root(), d.atom(AtomId::net_supported), XA_ATOM),
                    d.atom(AtomId::net_active_window));
}

bool activate_window(XDisplay& d, Window window, bool wm_activates) {
    if (d.lost()) {
        return false;
    }
    if (wm_activates) {
        send_client_message(d, d.root(), window, d.atom(AtomId::net_active_window),
                            {kSourcePager, CurrentTime, 0, 0, 0},
                            SubstructureRedirectMask | SubstructureNotifyMask);
    } else {
        XMapRaised(d.get(), window);  // a map asks for the normal state (ICCCM 4.1.4)
    }
    return true;
}

class Connection final : public DesktopConnection {
  public:
    explicit Connection(std::unique_ptr<XDisplay> display) : d_(std::move(display)) {}

    std::vector<WindowId> client_windows() override {
        ErrorTrap trap(*d_);
        const auto items =
            read_items(*d_, d_->root(), d_->atom(AtomId::net_client_list), XA_WINDOW);
        return {items.begin(), items.end()};
    }

    std::vector<WindowId> shell_windows(ShellPart part) override {
        ErrorTrap trap(*d_);
        const WindowType wanted =
            part == ShellPart::taskbars ? WindowType::dock : WindowType::desktop;
        // Listed by the window manager, or bare children of the root (no window manager, or one
        // that does not list them).
        std::vector<Window> candidates;
        for (unsigned long w :
             read_items(*d_, d_->root(), d_->atom(AtomId::net_client_list), XA_WINDOW)) {
            candidates.push_back(w);
        }
        for (Window w : children_of_root(*d_)) {
            if (std::find(candidates.begin(), candidates.end(), w) == candidates.end()) {
                candidates.push_back(w);
            }
        }
        const TrayHolder tray(*d_);
        std::vector<WindowId> out;
        for (Window w : candidates) {
            if (!tray.holds(w) && (types_of(*d_, w) & type_bit(wanted)) != 0 && viewable(*d_, w)) {
                out.push_back(w);
            }
        }
        return out;
    }

    WindowFacts describe(WindowId id) override {
        ErrorTrap trap(*d_);
        const auto window = static_cast<Window>(id);
        WindowFacts facts;
        XWindowAttributes attributes{};
        if (d_->lost() || XGetWindowAttributes(d_->get(), window, &attributes) == 0) {
            return facts;
        }
        facts.exists = true;
        facts.viewable = attributes.map_state == IsViewable;
        const auto state = read_items(*d_, window, d_->atom(AtomId::net_wm_state), XA_ATOM);
        facts.minimized =
            iconic(*d_, window) || contains(state, d_->atom(AtomId::net_wm_state_hidden));
        facts.skip_taskbar = contains(state, d_->atom(AtomId::net_wm_state_skip_taskbar));
        Window owner = None;
        facts.has_owner = XGetTransientForHint(d_->get(), window, &owner) != 0 && owner != None;
        facts.types = types_of(*d_, window);
        const auto pid = read_items(*d_, window, d_->atom(AtomId::net_wm_pid), XA_CARDINAL);
        facts.pid = pid.empty() ? 0 : static_cast<std::uint32_t>(pid.front());
        facts.title = window_title(*d_, window);
        if (!trap.clean()) {
            return WindowFacts{};  // gone while we asked
        }
        return facts;
    }

    bool set_shown(WindowId window, bool shown) override {
        ErrorTrap trap(*d_);
        if (d_->lost()) {
            return false;
        }
        // The window manager stops managing an unmapped window and manages it afresh when it is
        // mapped again, as it does for a panel that restarts.
        shown ? XMapWindow(d_->get(), static_cast<Window>(window))
              : XUnmapWindow(d_->get(), static_cast<Window>(window));
        return trap.synced_ok();
    }

    bool minimize(WindowId window) override {
        ErrorTrap trap(*d_);
        return !d_->lost() &&
               XIconifyWindow(d_->get(), static_cast<Window>(window), d_->screen()) != 0 &&
               trap.synced_ok();
    }

    bool restore(WindowId window) override {
        ErrorTrap trap(*d_);
        if (!activation_known_) {
            wm_activates_ = wm_takes_activation(*d_);
            activation_known_ = true;
        }
        return activate_window(*d_, static_cast<Window>(window), wm_activates_) && trap.synced_ok();
    }

    WindowId active_window() override {
        ErrorTrap trap(*d_);
        const auto active =
            read_items(*d_, d_->root(), d_->atom(AtomId::net_active_window), XA_WINDOW);
        return active.empty() ? 0 : active.front();
    }

    bool window_manager_running() override {
        ErrorTrap trap(*d_);
        const Atom check = d_->atom(AtomId::net_supporting_wm_check);
        const auto on_root = read_items(*d_, d_->root(), check, XA_WINDOW);
        if (on_root.empty()) {
            return false;
        }
        // A window manager that died leaves its property on the root; the check window it
        // pointed to is gone with it.
        const auto on_child = read_items(*d_, on_root.front(), check, XA_WINDOW);
        return !on_child.empty() && on_child.front() == on_root.front();
    }

    void refresh() override {
        if (!d_->lost()) {
            XSync(d_->get(), False);
        }
    }

  private:
    std::unique_ptr<XDisplay> d_;
    bool activation_known_ = false;
    bool wm_activates_ = false;
};

}  // namespace

std::unique_ptr<DesktopConnection> connect(const std::string& display_name, std::string& error) {
    auto display = XDisplay::open(display_name, error);
    if (!display) {
        return nullptr;
    }
    return std::make_unique<Connection>(std::move(display));
}

}  // namespace vx::platform::x11
