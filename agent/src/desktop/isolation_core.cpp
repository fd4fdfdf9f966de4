#include "desktop/isolation_core.hpp"

#include <unistd.h>

#include <atomic>
#include <functional>

#include "desktop/isolation_note.hpp"
#include "desktop/window_filter.hpp"
#include "platform/crash_handler.hpp"
#include "platform/thread_name.hpp"

namespace vx::desktop {
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

// Desktop jobs of any session that have not ended, those left waiting for the desktop among them.
std::atomic<int> g_desktop_jobs{0};

// Runs `job` on a thread of its own and waits for it until `deadline`. A job still waiting for
// the desktop then is left running: it holds what it uses. Throws std::system_error when no
// thread can be had.
bool run_bounded(std::function<void()> job, std::chrono::steady_clock::time_point deadline) {
    auto done = std::make_shared<network::DoneFlag>();
    ++g_desktop_jobs;
    std::thread thread;
    try {
        thread = std::thread([job = std::move(job), done] {
            platform::name_this_thread("vx-desktop");
            job();
            done->store(true);
            --g_desktop_jobs;
        });
    } catch (...) {
        --g_desktop_jobs;
        throw;
    }
    return network::join_with_deadline(thread, done, deadline) == network::JoinResult::joined;
}

}  // namespace

IsolationCore::IsolationCore(std::shared_ptr<platform::DesktopPlatform> desktop,
                             SteamEnvironment steam, std::chrono::milliseconds answer_limit)
    : desktop_(std::move(desktop)), steam_env_(std::move(steam)), answer_limit_(answer_limit) {}

void IsolationCore::finish() {
    // A restore in crash context leaves its threads running; a joinable thread must not reach
    // its destructor, whatever the flags say.
    stop_threads();
    const Deadline deadline = std::chrono::steady_clock::now() + answer_limit_;
    end_thread(tray_thread_, tray_done_, false, deadline);
    end_thread(hook_thread_, hook_done_, false, deadline);
}

bool IsolationCore::apply(const SessionIsolationConfig& config) {
    config_ = config;
    const bool desktop_ok = !config_.hide_desktop || isolate_desktop();
    const bool steam_ok = !config_.launch_steam || start_steam();
    return desktop_ok && steam_ok;
}

void IsolationCore::note_no_answer(const char* what) const {
    note(Level::warn, "SessionIsolation: desktop did not answer within {:g} s - {}",
         std::chrono::duration<double>(answer_limit_).count(), what);
}

bool IsolationCore::isolate_desktop() {
    // Between sessions no desktop job runs: one that still does is an earlier session's, waiting
    // for a desktop that stopped answering, and every further job would wait beside it.
    if (g_desktop_jobs.load() > 0) {
        give_up();
        note(Level::warn,
             "SessionIsolation: the desktop has not answered since an earlier session - isolation "
             "skipped (the shell, the windows and the Windows key stay as they are)");
        return false;
    }
    bool answered = false;
    const auto job = [self = shared_from_this()] {
        std::lock_guard jobs(self->desktop_jobs_);
        self->desktop_steps_ok_ = self->hide_and_minimize();
    };
    if (!guarded([&] {
            answered = run_bounded(job, std::chrono::steady_clock::now() + answer_limit_);
        })) {
        note(Level::error,
             "SessionIsolation: no thread for the desktop steps - the shell and the windows stay "
             "as they are");
        return false;
    }
    if (!answered) {
        give_up();
        note_no_answer(
            "isolation skipped (the shell, the windows and the Windows key stay as they are)");
        return false;
    }
    bool ok = desktop_steps_ok_;
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
        release_tray_owner();
        note(Level::error,
             "SessionIsolation: tray icon creation crashed - continuing without tray control");
    }
    return ok;
}

bool IsolationCore::hide_and_minimize() {
    bool ok = true;
    // Read before anything is hidden or minimised: the focus goes back there at the end.
    guarded([&] {
        platform::DesktopConnection* desktop = connection();
        const platform::WindowId focus =
            desktop != nullptr && !given_up() ? desktop->active_window() : 0;
        publish_plan([&](RestorePlan& plan) { plan.focus = focus; });
    });
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
    return ok;
}

