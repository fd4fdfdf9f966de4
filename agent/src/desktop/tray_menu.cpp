#include "desktop/tray_menu.hpp"

#include <algorithm>

#include "util/utf8.hpp"

namespace vx::desktop {
namespace {

constexpr std::size_t kMaxLineChars = 64;                  // a long window title is cut
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

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

std::string fit_menu_line(std::string_view text) {
    std::string out;
    std::size_t chars = 0;
    std::size_t head = 0;  // the bytes of the first characters that stay when the line is cut
    for (std::size_t pos = 0; pos < text.size();) {
        const util::DecodedChar c = util::decode_utf8_at(text, pos);
        const bool control =
            c.valid && (c.code_point < 0x20 || (c.code_point >= 0x7F && c.code_point <= 0x9F));
        if (util::is_printable(c)) {
            out.append(text.substr(pos, static_cast<std::size_t>(c.length)));
        } else if (control) {
            out.push_back(' ');
        } else {
            out.append(kReplacement);
        }
        pos += static_cast<std::size_t>(c.length);
        if (++chars == kMaxLineChars - 3) {
            head = out.size();
        }
        if (chars > kMaxLineChars) {  // cut only when more follows than fits
            out.resize(head);
            return out + "...";
        }
    }
    return out;
}

std::vector<platform::TrayMenuItem> build_tray_menu(const TrayMenuState& state,
                                                    std::size_t max_lines) {
    std::vector<platform::TrayMenuItem> menu{greyed("Velmora Agent"), separator()};
    if (state.steam) {
        menu.push_back(line("Show Steam", kShowSteamCommand));
        menu.push_back(separator());
    }
    std::vector<std::size_t> titled;
    for (std::size_t i = 0; i < state.window_titles.size(); ++i) {
        if (!state.window_titles[i].empty()) {
            titled.push_back(i);
        }
    }
    if (titled.empty()) {
        if (!state.steam) {
            menu.push_back(greyed("(no minimized windows)"));
        }
        return menu;
    }
    const std::size_t fixed = menu.size() + 2;  // and the separator with "Restore All Windows"
    std::size_t shown = titled.size();
    if (fixed + titled.size() > max_lines) {
        shown = max_lines > fixed + 1 ? std::min(titled.size(), max_lines - fixed - 1) : 0;
    }
    for (std::size_t k = 0; k < shown; ++k) {
        const std::size_t i = titled[k];
        menu.push_back(line(fit_menu_line("Restore: " + state.window_titles[i]),
                            kRestoreWindowCommand + static_cast<int>(i)));
    }
    if (shown < titled.size()) {
        menu.push_back(greyed("(" + std::to_string(titled.size() - shown) + " more)"));
    }
    menu.push_back(separator());
    menu.push_back(line("Restore All Windows", kRestoreAllCommand));
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
