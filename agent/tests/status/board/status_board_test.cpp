#include "status/status_board.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <limits>
#include <thread>

namespace vx {
namespace {

std::int64_t g_now_s = 0;
std::int64_t fake_now_s() {
    return g_now_s;
}

class BoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        g_now_s = 1'700'000'000;  // 2023-11-14 22:13:20 UTC
        board.set_wall_clock_for_test(&fake_now_s);
    }

    std::vector<StatusEventKind> kinds() const {
        std::vector<StatusEventKind> out;
        for (const auto& e : board.snapshot().events) {
            out.push_back(e.kind);
        }
        return out;
    }

    StatusBoard board;
};

using K = StatusEventKind;

TEST_F(BoardTest, ConnectingToConnectedAddsConnectedEventAndStampsTime) {
    board.set_link_state(LinkState::connected, LinkTransport::websocket);
    const auto s = board.snapshot();
    EXPECT_EQ(s.link, LinkState::connected);
    EXPECT_EQ(s.transport, LinkTransport::websocket);
    EXPECT_EQ(s.link_changed_s, g_now_s);
    ASSERT_EQ(s.events.size(), 1u);
    EXPECT_EQ(s.events[0].kind, K::platform_connected);
    EXPECT_EQ(s.events[0].seq, 1u);
    EXPECT_EQ(s.events[0].time_text, "22:13");
}

TEST_F(BoardTest, ConnectedToLostAddsLostAndDropsTransport) {
    board.set_link_state(LinkState::connected, LinkTransport::udp);
    g_now_s += 90;
    board.set_link_state(LinkState::lost, LinkTransport::udp);
    const auto s = board.snapshot();
    EXPECT_EQ(s.transport, LinkTransport::none);
    EXPECT_EQ(s.link_changed_s, g_now_s);
    EXPECT_EQ(kinds(), (std::vector<K>{K::platform_connected, K::platform_lost}));
    EXPECT_EQ(s.events[1].seq, 2u);
    EXPECT_EQ(s.events[1].time_text, "22:14");
}

TEST_F(BoardTest, ConnectingToLostAddsNoEventButStampsTheChange) {
    board.set_link_state(LinkState::lost, LinkTransport::udp);
    EXPECT_TRUE(kinds().empty());
    EXPECT_EQ(board.snapshot().link_changed_s, g_now_s);
    // Same state again is not a change: the stamp stays.
    const auto stamp = g_now_s;
    g_now_s += 10;
    board.set_link_state(LinkState::lost, LinkTransport::none);
    EXPECT_EQ(board.snapshot().link_changed_s, stamp);
    // lost -> connected -> connected (transport switch) gives one connected event.
    board.set_link_state(LinkState::connected, LinkTransport::udp);
    board.set_link_state(LinkState::connected, LinkTransport::udp_relay);
    EXPECT_EQ(kinds(), (std::vector<K>{K::platform_connected}));
    EXPECT_EQ(board.snapshot().transport, LinkTransport::udp_relay);
}

TEST_F(BoardTest, ConnectClearsTokenRejectedOnly) {
    board.report_problem(ProblemKind::token_rejected);
    board.report_problem(ProblemKind::duplicate_agent);
    board.set_link_state(LinkState::lost, LinkTransport::none);
    EXPECT_TRUE(board.snapshot().problems[4]);
    board.set_link_state(LinkState::connected, LinkTransport::websocket);
    const auto s = board.snapshot();
    EXPECT_FALSE(s.problems[static_cast<int>(ProblemKind::token_rejected)]);
    EXPECT_TRUE(s.problems[static_cast<int>(ProblemKind::duplicate_agent)]);
}

TEST_F(BoardTest, ProblemEventOnlyWhenTheMarkGoesFromClearToSet) {
    board.report_problem(ProblemKind::port_busy, 48001);
    board.report_problem(ProblemKind::port_busy, 48002);  // still set: no second event
    auto s = board.snapshot();
    ASSERT_EQ(s.events.size(), 1u);
    EXPECT_EQ(s.events[0].kind, K::problem);
    EXPECT_EQ(s.events[0].problem, ProblemKind::port_busy);
    EXPECT_EQ(s.events[0].value, 48001);
    EXPECT_EQ(s.busy_port, 48002);

    board.clear_problem(ProblemKind::port_busy);
    EXPECT_FALSE(board.snapshot().problems[3]);
    board.report_problem(ProblemKind::port_busy, 48003);  // back again: shown again
    s = board.snapshot();
    ASSERT_EQ(s.events.size(), 2u);
    EXPECT_EQ(s.events[1].problem, ProblemKind::port_busy);
    EXPECT_EQ(s.events[1].value, 48003);

    board.report_problem(ProblemKind::none);  // not a problem: ignored
    EXPECT_EQ(board.snapshot().events.size(), 2u);
}

