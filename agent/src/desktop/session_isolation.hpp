#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "desktop/steam_launch.hpp"
#include "platform/desktop_platform.hpp"

namespace vx::desktop {

struct SessionIsolationConfig {
    bool hide_desktop = false;
    bool launch_steam = false;
    std::string steam_app_id;
    std::string steam_path;
};

// How long the session's start and end wait for the desktop at most. Xlib has no time-outs: a
// desktop that stopped answering (its X server stopped) would hold them for ever.
inline constexpr std::chrono::milliseconds kDesktopAnswerLimit{2000};

class IsolationCore;

// For the length of one session: the shell's panels and desktop icons hidden, the application
// windows minimised, the Super keys taken, a tray icon that brings windows and Steam back, and
// Steam started with a game. Applied once, restored once: by the session driver, the destructor
// or the crash handler, whichever comes first. Every step is guarded: a step that fails is
// logged and skipped, the next one runs. No call waits for the desktop longer than
// `answer_limit`; what still waits then is left behind and finishes if the desktop answers while
// the agent runs, and a restore that could not finish is handed to a process of its own as well,
// which outlives the agent (restore_plan.hpp).
class SessionIsolation {
  public:
    SessionIsolation(std::shared_ptr<platform::DesktopPlatform> desktop, SteamEnvironment steam,
                     std::chrono::milliseconds answer_limit = kDesktopAnswerLimit);
    ~SessionIsolation();
    SessionIsolation(const SessionIsolation&) = delete;
    SessionIsolation& operator=(const SessionIsolation&) = delete;

    // True when every step that ran finished and, when asked for, Steam was started.
    bool apply(const SessionIsolationConfig& config);
    // Only the first call restores; safe from any thread, at once from several.
    void restore_once();
    // From here on the restore is the crash handler's: no locks, no waiting for threads, the
    // shell left alone, the windows restored by a process of its own (waited for within the
    // answer limit, then left to finish); a restore that began before the crash is handed on
    // whole.
    void enter_crash_context();

    // Starts Steam as the session asks (apply, and the tray when Steam's window is gone).
    bool launch_steam();

  private:
    const std::shared_ptr<IsolationCore> core_;
};

// The session's isolation for the crash handler: set by the session driver before `apply`,
// cleared after `restore_once` (and by the object's destructor).
extern std::atomic<SessionIsolation*> g_active_isolation;
// Whose menu the tray serves.
extern std::atomic<IsolationCore*> g_tray_owner;

// The crash handler's hook: restores the active isolation in crash context and clears it.
void restore_isolation_on_crash() noexcept;

}  // namespace vx::desktop
