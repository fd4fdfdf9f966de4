#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/desktop_windows.hpp"
#include "platform/key_grab.hpp"
#include "platform/tray_icon.hpp"

namespace vx::platform {

// The operations session isolation needs of the desktop: the X11 desktop on Linux, a stand-in
// where there is no desktop, a fake in tests. Each thread opens what it uses itself.
class DesktopPlatform {
  public:
    virtual ~DesktopPlatform() = default;

    // A connection for the calling thread; nullptr with `error` set when there is no desktop.
    virtual std::unique_ptr<DesktopConnection> connect(std::string& error) = 0;
    // Takes both Super keys; nullptr with `error` when they cannot be taken (another program
    // holds them, or there is no desktop).
    virtual std::unique_ptr<KeyGrab> grab_super_keys(std::string& error) = 0;
    // Docks an icon with `tip` into the system tray; nullptr with the refusal and `error`.
    virtual std::unique_ptr<TrayIcon> show_tray_icon(const std::string& tip, TrayRefusal& refusal,
                                                     std::string& error) = 0;
    // Brings the listed windows back from a crashing process: only async-signal-safe work on
    // the calling thread, done on a fresh connection within a short bound, for the session's own
    // connection may be in the middle of a request. Reads the list, never changes it.
    virtual void restore_windows_after_crash(const WindowId* windows,
                                             std::size_t count) noexcept = 0;
    // The file name of the process's executable; empty when it cannot be read.
    virtual std::string process_image_name(std::uint32_t pid) = 0;
};

}  // namespace vx::platform