TEST_F(BoardTest, KeepsTheNewestEightEvents) {
    for (int i = 0; i < 11; ++i) {
        board.add_event(K::session_ended, i);
    }
    const auto s = board.snapshot();
    ASSERT_EQ(s.events.size(), kMaxStatusEvents);
    EXPECT_EQ(s.events.front().seq, 4u);
    EXPECT_EQ(s.events.front().value, 3);
    EXPECT_EQ(s.events.back().seq, 11u);
}

TEST_F(BoardTest, StoppingIsMarkedOnce) {
    board.set_stopping();
    board.set_stopping();
    EXPECT_TRUE(board.snapshot().stopping);
    EXPECT_EQ(kinds(), (std::vector<K>{K::stopping}));
}

TEST_F(BoardTest, EveryChangeRaisesTheCounterOnce) {
    auto counter = [&] {
        std::lock_guard lock(board.mutex);
        return board.change_counter;
    };
    EXPECT_EQ(counter(), 0u);
    board.set_link_state(LinkState::connected, LinkTransport::udp);
    EXPECT_EQ(counter(), 1u);
    board.set_link_state(LinkState::connected, LinkTransport::udp);  // nothing changed
    EXPECT_EQ(counter(), 1u);
    board.set_public_address("203.0.113.5");
    board.set_sent_rate(12.5);
    board.poke();
    EXPECT_EQ(counter(), 4u);
    board.set_public_address("203.0.113.5");
    EXPECT_EQ(counter(), 4u);
}

TEST_F(BoardTest, UnmeasurableFiguresAreOneUnknownAndNotAChangeEachTime) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    board.set_path(MediaPathKind::relay, nan, -std::numeric_limits<double>::infinity());
    board.set_sent_rate(nan);
    std::uint64_t after_first = 0;
    {
        std::lock_guard lock(board.mutex);
        after_first = board.change_counter;
    }
    board.set_path(MediaPathKind::relay, nan, nan);
    board.set_sent_rate(std::numeric_limits<double>::infinity());
    const auto snap = board.snapshot();
    EXPECT_EQ(snap.ping_ms, -1.0);
    EXPECT_EQ(snap.loss_pct, -1.0);
    EXPECT_EQ(snap.sent_mbps, -1.0);
    std::lock_guard lock(board.mutex);
    EXPECT_EQ(board.change_counter, after_first);
}

TEST_F(BoardTest, AChangeWakesAWaitingThread) {
    std::promise<void> waiting;
    auto waiter = std::async(std::launch::async, [&] {
        std::unique_lock lock(board.mutex);
        const auto seen = board.change_counter;
        waiting.set_value();
        // The main thread can take the mutex only once this wait has released it, so the
        // change below happens while we wait; without a notification this would time out.
        const auto start = std::chrono::steady_clock::now();
        const bool woke = board.changed.wait_for(lock, std::chrono::seconds(30),
                                                 [&] { return board.change_counter != seen; });
        return woke && std::chrono::steady_clock::now() - start < std::chrono::seconds(20);
    });
    waiting.get_future().wait();
    board.report_problem(ProblemKind::capture_failed);
    EXPECT_TRUE(waiter.get());
}

TEST_F(BoardTest, WaitForChangeReturnsTheNewCounter) {
    auto waiter = std::async(std::launch::async,
                             [&] { return board.wait_for_change(0, std::chrono::seconds(30)); });
    board.poke();
    EXPECT_EQ(waiter.get(), 1u);
    // Already different: returns at once.
    EXPECT_EQ(board.wait_for_change(0, std::chrono::seconds(30)), 1u);
}

TEST(StatusBoardSingleton, IsOneObject) {
    EXPECT_EQ(&status_board(), &status_board());
}

}  // namespace
}  // namespace vx
