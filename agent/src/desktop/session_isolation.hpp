#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "desktop/steam_launch.hpp"
#include "platform/desktop_platform.hpp"
#include "platform/wake_event.hpp"

namespace vx::desktop {

struct SessionIsolationConfig {
    bool hide_desktop = false;
    bool launch_steam = false;
    std::string steam_app_id;
    std::string steam_path;
};

// For the length of one session: the shell's panels and desktop icons hidden, the application
// windows minimised, the Super keys taken, a tray icon that brings windows and Steam back, and
// Steam started with a game. Applied once, restored once: by the session driver, the destructor
// or the crash handler, whichever comes first. Every step is guarded: a step that fails is
// logged and skipped, the next one runs.
class SessionIsolation {
  public:
    SessionIsolation(std::shared_ptr<platform::DesktopPlatform> desktop, SteamEnvironment steam);
    ~SessionIsolation();
    SessionIsolation(const SessionIsolation&) = delete;
    SessionIsolation& operator=(const SessionIsolation&) = delete;

    // True when every step that ran finished and, when asked for, Steam was started.
    bool apply(const SessionIsolationConfig& config);
    // Only the first call restores; safe from any thread, at once from several.
    void restore_once();
    // From here on the restore is the crash handler's: no locks, no waiting for threads, the
    // shell left alone, the windows restored by a separate bounded helper.
    void enter_crash_context() { crash_context_.store(true); }

    // Starts Steam as the session asks (apply, and the tray when Steam's window is gone).
    bool launch_steam();

  private:
    enum class Level { info, warn, error };
    template <typename... Args>
    void note(Level level, const char* format, const Args&... args) const;

    bool isolate_desktop();
    bool start_steam();
    platform::DesktopConnection* connection();
    void hide_shell();
    void minimize_all_windows();
    void start_keyboard_hook();
    void start_tray();

    void restore();
    void stop_tray(bool crash);
    void stop_hook(bool crash);
    void restore_minimized_windows(bool crash);
    void show_shell(bool crash);
    static void end_thread(std::thread& thread, bool crash);
    void release_tray_owner(bool crash);

    void keyboard_hook_thread();
    void run_keyboard_hook();
    void tray_thread();
    void run_tray();
    std::vector<platform::TrayMenuItem> tray_menu();
    void on_tray_command(int command);
    void show_steam_window(platform::DesktopConnection* windows);
    platform::DesktopConnection* tray_windows();

    const std::shared_ptr<platform::DesktopPlatform> desktop_;
    const SteamEnvironment steam_env_;
    // apply's connection, then restore's (never both at once). Opened at first use.
    std::unique_ptr<platform::DesktopConnection> connection_;
    bool connect_tried_ = false;

    bool shell_hidden_ = false;
    std::vector<platform::WindowId> hidden_shell_;  // what hide_shell hid, to show it again
    std::atomic<bool> steam_launched_{false};
    std::atomic<std::uint32_t> steam_pid_{0};
    std::mutex steam_mutex_;  // one launch at a time (apply and the tray)
    bool windows_minimized_ = false;
    bool hook_started_ = false;
    SessionIsolationConfig config_;
    std::atomic<bool> restored_{false};
    std::atomic<bool> crash_context_{false};
    // Filled by apply before the tray thread starts; then read by the tray under `tray_gate_` and
    // by the crash handler, and changed again only by restore once the tray has let go.
    std::vector<platform::WindowId> minimized_;

    std::thread hook_thread_;
    std::atomic<bool> hook_running_{false};
    std::unique_ptr<platform::WakeEvent> hook_wake_;

    std::thread tray_thread_;
    std::atomic<bool> tray_running_{false};
    std::unique_ptr<platform::WakeEvent> tray_wake_;
    // The tray's menu and commands act on this object only while they hold the gate and
    // `g_tray_owner` is this object; restore clears the owner under the gate first.
    std::mutex tray_gate_;
    std::unique_ptr<platform::DesktopConnection> tray_windows_;  // the tray thread's own
};

// The session's isolation for the crash handler: set by the session driver before `apply`,
// cleared after `restore_once` (and by the object's destructor).
extern std::atomic<SessionIsolation*> g_active_isolation;
// Whose menu the tray serves.
extern std::atomic<SessionIsolation*> g_tray_owner;

// The crash handler's hook: restores the active isolation in crash context and clears it.
void restore_isolation_on_crash() noexcept;

}  // namespace vx::desktop
