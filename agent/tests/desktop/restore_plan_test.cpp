#include "desktop/restore_plan.hpp"

#include <gtest/gtest.h>

namespace vx::desktop {
namespace {

// The restore process reads back exactly what the agent wrote, and nothing else: the command
// line is the only way in to a process that restores windows by their ids.
TEST(RestoreProcessArguments, AreWrittenAndReadInOneForm) {
    const std::vector<std::string> written =
        restore_process_arguments({{0x400001, 0x400002}, {0x600003}, 0x60000a}, "/srv/agent.log");
    EXPECT_EQ(written, (std::vector<std::string>{"--desktop-restore-process", "log=/srv/agent.log",
                                                 "shell=0x400001,0x400002", "windows=0x600003",
                                                 "focus=0x60000a"}));
    const auto read = parse_restore_process_arguments(written);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->log_path, "/srv/agent.log");
    EXPECT_EQ(read->plan.shell, (std::vector<platform::WindowId>{0x400001, 0x400002}));
    EXPECT_EQ(read->plan.windows, std::vector<platform::WindowId>{0x600003});
    EXPECT_EQ(read->plan.focus, 0x60000au);

    const auto nothing = parse_restore_process_arguments(
        {"--desktop-restore-process", "log=", "shell=", "windows=", "focus=0x0"});
    ASSERT_TRUE(nothing);
    EXPECT_TRUE(nothing->plan.empty());
    EXPECT_EQ(nothing->plan.focus, 0u);

    const std::vector<std::vector<std::string>> refused = {
        {},
        {"--desktop-restore-process", "log=", "shell=", "windows="},
        {"--hide-desktop", "log=", "shell=", "windows=", "focus=0x0"},
        {"--desktop-restore-process", "log=", "windows=", "shell=", "focus=0x0"},
        {"--desktop-restore-process", "log=", "shell=12", "windows=", "focus=0x0"},
        {"--desktop-restore-process", "log=", "shell=0x1,", "windows=", "focus=0x0"},
        {"--desktop-restore-process", "log=", "shell=0x1,,0x2", "windows=", "focus=0x0"},
        {"--desktop-restore-process", "log=", "shell=", "windows=0xg", "focus=0x0"},
        {"--desktop-restore-process", "log=", "shell=", "windows=0x", "focus=0x0"},
        {"--desktop-restore-process", "log=", "shell=", "windows=", "focus="},
        {"--desktop-restore-process", "log=", "shell=", "windows=", "focus=0x1", "extra"},
        {"--desktop-restore-process", "log=", "shell=", "windows=0x1ffffffffffffffff", "focus=0x0"},
    };
    for (const auto& args : refused) {
        std::string line;
        for (const auto& arg : args) {
            line += arg + " ";
        }
        EXPECT_FALSE(parse_restore_process_arguments(args)) << line;
    }
}

}  // namespace
}  // namespace vx::desktop
