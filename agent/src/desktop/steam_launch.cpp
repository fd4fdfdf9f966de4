#include "desktop/steam_launch.hpp"

#include <spdlog/spdlog.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace vx::desktop {
namespace {

constexpr std::string_view kUrlPrefix = "steam://rungameid/";
constexpr std::size_t kMaxAppIdDigits = 20;  // a 64-bit game id has at most 20 digits

// xdg-open runs the URL handler in the foreground: one that hands the URL to a running Steam
// ends quickly, a Steam that starts now keeps it waiting. Past this it counts as started and is
// left running; the session's set-up should not wait longer.
constexpr std::chrono::milliseconds kUrlHandlerWait{2000};

std::string absolute(const std::string& path) {
    std::error_code ec;
    const auto made = std::filesystem::absolute(path, ec);
    return ec ? path : made.string();
}

bool handed_over(const platform::ProcessOutcome& out) {
    return out.exited_ok() || out.state == platform::ProcessState::running;
}

}  // namespace

SteamEnvironment real_steam_environment() {
    SteamEnvironment env;
    env.is_file = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    };
    const char* home = std::getenv("HOME");
    env.home = home != nullptr ? home : "";
    env.find_program = platform::find_in_path;
    env.run = platform::run_process;
    return env;
}

bool valid_steam_app_id(std::string_view app_id) {
    return !app_id.empty() && app_id.size() <= kMaxAppIdDigits &&
           std::all_of(app_id.begin(), app_id.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string steam_url(std::string_view app_id) {
    return valid_steam_app_id(app_id) ? std::string(kUrlPrefix) + std::string(app_id)
                                      : std::string();
}

std::string find_steam_executable(const std::string& steam_path, const SteamEnvironment& env) {
    if (!steam_path.empty()) {
        return absolute(steam_path);
    }
    std::vector<std::string> candidates{"/usr/games/steam", "/usr/bin/steam"};
    if (!env.home.empty()) {
        candidates.push_back(env.home + "/.local/share/Steam/steam.sh");
        candidates.push_back(env.home + "/.steam/steam/steam.sh");
    }
    for (const std::string& path : candidates) {
        if (env.is_file(path)) {
            return path;
        }
    }
    return {};
}

SteamLaunch launch_steam(const std::string& app_id, const std::string& steam_path,
                         const SteamEnvironment& env) {
    const std::string url = steam_url(app_id);
    if (!app_id.empty() && url.empty()) {
        spdlog::warn(
            "SessionIsolation: the Steam app id is not 1 to 20 digits - starting Steam "
            "without a game");
    }
    const std::string executable = find_steam_executable(steam_path, env);
    if (executable.empty()) {
        spdlog::warn("SessionIsolation: Steam executable not found");
        return {};
    }
    spdlog::info("SessionIsolation: launching Steam: {} {}", executable, url);
    if (!url.empty()) {
        const std::string xdg_open = env.find_program("xdg-open");
        const platform::ProcessOutcome opened =
            xdg_open.empty() ? platform::ProcessOutcome{}
                             : env.run({xdg_open, {url}, std::nullopt}, kUrlHandlerWait,
                                       platform::OnTimeout::leave_running);
        if (handed_over(opened)) {
            spdlog::info("SessionIsolation: Steam launched successfully (pid=0)");
            return {true, 0};
        }
        spdlog::warn("SessionIsolation: xdg-open failed ({})",
                     xdg_open.empty() ? std::string("not found on PATH") : opened.describe());
    }
    std::vector<std::string> args;
    if (!url.empty()) {
        args.push_back(url);
    }
    const platform::ProcessOutcome started =
        env.run({executable, std::move(args), std::nullopt}, std::chrono::milliseconds(0),
                platform::OnTimeout::leave_running);
    if (started.state == platform::ProcessState::not_started) {
        spdlog::warn("SessionIsolation: starting {} failed ({})", executable, started.describe());
        return {};
    }
    const auto pid = static_cast<std::uint32_t>(started.pid);
    spdlog::info("SessionIsolation: Steam launched successfully (pid={})", pid);
    return {true, pid};
}

}  // namespace vx::desktop
