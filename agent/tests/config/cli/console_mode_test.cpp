#include "config/console_mode.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/scoped_env.hpp"

namespace vx {
namespace {

using test::ScopedEnv;

bool full_log(std::vector<const char*> argv) {
    const ConsoleChoice choice = console_log_requested(static_cast<int>(argv.size()), argv.data(),
                                                       {"--help", "-h", "--check-direct"});
    EXPECT_NE(choice.full_log, choice.status_screen);
    return choice.full_log;
}

TEST(ConsoleLogRequested, EnvironmentValuesAreExact) {
    for (const char* value : {"1", "true", "TRUE", "yes", "on", "ON"}) {
        ScopedEnv env("VX_CONSOLE_LOG", value);
        EXPECT_TRUE(full_log({"agent"})) << value;
    }
    for (const char* value : {"", "0", "Yes", "YES", "True", "On", "no", "1 ", "tru"}) {
        ScopedEnv env("VX_CONSOLE_LOG", value);
        EXPECT_FALSE(full_log({"agent"})) << value;
    }
    ScopedEnv unset("VX_CONSOLE_LOG", nullptr);
    EXPECT_FALSE(full_log({"agent"}));
}

TEST(ConsoleLogRequested, ArgumentsAfterTheProgramName) {
    ScopedEnv unset("VX_CONSOLE_LOG", nullptr);
    EXPECT_TRUE(full_log({"agent", "--verbose"}));
    EXPECT_TRUE(full_log({"agent", "--fps", "30", "--verbose"}));
    EXPECT_TRUE(full_log({"agent", "--help"}));
    EXPECT_TRUE(full_log({"agent", "-h"}));
    EXPECT_TRUE(full_log({"agent", "--check-direct"}));
    EXPECT_FALSE(full_log({"agent", "--verbose=1"}));
    EXPECT_FALSE(full_log({"agent", "--verbosee"}));
    EXPECT_FALSE(full_log({"agent", "--VERBOSE"}));
    EXPECT_FALSE(full_log({"agent", "-v"}));
    EXPECT_FALSE(full_log({"--verbose"}));  // the program name itself does not count
    EXPECT_FALSE(full_log({}));
}

TEST(ConsoleLogRequested, ExtraListIsTheCallersChoice) {
    ScopedEnv unset("VX_CONSOLE_LOG", nullptr);
    const char* argv[] = {"agent", "--check-direct"};
    EXPECT_FALSE(console_log_requested(2, argv, {}).full_log);
    EXPECT_TRUE(console_log_requested(2, argv, {"--check-direct"}).full_log);
}

TEST(UiLanguage, VxLangGoesFirst) {
    ScopedEnv lang("LANG", "ru_RU.UTF-8");
    ScopedEnv all("LC_ALL", nullptr);
    ScopedEnv messages("LC_MESSAGES", nullptr);
    for (const char* value : {"ru", "RU", "rU", "Ru", "ru_RU.UTF-8", "russian"}) {
        ScopedEnv env("VX_LANG", value);
        EXPECT_TRUE(ui_language_is_russian()) << value;
    }
    for (const char* value : {"r", "en", "EN", "u", "xru", " ru"}) {
        ScopedEnv env("VX_LANG", value);
        EXPECT_FALSE(ui_language_is_russian()) << value;
    }
}

TEST(UiLanguage, EmptyVxLangFollowsTheSystemLocale) {
    ScopedEnv vx("VX_LANG", "");
    {
        ScopedEnv all("LC_ALL", "");
        ScopedEnv messages("LC_MESSAGES", "ru_RU.UTF-8");
        ScopedEnv lang("LANG", "en_US.UTF-8");
        EXPECT_TRUE(ui_language_is_russian());  // first non-empty of the three
    }
    {
        ScopedEnv all("LC_ALL", "C");
        ScopedEnv messages("LC_MESSAGES", "ru_RU.UTF-8");
        EXPECT_FALSE(ui_language_is_russian());
    }
    {
        ScopedEnv all("LC_ALL", nullptr);
        ScopedEnv messages("LC_MESSAGES", nullptr);
        ScopedEnv lang("LANG", nullptr);
        EXPECT_FALSE(ui_language_is_russian());
    }
}

}  // namespace
}  // namespace vx
