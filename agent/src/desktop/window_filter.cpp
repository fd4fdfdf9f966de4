#include "desktop/window_filter.hpp"

#include <algorithm>
#include <array>

#include "util/ascii.hpp"

namespace vx::desktop {
namespace {

// In lower case: an image name is compared in lower case.
constexpr std::array<std::string_view, 22> kShellProcesses = {
    // Windows
    "explorer.exe", "shellexperiencehost.exe", "startmenuexperiencehost.exe", "searchhost.exe",
    "textinputhost.exe", "widgets.exe", "lockapp.exe", "systemsettings.exe",
    "systemsettingsadminflows.exe", "applicationframehost.exe", "taskmgr.exe", "dwm.exe",
    "ctfmon.exe",
    // Linux desktops
    "gnome-shell", "plasmashell", "xfce4-panel", "xfdesktop", "lxpanel", "lxqt-panel", "mate-panel",
    "cinnamon", "budgie-panel"};

constexpr platform::WindowTypes kKeptTypes = platform::type_bit(platform::WindowType::dock) |
                                             platform::type_bit(platform::WindowType::desktop) |
                                             platform::type_bit(platform::WindowType::utility) |
                                             platform::type_bit(platform::WindowType::toolbar) |
                                             platform::type_bit(platform::WindowType::splash) |
                                             platform::type_bit(platform::WindowType::notification);

}  // namespace

std::string file_name_from_path(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool is_shell_process(std::string_view image_name) {
    const std::string lower = util::ascii_lower(image_name);
    return std::find(kShellProcesses.begin(), kShellProcesses.end(), lower) !=
           kShellProcesses.end();
}

bool should_minimize_window(const platform::WindowFacts& facts, std::uint32_t own_pid,
                            const std::function<std::string(std::uint32_t pid)>& image_name) {
    if (!facts.exists || !facts.viewable || facts.minimized || facts.has_owner) {
        return false;
    }
    if (facts.pid == 0 || facts.pid == own_pid || facts.title.empty()) {
        return false;
    }
    if (facts.skip_taskbar || (facts.types & kKeptTypes) != 0) {
        return false;
    }
    const std::string image = file_name_from_path(image_name(facts.pid));
    return !image.empty() && !is_shell_process(image);
}

}  // namespace vx::desktop
