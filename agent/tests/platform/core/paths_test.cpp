#include "platform/paths.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/computer_name.hpp"
#include "support/scoped_env.hpp"

namespace vx::platform {
namespace {

using test::ScopedEnv;

TEST(Paths, LocalAppDataFallsBackInOrder) {
    ScopedEnv local("LOCALAPPDATA", "/la");
    ScopedEnv xdg("XDG_STATE_HOME", "/xdg");
    ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(local_app_data_folder(), "/la");
    EXPECT_EQ(agent_state_folder(), "/la/Velmora");
    {
        ScopedEnv empty("LOCALAPPDATA", "");
        EXPECT_EQ(local_app_data_folder(), "/xdg");
        ScopedEnv no_xdg("XDG_STATE_HOME", nullptr);
        EXPECT_EQ(local_app_data_folder(), "/home/u/.local/state");
        ScopedEnv no_home("HOME", nullptr);
        EXPECT_TRUE(local_app_data_folder().empty());
        EXPECT_TRUE(agent_state_folder().empty());
    }
}

TEST(Paths, ExecutableFolderHoldsThisProgram) {
    const std::filesystem::path folder = executable_folder();
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(folder.is_absolute());
    const std::string self = std::filesystem::path(program_invocation_name).filename();
    EXPECT_TRUE(std::filesystem::exists(folder / self)) << folder << " / " << self;
}

TEST(ComputerName, IsTheHostName) {
    const std::string name = computer_name();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find('\0'), std::string::npos);
}

}  // namespace
}  // namespace vx::platform
