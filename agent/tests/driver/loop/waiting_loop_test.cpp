#include <gtest/gtest.h>

#include <utility>

#include "driver/waiting_loop.hpp"
#include "support/fake_clock.hpp"
#include "support/log_lines.hpp"

namespace vx {
namespace {

using namespace std::chrono_literals;
using Step = WaitingLoop::Step;

class WaitingLoopTest : public ::testing::Test {
  protected:
    WaitingLoop make() {
        return WaitingLoop({.orders = orders,
                            .running = running,
                            .stop_requested = stop,
                            .clear_cached_session_ready = [this] { ++clears; },
                            .run_session =
                                [this](const network::PrepareSessionParams& p) {
                                    ran.push_back(p.session_id);
                                    if (on_session)
                                        on_session();
                                },
                            .now =
                                [this] {
                                    if (auto f = std::exchange(on_clock, nullptr))
                                        f();
                                    return clock.now_us();
                                },
                            .note_back_to_waiting =
                                [this](const std::string& id) { back_to_waiting.push_back(id); }});
    }
    void prepare(const std::string& id) {
        std::lock_guard lock(orders.mutex);
        orders.prepared = true;
        orders.prepared_params.session_id = id;
        orders.prepared_us = clock.now_us();
        orders.last_order_id = id;
    }

    test::FakeClock clock;
    SessionOrders orders;
    std::atomic<bool> running{true};
    std::atomic<bool> stop{false};
    int clears = 0;
    std::vector<std::string> ran;
    std::vector<std::string> back_to_waiting;  // told to the log upload
    std::function<void()> on_session;
    std::function<void()> on_clock;  // once, when the loop next reads its clock
    test::LogLines log;
};

TEST_F(WaitingLoopTest, RunsAPreparedSessionAndGoesBackToWaiting) {
    auto loop = make();
    EXPECT_EQ(loop.step(0ms), Step::waited);
    prepare("s1");
    EXPECT_EQ(loop.step(0ms), Step::ran_session);
    EXPECT_EQ(ran, std::vector<std::string>{"s1"});
    EXPECT_EQ(back_to_waiting, std::vector<std::string>{"s1"});
    EXPECT_EQ(clears, 1);
    EXPECT_FALSE(orders.session_running);
    EXPECT_EQ(log.count("Session ended - waiting for next prepare_session..."), 1);
}

TEST_F(WaitingLoopTest, AnOrderOlderThanAMinuteIsDropped) {
    auto loop = make();
    prepare("old");
    clock.advance_ms(60'001);
    EXPECT_EQ(loop.step(0ms), Step::dropped_stale);
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(back_to_waiting, std::vector<std::string>{"old"});
    EXPECT_EQ(clears, 1);
    EXPECT_EQ(log.count("Prepared session old waited 60 s to start - the client has given up on "
                        "it by now; not starting it"),
              1);
    const std::string huge(100'000, 'i');  // the backend's text, quoted short
    prepare(huge);
    clock.advance_ms(60'001);
    EXPECT_EQ(loop.step(0ms), Step::dropped_stale);
    EXPECT_EQ(log.count("Prepared session " + huge.substr(0, 200) + "... waited 60 s to start"), 1);
    prepare("fresh");
    clock.advance_ms(60'000);
    EXPECT_EQ(loop.step(0ms), Step::ran_session) << "exactly 60 s is not too old";
}

// The log upload hears that the agent waits again, named by the newest order, only when no
// session runs and no order waits for the loop.
TEST_F(WaitingLoopTest, TheLogUploadHearsOfWaitingOnlyWithNothingToRun) {
    auto loop = make();
    prepare("dropped");
    {
        std::lock_guard lock(orders.mutex);  // as the handler drops an order terminated early
        orders.prepared = false;
    }
    EXPECT_EQ(loop.step(0ms), Step::waited);
    EXPECT_EQ(back_to_waiting, std::vector<std::string>{"dropped"});

    back_to_waiting.clear();
    prepare("s1");
    on_session = [this] {
        EXPECT_TRUE(back_to_waiting.empty()) << "s1 runs";
        prepare("s2");  // arrives while s1 runs
        on_session = nullptr;
    };
    EXPECT_EQ(loop.step(0ms), Step::ran_session);
    EXPECT_TRUE(back_to_waiting.empty()) << "s2 is next";
    EXPECT_EQ(loop.step(0ms), Step::ran_session);
    EXPECT_EQ(ran, (std::vector<std::string>{"s1", "s2"}));
    EXPECT_EQ(back_to_waiting, std::vector<std::string>{"s2"});
}

TEST_F(WaitingLoopTest, TheEndedLineAppearsAtMostOncePerThirtySeconds) {
    auto loop = make();
    for (int i = 0; i < 3; ++i) {
        prepare("s" + std::to_string(i));
        loop.step(0ms);
        clock.advance_ms(10'000);
    }
    EXPECT_EQ(log.count("Session ended - waiting"), 1);
    clock.advance_ms(1'000);
    prepare("s3");
    loop.step(0ms);
    EXPECT_EQ(log.count("Session ended - waiting"), 2);
}

TEST_F(WaitingLoopTest, ARequestedSessionEndSetsRunningAgain) {
    auto loop = make();
    on_session = [this] {
        std::lock_guard lock(orders.mutex);
        orders.end_requested = true;
        running = false;
    };
    prepare("s1");
    EXPECT_EQ(loop.step(0ms), Step::ran_session);
    EXPECT_TRUE(running.load());
}

TEST_F(WaitingLoopTest, AStopEndsTheLoopAndWinsOverAnOrder) {
    auto loop = make();
    prepare("s1");
    stop = true;
    running = false;
    EXPECT_EQ(loop.step(0ms), Step::stopped);
    EXPECT_TRUE(ran.empty());
    loop.run();  // returns at once
    EXPECT_EQ(log.count("SaaS connector started - waiting for prepare_session..."), 1);
}

// The stop may come on another thread while the loop is taking an order: the loop must not set
// the running flag again behind the stop's back and serve a whole session the stop ended.
TEST_F(WaitingLoopTest, AStopWhileAnOrderIsTakenIsNotUndone) {
    auto loop = make();
    prepare("s1");
    bool running_in_session = false;
    on_session = [&] { running_in_session = running.load(); };
    on_clock = [this] {  // as the session driver's stop does
        stop = true;
        running = false;
    };
    const Step step = loop.step(0ms);
    EXPECT_FALSE(running.load());
    EXPECT_FALSE(running_in_session);
    EXPECT_TRUE(step == Step::stopped || step == Step::ran_session);
}

}  // namespace
}  // namespace vx
