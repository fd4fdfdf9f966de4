#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/desktop/open_desktop.hpp"
#include "platform/desktop/x11_desktop.hpp"
#include "platform/process_info.hpp"

namespace vx::platform {
namespace {

// This program, started again. By its path as it was at the start of the session, so that the
// process list names it (a program replaced since starts as the new one).
class OwnProgram final : public DetachedProcess {
  public:
    explicit OwnProgram(std::vector<std::string> args)
        : start_({own_path(), std::move(args), {}}) {}

    pid_t start() const noexcept override { return start_.start(); }
    ProcessOutcome wait(pid_t pid, std::chrono::milliseconds limit) const noexcept override {
        return wait_for_child(pid, limit);
    }
    void run_on(pid_t pid) const override { reap_when_ended(pid); }

  private:
    static std::string own_path() {
        std::error_code error;
        const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
        // A program file deleted under the running agent (an upgrade that came before this
        // session) is still there to start through /proc, not by its old name.
        return error || path.string().ends_with(" (deleted)") ? std::string("/proc/self/exe")
                                                              : path.string();
    }

    PreparedStart start_;
};

class X11Desktop final : public DesktopPlatform {
  public:
    explicit X11Desktop(std::string display) : display_(std::move(display)) {
        x11::init_xlib_once();
    }

    std::unique_ptr<DesktopConnection> connect(std::string& error) override {
        return x11::connect(display_, error);
    }
    std::unique_ptr<KeyGrab> grab_super_keys(std::string& error) override {
        return x11::grab_super_keys(display_, error);
    }
    std::unique_ptr<TrayIcon> show_tray_icon(const std::string& tip, TrayRefusal& refusal,
                                             std::string& error) override {
        return x11::show_tray_icon(display_, tip, refusal, error);
    }
    std::unique_ptr<DetachedProcess> prepare_restore_process(
        std::vector<std::string> args) override {
        return std::make_unique<OwnProgram>(std::move(args));
    }
    std::string process_image_name(std::uint32_t pid) override {
        return platform::process_image_name(pid);
    }

  private:
    const std::string display_;
};

// No X display (a headless machine, a service, a Wayland session without XWayland): every
// operation is refused with the same reason, so the isolation says once what it cannot do.
class NoDesktop final : public DesktopPlatform {
  public:
    std::unique_ptr<DesktopConnection> connect(std::string& error) override {
        error = kReason;
        return nullptr;
    }
    std::unique_ptr<KeyGrab> grab_super_keys(std::string& error) override {
        error = kReason;
        return nullptr;
    }
    std::unique_ptr<TrayIcon> show_tray_icon(const std::string&, TrayRefusal& refusal,
                                             std::string& error) override {
        refusal = TrayRefusal::no_tray;
        error = kReason;
        return nullptr;
    }
    std::unique_ptr<DetachedProcess> prepare_restore_process(std::vector<std::string>) override {
        return nullptr;
    }
    std::string process_image_name(std::uint32_t pid) override {
        return platform::process_image_name(pid);
    }

  private:
    static constexpr const char* kReason = "no X display (DISPLAY is not set)";
};

}  // namespace

std::shared_ptr<DesktopPlatform> open_desktop_platform() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        return std::make_shared<NoDesktop>();
    }
    return std::make_shared<X11Desktop>(display);
}

}  // namespace vx::platform
