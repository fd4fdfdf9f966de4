// The two threads of an isolated session: the keyboard hook and the tray icon with its menu.

#include <exception>

#include "desktop/isolation_note.hpp"
#include "desktop/restore_plan.hpp"
#include "desktop/super_key_filter.hpp"
#include "desktop/tray_menu.hpp"
#include "desktop/window_filter.hpp"
#include "platform/thread_name.hpp"
#include "util/ascii.hpp"

namespace vx::desktop {
namespace {

// Both loops also look at their running flag this often, besides being woken.
constexpr std::chrono::milliseconds kHookPollStep{50};
constexpr std::chrono::milliseconds kTrayPollStep{100};

bool is_steam_image(const std::string& image) {
    return util::ascii_lower(image) == "steam";
}

}  // namespace

void IsolationCore::keyboard_hook_thread() {
    platform::name_this_thread("vx-key-hook");
    try {
        run_keyboard_hook();
    } catch (const std::exception& e) {
        note(Level::error, "SessionIsolation: keyboard hook thread failed: {}", e.what());
    }
    hook_running_.store(false);
}

void IsolationCore::run_keyboard_hook() {
    std::string error;
    const std::unique_ptr<platform::KeyGrab> grab = desktop_->grab_super_keys(error);
    if (!grab) {
        note(Level::warn,
             "SessionIsolation: Super key grab failed ({}) - Windows key remains available", error);
        return;
    }
    note(Level::info, "SessionIsolation: low-level keyboard hook installed (Windows key blocked)");
    SuperKeyFilter filter;
    while (hook_running_.load()) {
        if (!grab->pump(filter)) {
            note(Level::warn,
                 "SessionIsolation: the keyboard hook lost its desktop connection - Windows "
                 "key available again");
            return;
        }
        hook_wake_->wait(grab->wait_fd(), kHookPollStep);
    }
}

void IsolationCore::tray_thread() {
    platform::name_this_thread("vx-tray");
    try {
        run_tray();
    } catch (const std::exception& e) {
        note(Level::error, "SessionIsolation: tray thread failed: {}", e.what());
    }
    tray_windows_.reset();
    tray_running_.store(false);
}

void IsolationCore::run_tray() {
    std::string error;
    platform::TrayRefusal refusal = platform::TrayRefusal::none;
    const std::unique_ptr<platform::TrayIcon> icon =
        desktop_->show_tray_icon(kTrayTip, refusal, error);
    if (!icon) {
        if (refusal == platform::TrayRefusal::no_tray) {
            note(Level::warn,
                 "SessionIsolation: no system tray available ({}) - continuing without tray "
                 "control",
                 error);
        } else {
            note(Level::warn, "SessionIsolation: failed to create tray window (err={})", error);
        }
        return;
    }
    note(Level::info,
         "SessionIsolation: tray icon created \xE2\x80\x94 right-click to manage windows");
    const platform::TrayCallbacks callbacks{[this](std::size_t lines) { return tray_menu(lines); },
                                            [this](int command) { on_tray_command(command); }};
    while (tray_running_.load()) {
        if (!icon->pump(callbacks)) {
            note(Level::warn, "SessionIsolation: the tray icon lost its desktop connection");
            return;
        }
        tray_wake_->wait(icon->wait_fd(), kTrayPollStep);
    }
}

platform::DesktopConnection* IsolationCore::tray_windows() {
    if (!tray_windows_) {
        std::string error;
        tray_windows_ = desktop_->connect(error);
    }
    return tray_windows_.get();
}

std::vector<platform::TrayMenuItem> IsolationCore::tray_menu(std::size_t max_lines) {
    std::lock_guard gate(tray_gate_);
    if (g_tray_owner.load() != this) {
        return {};
    }
    TrayMenuState state;
    state.steam = steam_launched_.load() || steam_pid_.load() != 0 || config_.launch_steam;
    platform::DesktopConnection* windows = tray_windows();
    for (const platform::WindowId window : minimized_) {
        const platform::WindowFacts facts =
            windows != nullptr ? windows->describe(window) : platform::WindowFacts{};
        state.window_titles.push_back(facts.exists ? facts.title : std::string());
    }
    return build_tray_menu(state, max_lines);
}

void IsolationCore::on_tray_command(int command) {
    std::lock_guard gate(tray_gate_);
    if (g_tray_owner.load() != this) {
        return;  // restore has begun: the object is no longer the tray's to act on
    }
    const TrayCommand chosen = decode_tray_command(command, minimized_.size());
    platform::DesktopConnection* windows = tray_windows();
    switch (chosen.kind) {
        case TrayCommand::Kind::show_steam:
            show_steam_window(windows);
            break;
        case TrayCommand::Kind::restore_all:
            if (windows != nullptr) {
                restore_windows(*windows, minimized_);
            }
            note(Level::info, "SessionIsolation: tray -> restored all windows");
            break;
        case TrayCommand::Kind::restore_window:
            if (windows != nullptr && windows->describe(minimized_[chosen.window]).exists) {
                windows->restore(minimized_[chosen.window]);
                note(Level::info, "SessionIsolation: tray -> restored window #{}", chosen.window);
            }
            break;
        case TrayCommand::Kind::none:
            break;
    }
}

void IsolationCore::show_steam_window(platform::DesktopConnection* windows) {
    const std::uint32_t steam_pid = steam_pid_.load();
    for (const platform::WindowId window :
         windows != nullptr ? windows->client_windows() : std::vector<platform::WindowId>{}) {
        const platform::WindowFacts facts = windows->describe(window);
        if (!facts.exists || facts.title.empty()) {
            continue;
        }
        if ((steam_pid != 0 && facts.pid == steam_pid) ||
            is_steam_image(file_name_from_path(desktop_->process_image_name(facts.pid)))) {
            windows->restore(window);
            note(Level::info, "SessionIsolation: restored Steam window");
            return;
        }
    }
    if (config_.launch_steam) {
        note(Level::info, "SessionIsolation: Steam window not found, relaunching Steam");
        if (launch_steam()) {
            return;
        }
    }
    note(Level::warn, "SessionIsolation: tray -> Steam window not found");
}

}  // namespace vx::desktop
