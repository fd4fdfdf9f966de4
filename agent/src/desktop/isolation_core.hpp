#pragma once

// What SessionIsolation does, shared by ownership with the threads it starts: Xlib has no
// time-outs, so a thread that waits for a desktop which stopped answering is left behind, and it
// must still find everything it uses.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "desktop/restore_plan.hpp"
#include "desktop/session_isolation.hpp"
#include "platform/desktop_platform.hpp"
#include "platform/wake_event.hpp"
#include "util/io/join_with_deadline.hpp"

namespace vx::desktop {

class IsolationCore : public std::enable_shared_from_this<IsolationCore> {
  public:
    // Made only by std::make_shared (its threads hold it through shared_from_this).
    IsolationCore(std::shared_ptr<platform::DesktopPlatform> desktop, SteamEnvironment steam,
                  std::chrono::milliseconds answer_limit);
    IsolationCore(const IsolationCore&) = delete;
    IsolationCore& operator=(const IsolationCore&) = delete;

    bool apply(const SessionIsolationConfig& config);
    // In crash context after an ordinary restore began, hands on what it has not finished.
    void restore_once();
    void enter_crash_context() { crash_context_.store(true); }
    bool launch_steam();
    // Ends the threads that a restore in crash context left running, within the answer limit,
    // and stops serving the tray: no thread is joinable afterwards.
    void finish();

  private:
    using Deadline = std::chrono::steady_clock::time_point;
    enum class Level { info, warn, error };
    template <typename... Args>
    void note(Level level, const char* format, const Args&... args) const;
    void note_no_answer(const char* what) const;

    // A restore process prepared for a plan, with what it brings back (for the log).
    struct PreparedRestore {
        std::unique_ptr<platform::DetachedProcess> process;
        std::size_t windows = 0;
        bool shell = false;
    };

    bool isolate_desktop();
    bool hide_and_minimize();
    bool given_up() const { return given_up_.load(); }
    void give_up();
    // Records what apply's job is about to change, before it changes it: false once apply has
    // given up, when nothing more may be changed.
    bool publish_plan(const std::function<void(RestorePlan&)>& change);
    void prepare_restores();
    // Starts the restore process of `restore` (at most once per isolation): in crash context it
    // waits the answer limit for it, to say whether it restored or runs on.
    void hand_off(const PreparedRestore* restore, bool crash);
    bool start_steam();
    platform::DesktopConnection* connection();
    void hide_shell();
    void minimize_all_windows();
    void start_keyboard_hook();
    void start_tray();

    void restore();
    void stop_threads();
    void end_tray(bool crash, Deadline deadline);
    void end_hook(bool crash, Deadline deadline);
    void restore_desktop(Deadline deadline);
    void restore_minimized_windows(bool crash);
    void show_shell(bool crash);
    void give_back_focus();
    static bool end_thread(std::thread& thread, const network::DoneFlagPtr& done, bool crash,
                           Deadline deadline);
    void release_tray_owner();

    void keyboard_hook_thread();
    void run_keyboard_hook();
    void tray_thread();
    void run_tray();
    std::vector<platform::TrayMenuItem> tray_menu(std::size_t max_lines);
    void on_tray_command(int command);
    void show_steam_window(platform::DesktopConnection* windows);
    platform::DesktopConnection* tray_windows();

    const std::shared_ptr<platform::DesktopPlatform> desktop_;
    const SteamEnvironment steam_env_;
    const std::chrono::milliseconds answer_limit_;

    // The desktop steps of apply and of restore each run as a job on a thread of their own, one
    // after the other: the job holds `desktop_jobs_` for its whole length, so a restore queues
    // behind an apply that still waits for the desktop. Everything below up to the Steam fields
    // belongs to whichever job holds it (the crash handler only reads the window list).
    std::mutex desktop_jobs_;
    std::atomic<bool> given_up_{false};  // apply stopped waiting: its job changes nothing more
    bool desktop_steps_ok_ = true;       // the apply job's result, read once it has ended
    // apply's connection, then restore's. Opened at first use.
    std::unique_ptr<platform::DesktopConnection> connection_;
    bool connect_tried_ = false;
    bool shell_hidden_ = false;
    std::vector<platform::WindowId> hidden_shell_;  // what hide_shell hid, to show it again
    bool windows_minimized_ = false;

    // What apply's job changes, published before each change (under `plan_mutex_`, with the
    // give-up), and the restore processes prepared for it: the whole restore for a restore that
    // cannot finish, the windows alone for the crash handler's. Every one prepared is kept: the
    // crash handler may be holding any of them.
    std::mutex plan_mutex_;
    RestorePlan plan_;
    std::vector<std::unique_ptr<PreparedRestore>> prepared_;
    std::atomic<const PreparedRestore*> whole_restore_{nullptr};
    std::atomic<const PreparedRestore*> windows_restore_{nullptr};
    std::atomic<bool> restore_finished_{false};  // the desktop's restore ran to its end
    std::atomic<bool> handed_off_{false};

    std::atomic<bool> steam_launched_{false};
    std::atomic<std::uint32_t> steam_pid_{0};
    std::mutex steam_mutex_;  // one launch at a time (apply and the tray)
    bool hook_started_ = false;
    SessionIsolationConfig config_;
    std::atomic<bool> restored_{false};
    std::atomic<bool> crash_context_{false};
    // Filled by apply's job before the tray thread starts; then read by the tray under
    // `tray_gate_` and by the crash handler, and changed again only by restore's job, under the
    // gate.
    std::vector<platform::WindowId> minimized_;

    std::thread hook_thread_;
    network::DoneFlagPtr hook_done_;
    std::atomic<bool> hook_running_{false};
    std::unique_ptr<platform::WakeEvent> hook_wake_;

    std::thread tray_thread_;
    network::DoneFlagPtr tray_done_;
    std::atomic<bool> tray_running_{false};
    std::unique_ptr<platform::WakeEvent> tray_wake_;
    // The tray's menu and commands act on this object only while they hold the gate and
    // `g_tray_owner` is this object; restore clears the owner first.
    std::mutex tray_gate_;
    std::unique_ptr<platform::DesktopConnection> tray_windows_;  // the tray thread's own
};

}  // namespace vx::desktop
