#include "backend/vxcp/loop/vxcp_connection_policy.hpp"

#include <gtest/gtest.h>

namespace vx::test {
namespace {

using namespace vx::network;
using R = UdpAttemptResult;

constexpr std::int64_t kS = 1'000'000;
constexpr std::int64_t kMin = 60 * kS;

TEST(ConnectionPolicy, HoldLengthDoublesUpToSixHours) {
    ConnectionPolicy p;
    std::int64_t now = 100 * kS;
    p.choose_route(now, true);  // the first attempt arms the gate and goes direct
    std::vector<std::int64_t> lengths;
    for (int i = 0; i < 6; ++i) {
        lengths.push_back(p.engage_hold(now) / kMin);
    }
    EXPECT_EQ(lengths, (std::vector<std::int64_t>{30, 60, 120, 240, 360, 360}));
}

TEST(ConnectionPolicy, DirectFailureEngagesTheHoldAndARelayFailureBarsRelays) {
    ConnectionPolicy p;
    std::int64_t now = 100 * kS;
    ASSERT_TRUE(p.udp_due(now));
    EXPECT_FALSE(p.choose_route(now, true).via_relay);
    auto v = p.after_attempt(now, R::not_opened, false, true, 0);
    EXPECT_TRUE(v.hold_engaged);
    EXPECT_EQ(v.engaged_length_us, 30 * kMin);
    EXPECT_TRUE(v.reset_backoff);
    EXPECT_TRUE(v.save);
    EXPECT_FALSE(v.fall_back_to_websocket);
    now += kS;  // after the 1000 ms back-off: the next attempt goes through the relay
    EXPECT_TRUE(p.choose_route(now, true).via_relay);
    v = p.after_attempt(now, R::not_opened, true, true, 0);
    EXPECT_TRUE(v.relay_failed);
    EXPECT_TRUE(v.save);
    EXPECT_FALSE(p.hold_active(now));
    EXPECT_TRUE(p.relays_barred(now + 10 * kMin - 1));
    EXPECT_FALSE(p.relays_barred(now + 10 * kMin));
    // Barred: a direct failure engages no hold, and the third failure falls back.
    v = p.after_attempt(now + kS, R::path_failed, false, true, 0);
    EXPECT_FALSE(v.hold_engaged);
    EXPECT_TRUE(v.fall_back_to_websocket);
    EXPECT_EQ(p.udp_failures(), 3u);
}

TEST(ConnectionPolicy, ThreeFailuresSuspendUdpForSixtySeconds) {
    ConnectionPolicy p;
    std::int64_t now = 100 * kS;
    p.choose_route(now, false);
    EXPECT_FALSE(p.after_attempt(now, R::not_opened, false, false, 0).fall_back_to_websocket);
    EXPECT_FALSE(p.after_attempt(now, R::not_opened, false, false, 0).fall_back_to_websocket);
    const auto third = p.after_attempt(now, R::not_opened, false, true, 0);
    EXPECT_TRUE(third.fall_back_to_websocket);
    EXPECT_FALSE(third.hold_engaged);  // the third failure engages no hold
    EXPECT_FALSE(p.udp_due(now + 60 * kS - 1));
    EXPECT_TRUE(p.udp_due(now + 60 * kS));
    // Success resets the count; a connection that lived 59 s and ended short keeps the back-off
    // doubling but clears the failures.
    const auto v = p.after_attempt(now + 60 * kS, R::short_lived, false, true, 59'000);
    EXPECT_FALSE(v.reset_backoff);
    EXPECT_EQ(p.udp_failures(), 0u);
    EXPECT_TRUE(p.after_attempt(now, R::clean, false, true, 60'000).reset_backoff);
    // A path failure after 60 s of uptime counts as the first failure again.
    p.after_attempt(now, R::path_failed, false, false, 0);
    p.after_attempt(now, R::path_failed, false, false, 0);
    EXPECT_FALSE(p.after_attempt(now, R::path_failed, false, false, 60'000).fall_back_to_websocket);
    EXPECT_EQ(p.udp_failures(), 1u);
}

TEST(ConnectionPolicy, SavedHoldIsSetAsideOnceAndClearedByTheHealthGate) {
    ConnectionPolicy p;
    const std::int64_t now = 100 * kS;
    const std::int64_t wall = 1'700'000'000'000;
    // A hold ending in two hours restores as 300 s; its length is cut to 300 s too.
    ASSERT_TRUE(p.restore({wall + 7'200'000, 7'200'000}, now, wall));
    EXPECT_EQ(p.hold_end(), now + 300 * kS);
    EXPECT_EQ(p.hold_length_us(), 300 * kS);
    const auto first = p.choose_route(now, true);
    EXPECT_FALSE(first.via_relay);
    EXPECT_TRUE(first.saved_hold_set_aside);
    EXPECT_FALSE(p.should_move_to_relay(now + 4 * kS, true));  // the gate has not run yet
    EXPECT_FALSE(p.health_gate(now + 5 * kS - 1).passed_now);
    const auto gate = p.health_gate(now + 5 * kS);
    EXPECT_TRUE(gate.passed_now);
    EXPECT_TRUE(gate.hold_was_active);
    EXPECT_FALSE(p.hold_active(now + 5 * kS));
    EXPECT_FALSE(p.health_gate(now + 6 * kS).passed_now);  // once only
    // A hold engaged later (e.g. by a stall move) makes a live direct connection move.
    p.engage_hold(now + 6 * kS);
    EXPECT_TRUE(p.should_move_to_relay(now + 6 * kS, true));
    EXPECT_FALSE(p.should_move_to_relay(now + 6 * kS, false));
}

// The live connection sleeps until the policy's next timed change: the gate's 5 s and the end of
// a relay bar must be among them, and nothing else wakes it.
TEST(ConnectionPolicy, NextTimedChangeIsTheGateOrTheEndOfTheRelayBar) {
    ConnectionPolicy p;
    const std::int64_t now = 100 * kS;
    EXPECT_EQ(p.next_timed_change(now), INT64_MAX) << "no attempt yet: no gate";
    p.choose_route(now, false);
    EXPECT_EQ(p.next_timed_change(now), now + 5 * kS);
    p.bar_relays(now + kS);
    EXPECT_EQ(p.next_timed_change(now + kS), now + 5 * kS) << "the gate comes first";
    EXPECT_FALSE(p.health_gate(now + 5 * kS - 1).passed_now);
    EXPECT_TRUE(p.health_gate(now + 5 * kS).passed_now);
    EXPECT_EQ(p.next_timed_change(now + 5 * kS), now + kS + 10 * kMin);
    EXPECT_TRUE(p.relays_barred(now + kS + 10 * kMin - 1));
    EXPECT_EQ(p.next_timed_change(now + kS + 10 * kMin), INT64_MAX) << "the bar is over";
}

TEST(ConnectionPolicy, RestoreAndSaveRoundTrip) {
    ConnectionPolicy p;
    const std::int64_t now = 100 * kS;
    const std::int64_t wall = 1'700'000'000'000;
    EXPECT_FALSE(p.restore({0, 1'800'000}, now, wall));  // no hold, length 300 s (not 30 min)
    EXPECT_EQ(p.hold_length_us(), 300 * kS);
    EXPECT_FALSE(p.restore({wall - 1, 1'800'000}, now, wall));  // ended in the past
    p.engage_hold(now);
    const auto saved = p.to_saved(now + 100 * kS, wall + 100'000);
    EXPECT_EQ(saved.hold_end_unix_ms, wall + 300'000);
    EXPECT_EQ(saved.hold_length_ms, 600'000);
    EXPECT_EQ(p.to_saved(now + 301 * kS, wall).hold_end_unix_ms, 0);
}

TEST(ConnectionPolicy, LongDirectConnectionResetsTheHoldLength) {
    ConnectionPolicy p;
    p.engage_hold(0);
    p.engage_hold(0);
    EXPECT_EQ(p.hold_length_us(), 120 * kMin);
    EXPECT_FALSE(p.after_connection(false, 20 * 60'000));  // ended on a relay: nothing
    EXPECT_EQ(p.hold_length_us(), 120 * kMin);
    EXPECT_TRUE(p.after_connection(true, 10 * 60'000 - 1));
    EXPECT_EQ(p.hold_length_us(), 120 * kMin);
    EXPECT_TRUE(p.after_connection(true, 10 * 60'000));
    EXPECT_EQ(p.hold_length_us(), 30 * kMin);
}

TEST(PickControlRelay, SmallestRttAmongValidControlNodes) {
    const std::int64_t wall = 1'700'000'000'000;
    const std::int64_t valid = (wall + 11 * 60'000) * 10'000;
    const std::int64_t expiring = (wall + 9 * 60'000) * 10'000;
    std::vector<RelayNode> nodes = {
        {"a", "10.0.0.1", 3478, "", "", valid},       // no control credentials
        {"b", "10.0.0.2", 3478, "u", "p", expiring},  // expires within 10 min
        {"c", "10.0.0.3", 3478, "u", "p", valid},     // unmeasured
        {"d", "10.0.0.4", 3478, "u", "p", valid},    {"e", "10.0.0.5", 3478, "u", "p", valid},
    };
    std::map<std::string, std::uint32_t> rtts = {{"a", 1}, {"b", 2}, {"d", 40}, {"e", 40}};
    EXPECT_EQ(pick_control_relay(nodes, rtts, wall)->id, "d");  // tie: the earlier wins
    EXPECT_EQ(pick_control_relay(nodes, {}, wall)->id, "c");
    nodes.resize(2);
    EXPECT_FALSE(pick_control_relay(nodes, rtts, wall));
}

}  // namespace
}  // namespace vx::test
