#include "desktop/session_isolation.hpp"

#include <unistd.h>

#include "desktop/isolation_note.hpp"
#include "desktop/window_filter.hpp"

namespace vx::desktop {

std::atomic<SessionIsolation*> g_active_isolation{nullptr};
std::atomic<SessionIsolation*> g_tray_owner{nullptr};

namespace {

// A step of apply or restore: whatever it throws ends the step only. (A fault inside a step, a
// signal on Linux, is the crash handler's; the desktop calls themselves report errors as values.)
template <typename Step>
bool guarded(Step&& step) noexcept {
    try {
        step();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

SessionIsolation::SessionIsolation(std::shared_ptr<platform::DesktopPlatform> desktop,
                                   SteamEnvironment steam)
    : desktop_(std::move(desktop)), steam_env_(std::move(steam)) {}

SessionIsolation::~SessionIsolation() {
    restore_once();
    // A restore in crash context leaves its threads running; a joinable thread must not reach
    // its destructor, whatever the flags say.
    hook_running_.store(false);
    tray_running_.store(false);
    for (auto* wake : {hook_wake_.get(), tray_wake_.get()}) {
        if (wake != nullptr) {
            wake->signal();
        }
    }
    end_thread(tray_thread_, false);
    end_thread(hook_thread_, false);
    release_tray_owner(false);
    SessionIsolation* self = this;
    g_active_isolation.compare_exchange_strong(self, nullptr);
}

bool SessionIsolation::apply(const SessionIsolationConfig& config) {
    config_ = config;
    const bool desktop_ok = !config_.hide_desktop || isolate_desktop();
    const bool steam_ok = !config_.launch_steam || start_steam();
    return desktop_ok && steam_ok;
}

bool SessionIsolation::isolate_desktop() {
    bool ok = true;
    if (!guarded([&] { hide_shell(); })) {
        ok = false;
        shell_hidden_ = false;  // what it did hide stays listed and is shown at restore
        note(Level::error,
             "SessionIsolation: hiding desktop shell crashed - isolation step skipped");
    }
    if (!guarded([&] { minimize_all_windows(); })) {
        ok = false;
        // The windows it already minimised stay listed: restore brings them back.
        windows_minimized_ = !minimized_.empty();
        note(Level::error,
             "SessionIsolation: minimize_all_windows crashed - skipping window minimization");
    }
    if (!guarded([&] { start_keyboard_hook(); })) {
        ok = false;
        hook_started_ = false;
        hook_running_.store(false);
        note(Level::error,
             "SessionIsolation: keyboard hook install crashed - Windows key remains available");
    }
    if (!guarded([&] { start_tray(); })) {
        ok = false;
        tray_running_.store(false);
        release_tray_owner(false);
        note(Level::error,
             "SessionIsolation: tray icon creation crashed - continuing without tray control");
    }
    return ok;
}

bool SessionIsolation::start_steam() {
    bool launched = false;
    if (!guarded([&] { launched = launch_steam(); })) {
        steam_launched_.store(false);
        steam_pid_.store(0);
        note(Level::error,
             "SessionIsolation: Steam launch crashed - continuing without Steam automation");
        return false;
    }
    if (!launched) {
        note(Level::warn, "SessionIsolation: Steam launch failed - continuing without it");
    }
    return launched;
}

platform::DesktopConnection* SessionIsolation::connection() {
    if (!connect_tried_) {
        connect_tried_ = true;
        std::string error;
        connection_ = desktop_->connect(error);
        if (!connection_) {
            note(Level::warn,
                 "SessionIsolation: no desktop to isolate ({}) - the shell and the windows "
                 "stay as they are",
                 error);
        }
    }
    return connection_.get();
}

void SessionIsolation::hide_shell() {
    platform::DesktopConnection* desktop = connection();
    if (desktop == nullptr) {
        return;
    }
    for (const auto part : {platform::ShellPart::taskbars, platform::ShellPart::desktop_icons}) {
        for (const platform::WindowId window : desktop->shell_windows(part)) {
            if (desktop->set_shown(window, false)) {
                hidden_shell_.push_back(window);
            }
        }
    }
    shell_hidden_ = true;
    note(Level::info, "SessionIsolation: desktop shell hidden");
}

void SessionIsolation::minimize_all_windows() {
    platform::DesktopConnection* desktop = connection();
    if (desktop == nullptr) {
        return;
    }
    const auto own_pid = static_cast<std::uint32_t>(::getpid());
    const auto image_name = [this](std::uint32_t pid) { return desktop_->process_image_name(pid); };
    std::vector<platform::WindowId> chosen;
    for (const platform::WindowId window : desktop->client_windows()) {
        if (should_minimize_window(desktop->describe(window), own_pid, image_name)) {
            chosen.push_back(window);
        }
    }
    // Listed before any is touched, so a restore (also the crash handler's) finds every one.
    minimized_ = std::move(chosen);
    windows_minimized_ = !minimized_.empty();
    for (const platform::WindowId window : minimized_) {
        desktop->minimize(window);
    }
    note(Level::info, "SessionIsolation: minimized {} application windows", minimized_.size());
}

void SessionIsolation::start_keyboard_hook() {
    if (hook_started_) {
        return;
    }
    if (!hook_wake_) {
        hook_wake_ = std::make_unique<platform::WakeEvent>();
    }
    hook_running_.store(true);
    hook_thread_ = std::thread(&SessionIsolation::keyboard_hook_thread, this);
    hook_started_ = true;
}

void SessionIsolation::start_tray() {
    if (tray_running_.load() || tray_thread_.joinable()) {
        return;
    }
    if (!tray_wake_) {
        tray_wake_ = std::make_unique<platform::WakeEvent>();
    }
    tray_running_.store(true);
    {
        std::lock_guard gate(tray_gate_);
        g_tray_owner.store(this);
    }
    tray_thread_ = std::thread(&SessionIsolation::tray_thread, this);
    note(Level::info, "SessionIsolation: tray thread started");
}

bool SessionIsolation::launch_steam() {
    std::lock_guard lock(steam_mutex_);
    const SteamLaunch launched =
        desktop::launch_steam(config_.steam_app_id, config_.steam_path, steam_env_);
    if (launched.started) {
        steam_pid_.store(launched.pid);
        steam_launched_.store(true);
    }
    return launched.started;
}

void SessionIsolation::restore_once() {
    if (!restored_.exchange(true)) {
        restore();
    }
}

void SessionIsolation::restore() {
    const bool crash = crash_context_.load();
    guarded([&] { stop_tray(crash); });
    guarded([&] { stop_hook(crash); });
    guarded([&] { restore_minimized_windows(crash); });
    if (!guarded([&] { show_shell(crash); })) {
        shell_hidden_ = false;
    }
}

void SessionIsolation::release_tray_owner(bool crash) {
    SessionIsolation* self = this;
    if (crash) {
        g_tray_owner.compare_exchange_strong(self, nullptr);  // no lock in a signal handler
        return;
    }
    std::lock_guard gate(tray_gate_);
    g_tray_owner.compare_exchange_strong(self, nullptr);
}

void SessionIsolation::end_thread(std::thread& thread, bool crash) {
    if (!thread.joinable() || crash) {
        return;  // crash context: the process is ending, nobody waits for anything
    }
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

void SessionIsolation::stop_tray(bool crash) {
    if (!tray_thread_.joinable()) {
        return;
    }
    release_tray_owner(crash);
    tray_running_.store(false);
    tray_wake_->signal();
    end_thread(tray_thread_, crash);
    note(Level::info, "SessionIsolation: tray icon destroyed");
}

void SessionIsolation::stop_hook(bool crash) {
    if (!hook_started_ && !hook_thread_.joinable()) {
        return;
    }
    hook_running_.store(false);
    if (hook_wake_) {
        hook_wake_->signal();
    }
    end_thread(hook_thread_, crash);
    hook_started_ = false;
    note(Level::info, "SessionIsolation: keyboard hook removed");
}

void SessionIsolation::restore_minimized_windows(bool crash) {
    if (!windows_minimized_) {
        return;
    }
    if (crash) {
        // The list stays as it is: the thread that crashed may be walking it.
        desktop_->restore_windows_after_crash(minimized_.data(), minimized_.size());
        note(Level::info, "SessionIsolation: restored {} windows", minimized_.size());
        return;
    }
    if (platform::DesktopConnection* desktop = connection_.get()) {
        for (const platform::WindowId window : minimized_) {
            // A window closed meanwhile is gone; one the user brought back stays as it is.
            const platform::WindowFacts facts = desktop->describe(window);
            if (facts.exists && facts.minimized) {
                desktop->restore(window);
            }
        }
        desktop->refresh();
    }
    note(Level::info, "SessionIsolation: restored {} windows", minimized_.size());
    minimized_.clear();
    windows_minimized_ = false;
}

void SessionIsolation::show_shell(bool crash) {
    if (!shell_hidden_ && hidden_shell_.empty()) {
        return;
    }
    if (crash) {
        note(Level::warn, "SessionIsolation: skipping ShowWindow in crash-handler context");
        return;
    }
    if (platform::DesktopConnection* desktop = connection_.get()) {
        for (const platform::WindowId window : hidden_shell_) {
            desktop->set_shown(window, true);
        }
        if (desktop->window_manager_running()) {
            desktop->refresh();
        } else {
            // Nothing like a shell to start again here: the panels come back mapped, unmanaged.
            note(Level::warn,
                 "SessionIsolation: the desktop's window manager is not running - there is no "
                 "shell to restart");
        }
    }
    hidden_shell_.clear();
    shell_hidden_ = false;
    note(Level::info, "SessionIsolation: desktop shell restored");
}

void restore_isolation_on_crash() noexcept {
    try {
        if (SessionIsolation* isolation = g_active_isolation.load()) {
            isolation->enter_crash_context();
            isolation->restore_once();
        }
    } catch (...) {
    }
    g_active_isolation.store(nullptr);
}

}  // namespace vx::desktop
