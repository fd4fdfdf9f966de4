#include "util/io/strand_call.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vx::test {
namespace {

using namespace std::chrono_literals;

// The strand picks the call up only as the caller's wait runs out: the caller must not return
// while the call still runs there, or a call that uses the caller's locals touches a dead frame.
TEST(CallOnStrand, ReturnsOnlyOnceACallTheStrandTookLateHasFinished) {
    asio::io_context io;
    auto strand = asio::make_strand(io);
    std::atomic<bool> blocker_started{false};
    // Keeps the strand busy until just before the caller's limit, then lets the call run.
    asio::post(strand, [&] {
        blocker_started = true;
        std::this_thread::sleep_for(20ms);
    });
    std::thread runner([&] { io.run(); });
    while (!blocker_started) {
        std::this_thread::yield();
    }
    bool finished = false;
    call_on_strand(
        strand,
        [&finished] {
            std::this_thread::sleep_for(100ms);
            finished = true;
        },
        60ms);
    EXPECT_TRUE(finished);
    runner.join();
}

TEST(CallOnStrand, RunsTheCallHereWhenNoThreadRunsTheStrand) {
    asio::io_context io;
    auto strand = asio::make_strand(io);
    std::thread::id ran_on;
    call_on_strand(
        strand, [&] { ran_on = std::this_thread::get_id(); }, 10ms);
    EXPECT_EQ(ran_on, std::this_thread::get_id());
    io.run();  // the posted copy finds the call taken and does nothing
}

}  // namespace
}  // namespace vx::test
