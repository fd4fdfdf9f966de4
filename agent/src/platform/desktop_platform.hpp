#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop_windows.hpp"
#include "platform/key_grab.hpp"
#include "platform/process_launch.hpp"
#include "platform/tray_icon.hpp"

namespace vx::platform {

// A process prepared in ordinary code that may be started from a crash handler and may outlive
// this process.
class DetachedProcess {
  public:
    virtual ~DetachedProcess() = default;

    // Async-signal-safe: starts it; its id, or -1 when no process could be made.
    virtual pid_t start() const noexcept = 0;
    // Async-signal-safe: waits at most `wait` for it to end (`running` when it outlived it).
    virtual ProcessOutcome wait(pid_t pid, std::chrono::milliseconds wait) const noexcept = 0;
    // Ordinary code: leaves it running; it is reaped once it ends.
    virtual void run_on(pid_t pid) const = 0;
};

// The operations session isolation needs of the desktop: the X11 desktop on Linux, a stand-in
// where there is no desktop, a fake in tests. Each thread opens what it uses itself.
class DesktopPlatform {
  public:
    virtual ~DesktopPlatform() = default;

    // A connection for the calling thread; nullptr with `error` set when there is no desktop.
    virtual std::unique_ptr<DesktopConnection> connect(std::string& error) = 0;
    // Takes every key that produces Super (the keymap may give it to more than two), also those
    // a keymap change makes later; nullptr with `error` when they cannot be taken (another
    // program holds them, or there is no desktop).
    virtual std::unique_ptr<KeyGrab> grab_super_keys(std::string& error) = 0;
    // Docks an icon with `tip` into the system tray; nullptr with the refusal and `error`.
    virtual std::unique_ptr<TrayIcon> show_tray_icon(const std::string& tip, TrayRefusal& refusal,
                                                     std::string& error) = 0;
    // This program once more, with `args` after its name, in a process of its own that has
    // nothing of this one but its environment (the desktop's DISPLAY and credentials among it):
    // the restore that this process cannot finish. nullptr where there is no desktop.
    virtual std::unique_ptr<DetachedProcess> prepare_restore_process(
        std::vector<std::string> args) = 0;
    // The file name of the process's executable; empty when it cannot be read.
    virtual std::string process_image_name(std::uint32_t pid) = 0;
};

}  // namespace vx::platform
