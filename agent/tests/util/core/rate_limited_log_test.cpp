#include "util/rate_limited_log.hpp"

#include <gtest/gtest.h>

namespace vx::util {
namespace {

// The first line is due at any time; the next one a whole interval after it, not a microsecond
// sooner, with the lines in between counted once.
TEST(RateLimitedLog, OneLinePerIntervalAndTheRestCounted) {
    RateLimitedLog log(std::chrono::seconds(60));
    EXPECT_TRUE(log.due(-5'000'000));
    EXPECT_EQ(log.next_due_us(), 55'000'000);
    EXPECT_FALSE(log.due(0));
    EXPECT_FALSE(log.due(54'999'999));
    EXPECT_TRUE(log.due(55'000'000));
    EXPECT_EQ(log.take_suppressed(), 2u);
    EXPECT_EQ(log.take_suppressed(), 0u);
    EXPECT_FALSE(log.due(55'000'001));
    EXPECT_EQ(log.take_suppressed(), 1u);
}

// A burst of three a window: the window opens with its first line, not with the last of the
// burst.
TEST(RateLimitedLog, ABurstAWindow) {
    RateLimitedLog log(std::chrono::seconds(10), 3);
    EXPECT_TRUE(log.due(0));
    EXPECT_TRUE(log.due(1));
    EXPECT_TRUE(log.due(9'000'000));
    EXPECT_FALSE(log.due(9'999'999));
    EXPECT_EQ(log.take_suppressed(), 1u);
    EXPECT_TRUE(log.due(10'000'000));
    EXPECT_TRUE(log.due(10'000'001));
}

}  // namespace
}  // namespace vx::util
