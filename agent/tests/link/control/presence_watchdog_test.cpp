#include <gtest/gtest.h>

#include "link/presence_watchdog.hpp"
#include "support/fake_clock.hpp"

namespace vx {
namespace {

constexpr std::int64_t kSecond = 1'000'000;

TEST(PresenceWatchdog, SilenceDropsThenLoses) {
    test::FakeClock clock;
    PresenceWatchdog dog(10 * kSecond, clock.now_us());
    PresenceReadings r;
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::none);
    clock.advance_ms(4999);
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::none);
    clock.advance_ms(1);
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::dropped);
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::none);
    clock.advance_ms(4999);
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::none);
    clock.advance_ms(1);
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::lost);
    EXPECT_TRUE(dog.lost());
    clock.advance_ms(60'000);
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::none);
}

TEST(PresenceWatchdog, LauncherLinesAndRelayedDataKeepItAlive) {
    test::FakeClock clock;
    PresenceWatchdog dog(10 * kSecond, clock.now_us());
    PresenceReadings r;
    for (int i = 0; i < 100; ++i) {  // ten minutes of a launcher talking every 6 s, both ways
        clock.advance_ms(6000);
        if (i % 2 == 0) {
            r.launcher_activity_us = clock.now_us();
        } else {
            r.relayed_control_us = clock.now_us();
        }
        const auto event = dog.check(r, clock.now_us());
        EXPECT_TRUE(event == PresenceEvent::none) << i;
    }
}

TEST(PresenceWatchdog, PlayerComesBackBeforeTheTimeout) {
    test::FakeClock clock;
    PresenceWatchdog dog(10 * kSecond, clock.now_us());
    PresenceReadings r;
    clock.advance_ms(7000);
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::dropped);
    r.launcher_activity_us = clock.now_us();
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::back);
    clock.advance_ms(9000);
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::dropped);
    clock.advance_ms(1000);
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::lost);
}

TEST(PresenceWatchdog, RelayPeerLostAfterLastActivityLosesAtOnce) {
    test::FakeClock clock;
    PresenceWatchdog dog(10 * kSecond, clock.now_us());
    PresenceReadings r;
    clock.advance_ms(1000);
    r.relayed_control_us = clock.now_us();
    r.relay_peer_lost_us = clock.now_us() - 500'000;  // lost, then data arrived again: alive
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::none);
    clock.advance_ms(100);
    r.relay_peer_lost_us = clock.now_us();
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::lost);
}

TEST(PresenceWatchdog, BackendReconnectRestartsTheRelayedLaunchersClock) {
    test::FakeClock clock;
    PresenceWatchdog dog(10 * kSecond, clock.now_us());
    PresenceReadings r;
    r.relayed_control_us = clock.now_us();
    clock.advance_ms(9000);
    r.backend_connected_us = clock.now_us();  // link was down; relayed data could not arrive
    clock.advance_ms(5000);
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::dropped);
    clock.advance_ms(4999);
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::none);
    clock.advance_ms(1);
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::lost);
}

TEST(PresenceWatchdog, BackendReconnectDoesNotExcuseADirectLauncher) {
    test::FakeClock clock;
    PresenceWatchdog dog(10 * kSecond, clock.now_us());
    PresenceReadings r;
    clock.advance_ms(9000);
    r.backend_connected_us = clock.now_us();
    clock.advance_ms(1000);
    EXPECT_EQ(dog.check(r, clock.now_us()), PresenceEvent::lost);
}

}  // namespace
}  // namespace vx
