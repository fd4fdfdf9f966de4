#pragma once

#include <cerrno>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "desktop/steam_launch.hpp"

namespace vx::desktop {

// A machine for the Steam launch: which files exist, which programs PATH has, and what each
// started program does; every start is recorded as "<path> <args...>".
struct FakeSteam {
    std::set<std::string> files{"/usr/games/steam"};
    std::string home = "/home/player";
    std::map<std::string, std::string> programs{{"xdg-open", "/usr/bin/xdg-open"}};
    // By program path; a program without an entry starts and runs on (pid 500).
    std::map<std::string, platform::ProcessOutcome> outcomes;
    bool throw_on_run = false;

    std::vector<std::string> runs() {
        std::lock_guard lock(mutex_);
        return runs_;
    }

    SteamEnvironment env() {
        SteamEnvironment e;
        e.is_file = [this](const std::string& path) { return files.count(path) != 0; };
        e.home = home;
        e.find_program = [this](const std::string& name) {
            const auto it = programs.find(name);
            return it == programs.end() ? std::string() : it->second;
        };
        e.run = [this](const platform::ProcessRequest& request, std::chrono::milliseconds,
                       platform::OnTimeout) {
            if (throw_on_run) {
                throw std::runtime_error("spawn exploded");
            }
            std::string text = request.path;
            for (const auto& arg : request.args) {
                text += " " + arg;
            }
            std::lock_guard lock(mutex_);
            runs_.push_back(text);
            const auto it = outcomes.find(request.path);
            if (it != outcomes.end()) {
                return it->second;
            }
            return running(500);
        };
        return e;
    }

    static platform::ProcessOutcome exited(int status) {
        return {platform::ProcessState::exited, 0, status, 600};
    }
    static platform::ProcessOutcome running(pid_t pid) {
        return {platform::ProcessState::running, 0, 0, pid};
    }
    static platform::ProcessOutcome not_started(int error) {
        return {platform::ProcessState::not_started, error, 0, 0};
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> runs_;
};

}  // namespace vx::desktop
