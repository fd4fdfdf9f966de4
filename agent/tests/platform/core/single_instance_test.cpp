#include "platform/single_instance.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "support/temp_dir.hpp"

namespace vx::platform {
namespace {

class SingleInstance : public ::testing::Test {
  protected:
    test::TempDir temp_{"vx-lock"};
    const std::filesystem::path& dir_ = temp_.path();
};

TEST_F(SingleInstance, SecondHolderIsRefusedUntilTheFirstReleases) {
    const auto folder = dir_ / "state" / "Velmora";  // created on demand, nested
    {
        SingleInstanceLock first = SingleInstanceLock::try_acquire(folder);
        ASSERT_EQ(first.state(), InstanceLockState::acquired) << first.error();
        EXPECT_TRUE(std::filesystem::exists(folder / "agent.lock"));

        SingleInstanceLock second = SingleInstanceLock::try_acquire(folder);
        EXPECT_EQ(second.state(), InstanceLockState::held_elsewhere);

        // Moving the lock keeps it held.
        SingleInstanceLock moved = std::move(first);
        EXPECT_EQ(SingleInstanceLock::try_acquire(folder).state(),
                  InstanceLockState::held_elsewhere);
    }
    EXPECT_EQ(SingleInstanceLock::try_acquire(folder).state(), InstanceLockState::acquired);
}

TEST_F(SingleInstance, AnotherProcessSeesTheLockHeld) {
    SingleInstanceLock lock = SingleInstanceLock::try_acquire(dir_);
    ASSERT_EQ(lock.state(), InstanceLockState::acquired);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const auto state = SingleInstanceLock::try_acquire(dir_).state();
        ::_exit(state == InstanceLockState::held_elsewhere ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(SingleInstance, UnusableFolderIsUnavailableWithTheReason) {
    std::ofstream(dir_ / "file") << "x";
    SingleInstanceLock lock = SingleInstanceLock::try_acquire(dir_ / "file" / "Velmora");
    EXPECT_EQ(lock.state(), InstanceLockState::unavailable);
    EXPECT_EQ(lock.error(), ENOTDIR);
    EXPECT_EQ(SingleInstanceLock::try_acquire({}).state(), InstanceLockState::unavailable);
}

}  // namespace
}  // namespace vx::platform
