#include "backend/connector/reconnect_backoff.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace vx::network {
namespace {

TEST(ReconnectBackoff, DoublesFromOneSecondToThirty) {
    ReconnectBackoff b;
    std::vector<std::int64_t> waits;
    for (int i = 0; i < 7; ++i)
        waits.push_back(b.after_attempt(false, 0));
    EXPECT_EQ(waits, (std::vector<std::int64_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
}

TEST(ReconnectBackoff, AConnectionThatWasUpStartsOver) {
    ReconnectBackoff b;
    for (int i = 0; i < 5; ++i)
        b.after_attempt(false, 0);
    EXPECT_EQ(b.after_attempt(true, 0), 1000);
    EXPECT_EQ(b.after_attempt(false, 0), 2000);
}

TEST(ReconnectBackoff, ReplacedByAnotherAgentWaitsAtLeastThirtySeconds) {
    ReconnectBackoff b;
    EXPECT_EQ(b.after_attempt(true, 4009), 30000);
    // The back-off itself keeps counting from the value before the 4009 wait.
    EXPECT_EQ(b.after_attempt(false, 0), 2000);
    EXPECT_EQ(b.after_attempt(false, 1000), 4000) << "other close codes change nothing";
}

}  // namespace
}  // namespace vx::network
