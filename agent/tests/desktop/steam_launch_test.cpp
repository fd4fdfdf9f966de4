#include "desktop/steam_launch.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "desktop/fake_steam.hpp"
#include "support/log_lines.hpp"

namespace vx::desktop {
namespace {

TEST(SteamAppId, OnlyOneToTwentyAsciiDigitsMakeAUrl) {
    const std::pair<std::string, bool> cases[] = {
        {"570", true},
        {"1", true},
        {std::string(20, '9'), true},
        {std::string(21, '9'), false},
        {"", false},
        {"57a", false},
        {" 570", false},
        {"570\n", false},
        {"-5", false},
        {"570/../../steam://uninstall", false},
        {"570;rm -rf ~", false},
        {"\xEF\xBC\x95\xEF\xBC\x97", false},  // fullwidth digits
    };
    for (const auto& [id, valid] : cases) {
        EXPECT_EQ(valid_steam_app_id(id), valid) << id;
        EXPECT_EQ(steam_url(id), valid ? "steam://rungameid/" + id : "") << id;
    }
}

TEST(SteamExecutable, OptionFirstThenTheFirstDefaultThatExists) {
    struct Case {
        const char* name;
        std::string option;
        std::set<std::string> files;
        std::string home;
        std::string expected;
    };
    const std::string cwd = std::filesystem::current_path().string();
    const Case cases[] = {
        {"option as given", "/opt/steam/steam", {"/usr/games/steam"}, "/h", "/opt/steam/steam"},
        {"option not checked", "/nowhere/steam", {}, "/h", "/nowhere/steam"},
        {"relative option", "bin/steam", {}, "/h", cwd + "/bin/steam"},
        {"distribution package",
         "",
         {"/usr/games/steam", "/usr/bin/steam"},
         "/h",
         "/usr/games/steam"},
        {"other package", "", {"/usr/bin/steam"}, "/h", "/usr/bin/steam"},
        {"user install",
         "",
         {"/h/.local/share/Steam/steam.sh", "/h/.steam/steam/steam.sh"},
         "/h",
         "/h/.local/share/Steam/steam.sh"},
        {"old user install", "", {"/h/.steam/steam/steam.sh"}, "/h", "/h/.steam/steam/steam.sh"},
        {"no home", "", {"/.steam/steam/steam.sh"}, "", ""},
        {"none", "", {}, "/h", ""},
    };
    for (const Case& c : cases) {
        FakeSteam machine;
        machine.files = c.files;
        machine.home = c.home;
        EXPECT_EQ(find_steam_executable(c.option, machine.env()), c.expected) << c.name;
    }
}

TEST(SteamLaunch, TheUrlGoesToXdgOpenAndToTheExecutableWhenThatFails) {
    using Outcomes = std::map<std::string, platform::ProcessOutcome>;
    struct Case {
        const char* name;
        std::string app_id;
        bool has_xdg_open;
        Outcomes outcomes;
        std::vector<std::string> runs;
        SteamLaunch result;
        std::string warning;  // empty: none
    };
    const std::string exe = "/usr/games/steam";
    const std::string url = "steam://rungameid/570";
    const std::string xdg = "/usr/bin/xdg-open";
    const Case cases[] = {
        {"URL opened",
         "570",
         true,
         {{xdg, FakeSteam::exited(0)}},
         {xdg + " " + url},
         {true, 0},
         ""},
        {"URL handler still busy",
         "570",
         true,
         {{xdg, FakeSteam::running(42)}},
         {xdg + " " + url},
         {true, 0},
         ""},
        {"xdg-open fails",
         "570",
         true,
         {{xdg, FakeSteam::exited(3)}},
         {xdg + " " + url, exe + " " + url},
         {true, 500},
         "SessionIsolation: xdg-open failed (exit status 3)"},
        {"no xdg-open",
         "570",
         false,
         {},
         {exe + " " + url},
         {true, 500},
         "SessionIsolation: xdg-open failed (not found on PATH)"},
        {"no app id", "", true, {}, {exe}, {true, 500}, ""},
        {"bad app id",
         "570 -shutdown",
         true,
         {},
         {exe},
         {true, 500},
         "SessionIsolation: the Steam app id is not 1 to 20 digits - starting Steam without a "
         "game"},
        {"executable fails too",
         "570",
         true,
         {{xdg, FakeSteam::exited(4)}, {exe, FakeSteam::not_started(ENOENT)}},
         {xdg + " " + url, exe + " " + url},
         {false, 0},
         "SessionIsolation: starting /usr/games/steam failed (No such file or directory)"},
    };
    for (const Case& c : cases) {
        test::LogLines log;
        FakeSteam machine;
        machine.outcomes = c.outcomes;
        if (!c.has_xdg_open) {
            machine.programs.clear();
        }
        const SteamLaunch got = launch_steam(c.app_id, "", machine.env());
        EXPECT_EQ(machine.runs(), c.runs) << c.name;
        EXPECT_EQ(got.started, c.result.started) << c.name;
        EXPECT_EQ(got.pid, c.result.pid) << c.name;
        if (!c.warning.empty()) {
            EXPECT_EQ(log.count(c.warning), 1) << c.name;
        }
        const std::string shown_url = valid_steam_app_id(c.app_id) ? url : "";
        EXPECT_EQ(log.count("SessionIsolation: launching Steam: " + exe + " " + shown_url), 1)
            << c.name;
        EXPECT_EQ(log.count("SessionIsolation: Steam launched successfully (pid=" +
                            std::to_string(got.pid) + ")"),
                  got.started ? 1 : 0)
            << c.name;
    }
}

TEST(SteamLaunch, WithoutAnExecutableNothingStartsEvenWithAUrl) {
    test::LogLines log;
    FakeSteam machine;
    machine.files.clear();
    EXPECT_FALSE(launch_steam("570", "", machine.env()).started);
    EXPECT_TRUE(machine.runs().empty());
    EXPECT_EQ(log.count("SessionIsolation: Steam executable not found"), 1);
}

}  // namespace
}  // namespace vx::desktop
