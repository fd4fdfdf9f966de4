#pragma once

// What a session's isolation changed on the desktop, and the steps that give it back: run by the
// session's own restore, and by the restore process that finishes a restore the agent could not
// (its desktop did not answer, then the agent stopped or crashed).

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop_windows.hpp"

namespace vx::desktop {

struct RestorePlan {
    std::vector<platform::WindowId> shell;    // hidden shell windows: shown again
    std::vector<platform::WindowId> windows;  // minimised windows: restored if still minimised
    platform::WindowId focus = 0;             // active before the session: active again, last

    bool empty() const { return shell.empty() && windows.empty(); }
};

// Each step acts only where it still has to: a window closed meanwhile is skipped, one the user
// brought back is not touched.
void restore_windows(platform::DesktopConnection& desktop,
                     const std::vector<platform::WindowId>& windows);
void show_windows(platform::DesktopConnection& desktop,
                  const std::vector<platform::WindowId>& windows);
// Activating a window also brings it forward: it comes after everything else.
void return_focus(platform::DesktopConnection& desktop, platform::WindowId focus);

// How long a restore process waits for the desktop to answer again. A desktop stalls for
// seconds (a hung compositor, a suspended virtual machine, a debugger); one silent for longer is
// most likely being repaired by hand, and a restore that came much later would undo what the
// person at the PC has done since. Minutes, not for ever.
inline constexpr std::chrono::seconds kRestoreProcessWait{600};

// The hidden first argument that runs the program as a restore process (not one of the agent's
// options: only the agent itself starts it).
inline constexpr std::string_view kRestoreProcessOption = "--desktop-restore-process";

// The arguments after the program's name: the option, "log=<the agent's log file>",
// "shell=<ids>", "windows=<ids>" and "focus=<id>", ids in hexadecimal, lists comma-separated.
std::vector<std::string> restore_process_arguments(const RestorePlan& plan,
                                                   const std::string& log_path);

struct RestoreOrder {
    RestorePlan plan;
    std::string log_path;
};
// Exactly the form above, or nothing.
std::optional<RestoreOrder> parse_restore_process_arguments(const std::vector<std::string>& args);

// The program's entry in that mode: waits up to kRestoreProcessWait for the desktop (DISPLAY),
// restores, appends its outcome to the agent's log. Exit code 0 when it restored, 1 when the
// desktop is gone or did not answer in time, 2 for arguments it cannot read.
int run_restore_process(const std::vector<std::string>& args);

}  // namespace vx::desktop