bool IsolationCore::start_steam() {
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

platform::DesktopConnection* IsolationCore::connection() {
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

void IsolationCore::give_up() {
    std::lock_guard lock(plan_mutex_);
    given_up_.store(true);
}

bool IsolationCore::publish_plan(const std::function<void(RestorePlan&)>& change) {
    std::lock_guard lock(plan_mutex_);
    if (given_up()) {
        return false;
    }
    change(plan_);
    if (!plan_.empty()) {  // the focus alone is nothing to hand on
        prepare_restores();
    }
    return true;
}

// Made here, in ordinary code, so that the crash handler only has to start one.
void IsolationCore::prepare_restores() {
    const std::string log_path = platform::crash_log_file().string();
    RestorePlan windows_only = plan_;
    windows_only.shell.clear();  // a crash leaves the shell alone
    const std::pair<const RestorePlan*, std::atomic<const PreparedRestore*>*> slots[] = {
        {&plan_, &whole_restore_}, {&windows_only, &windows_restore_}};
    for (const auto& [plan, slot] : slots) {
        auto prepared = std::make_unique<PreparedRestore>();
        prepared->process =
            desktop_->prepare_restore_process(restore_process_arguments(*plan, log_path));
        prepared->windows = plan->windows.size();
        prepared->shell = !plan->shell.empty();
        slot->store(prepared->process ? prepared.get() : nullptr);
        prepared_.push_back(std::move(prepared));
    }
}

// Once apply has given up waiting (the desktop answered too late), nothing more is changed: the
// session goes on as if isolation had been refused. What is listed is published before it is
// touched, so that a restore (also the crash handler's, also one handed on) finds all of it.
void IsolationCore::hide_shell() {
    platform::DesktopConnection* desktop = connection();
    if (desktop == nullptr || given_up()) {
        return;
    }
    std::vector<platform::WindowId> shell;
    for (const auto part : {platform::ShellPart::taskbars, platform::ShellPart::desktop_icons}) {
        const std::vector<platform::WindowId> windows = desktop->shell_windows(part);
        shell.insert(shell.end(), windows.begin(), windows.end());
    }
    if (!publish_plan([&](RestorePlan& plan) { plan.shell = shell; })) {
        return;
    }
    for (const platform::WindowId window : shell) {
        if (!given_up() && desktop->set_shown(window, false)) {
            hidden_shell_.push_back(window);
        }
    }
    shell_hidden_ = true;
    note(Level::info, "SessionIsolation: desktop shell hidden");
}

void IsolationCore::minimize_all_windows() {
    platform::DesktopConnection* desktop = connection();
    if (desktop == nullptr || given_up()) {
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
    if (!publish_plan([&](RestorePlan& plan) { plan.windows = chosen; })) {
        return;
    }
    minimized_ = std::move(chosen);
    windows_minimized_ = !minimized_.empty();
    for (const platform::WindowId window : minimized_) {
        if (!given_up()) {
            desktop->minimize(window);
        }
    }
    note(Level::info, "SessionIsolation: minimized {} application windows", minimized_.size());
}

void IsolationCore::start_keyboard_hook() {
    if (hook_started_) {
        return;
    }
    if (!hook_wake_) {
        hook_wake_ = std::make_unique<platform::WakeEvent>();
    }
    hook_done_ = std::make_shared<network::DoneFlag>();
    hook_running_.store(true);
    hook_thread_ = std::thread([self = shared_from_this(), done = hook_done_] {
        self->keyboard_hook_thread();
        done->store(true);
    });
    hook_started_ = true;
}

void IsolationCore::start_tray() {
    if (tray_running_.load() || tray_thread_.joinable()) {
        return;
    }
    if (!tray_wake_) {
        tray_wake_ = std::make_unique<platform::WakeEvent>();
    }
    tray_done_ = std::make_shared<network::DoneFlag>();
    tray_running_.store(true);
    {
        std::lock_guard gate(tray_gate_);
        g_tray_owner.store(this);
    }
    tray_thread_ = std::thread([self = shared_from_this(), done = tray_done_] {
        self->tray_thread();
        done->store(true);
    });
    note(Level::info, "SessionIsolation: tray thread started");
}

bool IsolationCore::launch_steam() {
    std::lock_guard lock(steam_mutex_);
    const SteamLaunch launched =
        desktop::launch_steam(config_.steam_app_id, config_.steam_path, steam_env_);
    if (launched.started) {
        steam_pid_.store(launched.pid);
        steam_launched_.store(true);
    }
    return launched.started;
}

void IsolationCore::restore_once() {
    if (!restored_.exchange(true)) {
        restore();
        return;
    }
    if (crash_context_.load()) {
        // The crash came while the ordinary restore waited for the desktop, or before it could
        // hand on what the desktop kept it from: the whole restore goes to a process of its own.
        hand_off(whole_restore_.load(), true);
    }
}

// Every wait shares one deadline, so a desktop that does not answer holds the session's end for
// the answer limit once, not once per step.
void IsolationCore::restore() {
    const bool crash = crash_context_.load();
    const Deadline deadline = std::chrono::steady_clock::now() + answer_limit_;
    guarded([&] { stop_threads(); });
    guarded([&] { end_tray(crash, deadline); });
    guarded([&] { end_hook(crash, deadline); });
    if (!crash) {
        guarded([&] { restore_desktop(deadline); });
        return;
    }
    guarded([&] { restore_minimized_windows(true); });
    if (!guarded([&] { show_shell(true); })) {
        shell_hidden_ = false;
    }
}

// Flags and wake-ups only: async-signal-safe, so the crash handler's restore does it too.
void IsolationCore::stop_threads() {
    release_tray_owner();
    tray_running_.store(false);
    hook_running_.store(false);
    for (auto* wake : {hook_wake_.get(), tray_wake_.get()}) {
        if (wake != nullptr) {
            wake->signal();
        }
    }
}

// No lock: a tray command already past its owner check finishes, and the restore's job waits for
// it at the gate.
void IsolationCore::release_tray_owner() {
    IsolationCore* self = this;
    g_tray_owner.compare_exchange_strong(self, nullptr);
}

bool IsolationCore::end_thread(std::thread& thread, const network::DoneFlagPtr& done, bool crash,
                               Deadline deadline) {
    if (!thread.joinable() || crash) {
        return true;  // crash context: the process is ending, nobody waits for anything
    }
    return network::join_with_deadline(thread, done, deadline) != network::JoinResult::timed_out;
}

void IsolationCore::end_tray(bool crash, Deadline deadline) {
    if (!tray_thread_.joinable()) {
        return;
    }
    if (!end_thread(tray_thread_, tray_done_, crash, deadline)) {
        note_no_answer("the tray thread is left behind, the icon goes when it answers");
        return;
    }
    note(Level::info, "SessionIsolation: tray icon destroyed");
}

void IsolationCore::end_hook(bool crash, Deadline deadline) {
    if (!hook_started_ && !hook_thread_.joinable()) {
        return;
    }
    hook_started_ = false;
    if (!end_thread(hook_thread_, hook_done_, crash, deadline)) {
        note_no_answer("the keyboard hook thread is left behind, it lets go when it answers");
        return;
    }
    note(Level::info, "SessionIsolation: keyboard hook removed");
}

void IsolationCore::restore_desktop(Deadline deadline) {
    {
        std::lock_guard lock(plan_mutex_);
        if (plan_.empty()) {
            // Nothing was changed, and nothing can be any more (apply's job has ended, or was
            // given up on): nothing to wait for.
            return;
        }
    }
    const auto job = [self = shared_from_this()] {
        std::lock_guard jobs(self->desktop_jobs_);
        guarded([&] { self->restore_minimized_windows(false); });
        if (!guarded([&] { self->show_shell(false); })) {
            self->shell_hidden_ = false;
        }
        guarded([&] { self->give_back_focus(); });
        self->restore_finished_.store(true);
    };
    if (!run_bounded(job, deadline)) {
        // The job still finishes if the desktop answers while the agent runs; the process
        // finishes it also when the agent has stopped by then.
        hand_off(whole_restore_.load(), false);
    }
}

void IsolationCore::hand_off(const PreparedRestore* restore, bool crash) {
    if (restore == nullptr || (restore->windows == 0 && !restore->shell) ||
        restore_finished_.load() || handed_off_.exchange(true)) {
        return;
    }
    const char* shell = restore->shell ? " and the desktop shell" : "";
    const pid_t pid = restore->process->start();
    if (pid < 0) {
        note(Level::error,
             "SessionIsolation: no process could be started to restore {} windows{} once the "
             "desktop answers",
             restore->windows, shell);
        return;
    }
    if (crash) {
        // Nobody waits for the crashing process: a desktop that answers is restored within the
        // answer limit, as the ordinary restore would be.
        const platform::ProcessOutcome outcome = restore->process->wait(pid, answer_limit_);
        if (outcome.exited_ok()) {
            note(Level::info, "SessionIsolation: restored {} windows{}", restore->windows, shell);
            return;
        }
        if (outcome.state == platform::ProcessState::exited ||
            outcome.state == platform::ProcessState::signalled) {
            note(Level::error, "SessionIsolation: the restore of {} windows{} failed ({} {})",
                 restore->windows, shell,
                 outcome.state == platform::ProcessState::exited ? "exit status" : "signal",
                 outcome.status);
            return;
        }
    } else {
        restore->process->run_on(pid);
    }
    note(Level::info,
         "SessionIsolation: handed the restore of {} windows{} to process {}, which waits up to "
         "{} s for the desktop",
         restore->windows, shell, pid, kRestoreProcessWait.count());
}

void IsolationCore::restore_minimized_windows(bool crash) {
    if (crash) {
        // The session's connection may be in the middle of a request of the thread that
        // crashed: a process of its own does it.
        hand_off(windows_restore_.load(), true);
        return;
    }
    if (!windows_minimized_) {
        return;
    }
    std::lock_guard gate(tray_gate_);
    if (platform::DesktopConnection* desktop = connection_.get()) {
        restore_windows(*desktop, minimized_);
        desktop->refresh();
    }
    note(Level::info, "SessionIsolation: restored {} windows", minimized_.size());
    minimized_.clear();
    windows_minimized_ = false;
}

void IsolationCore::show_shell(bool crash) {
    if (!shell_hidden_ && hidden_shell_.empty()) {
        return;
    }
    if (crash) {
        note(Level::warn, "SessionIsolation: skipping ShowWindow in crash-handler context");
        return;
    }
    if (platform::DesktopConnection* desktop = connection_.get()) {
        show_windows(*desktop, hidden_shell_);
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

// Last: activating a window brings it forward, and the windows restored before took the focus.
void IsolationCore::give_back_focus() {
    if (platform::DesktopConnection* desktop = connection_.get()) {
        platform::WindowId focus = 0;
        {
            std::lock_guard lock(plan_mutex_);
            focus = plan_.focus;
        }
        return_focus(*desktop, focus);
    }
}

}  // namespace vx::desktop
