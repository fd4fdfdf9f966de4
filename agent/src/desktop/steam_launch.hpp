#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/process_launch.hpp"

namespace vx::desktop {

// What the Steam launch looks at and calls, so tests can hand in their own.
struct SteamEnvironment {
    std::function<bool(const std::string& path)> is_file;
    std::string home;  // $HOME; empty leaves out the per-user install paths
    std::function<std::string(const std::string& name)> find_program;  // in PATH; empty none
    std::function<platform::ProcessOutcome(const platform::ProcessRequest&,
                                           std::chrono::milliseconds, platform::OnTimeout)>
        run;
};

SteamEnvironment real_steam_environment();

// The backend's app id makes a URL only when it is 1 to 20 ASCII digits: anything else could
// carry another steam:// command (or worse) into the URL handler.
bool valid_steam_app_id(std::string_view app_id);
// "steam://rungameid/<id>" for a valid id; empty otherwise.
std::string steam_url(std::string_view app_id);
// `steam_path` when given (made absolute, not checked), else the first default install that
// exists: /usr/games/steam, /usr/bin/steam, ~/.local/share/Steam/steam.sh,
// ~/.steam/steam/steam.sh. Empty when none.
std::string find_steam_executable(const std::string& steam_path, const SteamEnvironment& env);

struct SteamLaunch {
    bool started = false;
    std::uint32_t pid = 0;  // 0 when the URL handler started it
};

// Starts Steam: with a valid app id by opening its URL with xdg-open, falling back to the
// executable with the URL as its argument when xdg-open is missing or fails; without one, the
// executable alone. Logs every step and failure.
SteamLaunch launch_steam(const std::string& app_id, const std::string& steam_path,
                         const SteamEnvironment& env);

}  // namespace vx::desktop
