#include "desktop/tray_menu.hpp"

namespace vx::desktop {
namespace {

platform::TrayMenuItem line(std::string text, int command) {
    return {std::move(text), command, true, false};
}

platform::TrayMenuItem greyed(std::string text) {
    return {std::move(text), 0, false, false};
}

platform::TrayMenuItem separator() {
    return {{}, 0, false, true};
}

}  // namespace

std::vector<platform::TrayMenuItem> build_tray_menu(const TrayMenuState& state) {
    std::vector<platform::TrayMenuItem> menu{greyed("Velmora Agent"), separator()};
    if (state.steam) {
        menu.push_back(line("Show Steam", kShowSteamCommand));
        menu.push_back(separator());
    }
    bool any_window = false;
    for (std::size_t i = 0; i < state.window_titles.size(); ++i) {
        if (!state.window_titles[i].empty()) {
            menu.push_back(line("Restore: " + state.window_titles[i],
                                kRestoreWindowCommand + static_cast<int>(i)));
            any_window = true;
        }
    }
    if (any_window) {
        menu.push_back(separator());
        menu.push_back(line("Restore All Windows", kRestoreAllCommand));
    } else if (!state.steam) {
        menu.push_back(greyed("(no minimized windows)"));
    }
    return menu;
}

TrayCommand decode_tray_command(int command, std::size_t listed_windows) {
    if (command == kShowSteamCommand) {
        return {TrayCommand::Kind::show_steam, 0};
    }
    if (command == kRestoreAllCommand) {
        return {TrayCommand::Kind::restore_all, 0};
    }
    if (command >= kRestoreWindowCommand &&
        static_cast<std::size_t>(command - kRestoreWindowCommand) < listed_windows) {
        return {TrayCommand::Kind::restore_window,
                static_cast<std::size_t>(command - kRestoreWindowCommand)};
    }
    return {};
}

}  // namespace vx::desktop
