// The Steam launch with this machine's own xdg-open: a recording handler for steam:// URLs
// registered in a temporary XDG_DATA_HOME, and a recording stand-in for the Steam executable.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "desktop/steam_launch.hpp"
#include "support/log_lines.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace vx::desktop {
namespace {

constexpr int kPatienceMs = 10'000;  // a safety net: the waits end when the program ends

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A shell script that appends its arguments, one call per line, to `record`.
std::filesystem::path recorder(const test::TempDir& dir, const std::string& name,
                               const std::filesystem::path& record) {
    const auto path = dir.write(name, "#!/bin/sh\necho \"$*\" >> '" + record.string() + "'\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

void wait_for_exit(std::uint32_t pid) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (fd < 0) {
        return;  // already ended and reaped
    }
    pollfd ended{fd, POLLIN, 0};
    ::poll(&ended, 1, kPatienceMs);
    ::close(fd);
}

class SteamOnThisMachine : public ::testing::Test {
  protected:
    SteamOnThisMachine() {
        steam = recorder(dir, "steam", steam_calls);
        const auto handler = recorder(dir, "url-handler", handler_calls);
        dir.write("data/applications/vx-steam-url.desktop",
                  "[Desktop Entry]\nType=Application\nName=Steam URL recorder\nExec=" +
                      handler.string() + " %u\nMimeType=x-scheme-handler/steam;\nNoDisplay=true\n");
        dir.write("data/applications/mimeapps.list",
                  "[Default Applications]\nx-scheme-handler/steam=vx-steam-url.desktop\n");
    }

    // xdg-open finds a handler by its desktop entry alone, registered as default or not.
    void remove_handler() { std::filesystem::remove_all(dir.path() / "data" / "applications"); }

    SteamLaunch launch(const std::string& app_id) {
        const SteamLaunch launched = launch_steam(app_id, steam.string(), real_steam_environment());
        if (launched.pid != 0) {
            wait_for_exit(launched.pid);
        }
        return launched;
    }

    test::TempDir dir{"vx-steam"};
    const std::filesystem::path steam_calls = dir.path() / "steam.calls";
    const std::filesystem::path handler_calls = dir.path() / "handler.calls";
    std::filesystem::path steam;
    // xdg-open's plain mode, which looks only at these folders; the display is never opened.
    test::ScopedEnv data{"XDG_DATA_HOME", (dir.path() / "data").c_str()};
    test::ScopedEnv config{"XDG_CONFIG_HOME", (dir.path() / "config").c_str()};
    test::ScopedEnv system_data{"XDG_DATA_DIRS", (dir.path() / "none").c_str()};
    test::ScopedEnv config_dirs{"XDG_CONFIG_DIRS", (dir.path() / "none").c_str()};
    test::ScopedEnv current_desktop{"XDG_CURRENT_DESKTOP", nullptr};
    test::ScopedEnv session{"DESKTOP_SESSION", nullptr};
    test::ScopedEnv display{"DISPLAY", ":0"};
    test::ScopedEnv browser{"BROWSER", "/bin/false"};  // no web browser takes the URL instead
    test::LogLines log;
};

TEST_F(SteamOnThisMachine, TheGameUrlGoesToTheDesktopsHandler) {
    if (platform::find_in_path("xdg-open").empty()) {
        GTEST_SKIP() << "xdg-open is not installed (package xdg-utils)";
    }
    const SteamLaunch launched = launch("570");
    EXPECT_TRUE(launched.started);
    EXPECT_EQ(launched.pid, 0u);
    EXPECT_EQ(read_file(handler_calls), "steam://rungameid/570\n");
    EXPECT_FALSE(std::filesystem::exists(steam_calls));
}

TEST_F(SteamOnThisMachine, WithoutAHandlerTheExecutableGetsTheUrl) {
    if (platform::find_in_path("xdg-open").empty()) {
        GTEST_SKIP() << "xdg-open is not installed (package xdg-utils)";
    }
    remove_handler();
    const SteamLaunch launched = launch("570");
    EXPECT_TRUE(launched.started);
    EXPECT_NE(launched.pid, 0u);
    EXPECT_EQ(read_file(steam_calls), "steam://rungameid/570\n");
    EXPECT_EQ(log.count("SessionIsolation: xdg-open failed (exit status"), 1);
}

TEST_F(SteamOnThisMachine, WithoutXdgOpenOrWithoutAGameTheExecutableStarts) {
    {
        const test::ScopedEnv path("PATH", (dir.path() / "no-programs").c_str());
        EXPECT_TRUE(launch("570").started);
    }
    EXPECT_TRUE(launch("").started);
    EXPECT_TRUE(launch("570 -shutdown").started);  // refused as an id: no URL at all
    EXPECT_EQ(read_file(steam_calls), "steam://rungameid/570\n\n\n");
    EXPECT_FALSE(std::filesystem::exists(handler_calls));
}

TEST_F(SteamOnThisMachine, AMissingExecutableIsAFailedLaunch) {
    steam = dir.path() / "nowhere" / "steam";
    EXPECT_FALSE(launch("").started);
    EXPECT_EQ(log.count("SessionIsolation: starting " + steam.string() +
                        " failed (No such file or directory)"),
              1);
}

}  // namespace
}  // namespace vx::desktop
