#include "util/clock.hpp"

#include <gtest/gtest.h>

#include "support/fake_clock.hpp"

TEST(Clock, SteadyNeverGoesBack) {
    auto a = vx::util::steady_now_us();
    auto b = vx::util::steady_now_us();
    EXPECT_LE(a, b);
}

TEST(Clock, FakeClockMovesOnlyWhenTold) {
    vx::test::FakeClock clock(5);
    auto now = clock.fn();
    EXPECT_EQ(now(), 5);
    clock.advance_ms(2);
    EXPECT_EQ(now(), 2005);
}
