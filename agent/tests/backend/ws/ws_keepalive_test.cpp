#include "backend/ws/ws_keepalive.hpp"

#include <gtest/gtest.h>

#include "support/fake_clock.hpp"

namespace vx::network {
namespace {

using Action = WsKeepAlive::Action;

TEST(WsKeepAlive, FirstPingAtOnceAndNeverTwoOutstanding) {
    test::FakeClock clock;
    WsKeepAlive ka;
    ka.reset(clock.now_us());
    ASSERT_EQ(ka.tick(clock.now_us()), Action::send_ping);
    EXPECT_EQ(ka.ping_id(), 1u);
    clock.advance_ms(9'999);
    EXPECT_EQ(ka.tick(clock.now_us()), Action::none);
    clock.advance_ms(1);
    EXPECT_EQ(ka.tick(clock.now_us()), Action::pong_timeout);
}

TEST(WsKeepAlive, PongEndsTheWaitAndTheNextPingFollowsTheInterval) {
    test::FakeClock clock;
    WsKeepAlive ka;
    ka.reset(clock.now_us());
    ka.tick(clock.now_us());
    clock.advance_ms(40);
    std::int64_t rtt = 0;
    EXPECT_TRUE(ka.on_pong(1, clock.now_us(), rtt));
    EXPECT_EQ(rtt, 40'000);
    clock.advance_ms(9'950);
    EXPECT_EQ(ka.tick(clock.now_us()), Action::none);
    clock.advance_ms(10);
    EXPECT_EQ(ka.tick(clock.now_us()), Action::send_ping);
    EXPECT_EQ(ka.ping_id(), 2u);
    EXPECT_FALSE(ka.on_pong(77, clock.now_us(), rtt)) << "another id is unmatched";
    EXPECT_EQ(ka.tick(clock.now_us()), Action::none) << "but still ends the wait";
}

TEST(WsKeepAlive, InboundSilenceAfterProvenTraffic) {
    test::FakeClock clock;
    WsKeepAliveSettings s;
    s.ping_interval = std::chrono::seconds(60);  // keep pings out of the way
    WsKeepAlive ka(s);
    ka.reset(clock.now_us());
    ka.tick(clock.now_us());
    std::int64_t rtt = 0;
    ka.on_pong(1, clock.now_us(), rtt);
    clock.advance_ms(19'999);
    EXPECT_EQ(ka.tick(clock.now_us()), Action::none);
    ka.on_inbound(clock.now_us());
    clock.advance_ms(19'999);
    EXPECT_EQ(ka.tick(clock.now_us()), Action::none);
    clock.advance_ms(1);
    EXPECT_EQ(ka.tick(clock.now_us()), Action::inbound_silent);
}

TEST(WsKeepAlive, PingIdSkipsZeroAndSurvivesReconnects) {
    test::FakeClock clock;
    WsKeepAlive ka;
    std::uint32_t last = 0;
    std::int64_t rtt = 0;
    for (int conn = 0; conn < 3; ++conn) {
        ka.reset(clock.now_us());
        ASSERT_EQ(ka.tick(clock.now_us()), Action::send_ping);
        EXPECT_GT(ka.ping_id(), last);
        last = ka.ping_id();
        ka.on_pong(last, clock.now_us(), rtt);
    }
}

}  // namespace
}  // namespace vx::network
