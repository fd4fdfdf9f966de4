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

// A connection that sleeps until next_due_us() (or until something arrives) must see every
// action at the same moment as one that looks every millisecond.
TEST(WsKeepAlive, SleepingUntilTheNextDueTimeMissesNothing) {
    struct Arrival {
        std::int64_t at_ms;
        bool pong;  // else any other inbound frame
    };
    const std::vector<std::vector<Arrival>> scripts = {
        {},                                              // a dead peer: pong deadline
        {{40, true}, {10'030, true}},                    // pongs, then the peer goes silent
        {{5, true}, {3'000, false}, {19'000, false}},    // traffic resets the silence limit
        {{9'999, true}, {20'000, true}, {30'001, true}}  // pongs at the very last moment
    };
    constexpr std::int64_t kEndMs = 60'000;
    WsKeepAliveSettings rare_pings;  // the silence limit, not the pong deadline, ends these
    rare_pings.ping_interval = std::chrono::seconds(45);
    for (std::size_t s = 0; s < scripts.size() * 2; ++s) {
        const auto& script = scripts[s % scripts.size()];
        const WsKeepAliveSettings settings =
            s < scripts.size() ? WsKeepAliveSettings{} : rare_pings;
        const auto run = [&](bool sleep_until_due) {
            std::vector<std::pair<std::int64_t, Action>> seen;
            WsKeepAlive ka(settings);
            ka.reset(0);
            std::size_t next = 0;
            std::int64_t now = 0;
            while (now <= kEndMs * 1000) {
                while (next < script.size() && script[next].at_ms * 1000 <= now) {
                    std::int64_t rtt = 0;
                    if (script[next].pong)
                        ka.on_pong(ka.ping_id(), now, rtt);
                    else
                        ka.on_inbound(now);
                    ++next;
                }
                const Action a = ka.tick(now);
                if (a != Action::none)
                    seen.emplace_back(now, a);
                if (a == Action::pong_timeout || a == Action::inbound_silent)
                    break;
                std::int64_t step = now + 1000;
                if (sleep_until_due) {
                    step = ka.next_due_us();
                    if (next < script.size())
                        step = std::min(step, script[next].at_ms * 1000);
                    step = std::max(step, now + 1);
                }
                now = step;
            }
            return seen;
        };
        EXPECT_EQ(run(true), run(false)) << "script " << s;
    }
}

}  // namespace
}  // namespace vx::network
