#include "diag/overflow_watch_sink.hpp"

#include <gtest/gtest.h>

#include <spdlog/async_logger.h>
#include <spdlog/details/thread_pool.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/ostream_sink.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <sstream>
#include <string>

#include "diag/delayed_flush.hpp"
#include "support/fake_clock.hpp"

namespace vx::util::detail {
namespace {

class OverflowWatchTest : public ::testing::Test {
  protected:
    OverflowWatchTest() {
        watch = std::make_shared<overflow_watch_sink>([this] { return overruns; }, clock.fn());
        watch->add_sink(std::make_shared<spdlog::sinks::ostream_sink_st>(out));
        logger = std::make_shared<spdlog::logger>("agent", watch);
        logger->set_pattern("%l %v");
    }

    int warnings() const {
        int n = 0;
        const std::string text = out.str();
        for (auto pos = text.find(overflow_watch_sink::kWarning); pos != std::string::npos;
             pos = text.find(overflow_watch_sink::kWarning, pos + 1)) {
            ++n;
        }
        return n;
    }

    std::size_t overruns = 0;
    vx::test::FakeClock clock;
    std::ostringstream out;
    std::shared_ptr<overflow_watch_sink> watch;
    std::shared_ptr<spdlog::logger> logger;
};

TEST_F(OverflowWatchTest, PassesLinesThroughWithoutOverrun) {
    logger->info("one");
    logger->warn("two");
    EXPECT_EQ(out.str(), "info one\nwarning two\n");
}

TEST_F(OverflowWatchTest, DrainMarkerIsCountedNotWritten) {
    EXPECT_EQ(watch->markers_seen(), 0u);
    EXPECT_FALSE(watch->wait_for_markers(1, std::chrono::milliseconds(0)));
    logger->info("before");
    logger->critical(overflow_watch_sink::kDrainMarker);
    EXPECT_EQ(out.str(), "info before\n");
    EXPECT_EQ(watch->markers_seen(), 1u);
    EXPECT_TRUE(watch->wait_for_markers(1, std::chrono::milliseconds(0)));
}

TEST_F(OverflowWatchTest, WarnsBeforeTheNextLineAtMostOncePerMinute) {
    overruns = 3;
    logger->info("after overflow");
    EXPECT_EQ(out.str(),
              std::string("warning ") + overflow_watch_sink::kWarning + "\ninfo after overflow\n");

    overruns = 10;  // more drops within the minute: no second warning yet
    clock.advance_ms(59'999);
    logger->info("x");
    EXPECT_EQ(warnings(), 1);

    clock.advance_ms(1);  // the minute is over: the pending drops are reported
    logger->info("y");
    EXPECT_EQ(warnings(), 2);

    clock.advance_ms(120'000);  // no new drops: nothing to say
    logger->info("z");
    EXPECT_EQ(warnings(), 2);
}

}  // namespace
}  // namespace vx::util::detail

namespace vx::util::detail {
namespace {

// Holds the worker inside the first line until the test lets it go.
class GateSink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    std::promise<void> entered;
    std::shared_future<void> open;

  protected:
    void sink_it_(const spdlog::details::log_msg&) override {
        if (!first_done_) {
            first_done_ = true;
            entered.set_value();
            open.wait();
        }
    }
    void flush_() override {}

  private:
    bool first_done_ = false;
};

TEST(OverflowWatchAsync, RealQueueOverrunIsReported) {
    auto pool = std::make_shared<spdlog::details::thread_pool>(2, 1);
    std::ostringstream out;
    std::promise<void> release;
    auto gate = std::make_shared<GateSink>();
    gate->open = release.get_future().share();
    auto entered = gate->entered.get_future();

    // The worker drains the queue inside the pool's destructor: read the counter through the raw
    // pointer, as the logging set-up does.
    auto* raw = pool.get();
    auto watch = std::make_shared<overflow_watch_sink>(
        [raw]() -> std::size_t { return raw->overrun_counter(); }, util::NowFn{});
    watch->add_sink(gate);
    watch->add_sink(std::make_shared<spdlog::sinks::ostream_sink_mt>(out));
    auto logger = std::make_shared<spdlog::async_logger>(
        "agent", watch, pool, spdlog::async_overflow_policy::overrun_oldest);
    logger->set_pattern("%v");

    logger->info("first");
    entered.wait();  // the worker is now stuck in the first line; the queue holds 2
    for (int i = 1; i <= 5; ++i) {
        logger->info("queued {}", i);  // 3 of these overwrite older ones
    }
    release.set_value();
    logger.reset();
    pool.reset();  // the worker drains the queue and exits

    EXPECT_EQ(out.str(),
              std::string("first\n") + overflow_watch_sink::kWarning + "\nqueued 4\nqueued 5\n");
}

// Only lines below the flush-on level ask for the delayed flush; the logger flushes the rest as
// it writes them.
TEST_F(OverflowWatchTest, LinesBelowTheFlushLevelAskForAFlush) {
    logger->set_level(spdlog::level::trace);
    int asked = 0;
    watch->set_unflushed_hook(spdlog::level::info, [&] { ++asked; });
    logger->debug("d");
    logger->trace("t");
    logger->info("i");
    logger->error("e");
    EXPECT_EQ(asked, 2);
    watch->set_unflushed_hook(spdlog::level::off, {});
    logger->debug("after");
    EXPECT_EQ(asked, 2);
}

// Counts the flushes that reach it.
class FlushCounter final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    bool wait_for(int n) {
        std::unique_lock lock(count_mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(5), [&] { return flushes_ >= n; });
    }
    int flushes() {
        std::lock_guard lock(count_mutex_);
        return flushes_;
    }

  protected:
    void sink_it_(const spdlog::details::log_msg&) override {}
    void flush_() override {
        std::lock_guard lock(count_mutex_);
        ++flushes_;
        cv_.notify_all();
    }

  private:
    std::mutex count_mutex_;
    std::condition_variable cv_;
    int flushes_ = 0;
};

TEST(DelayedFlush, ALineIsFlushedAfterTheDelayAndRequestsMeanwhileShareOneFlush) {
    auto sink = std::make_shared<FlushCounter>();
    auto logger = std::make_shared<spdlog::logger>("flushed", sink);
    {
        vx::diag::DelayedFlush flush(logger, std::chrono::milliseconds(20));
        EXPECT_EQ(flush.flushes(), 0u) << "nothing asked, nothing flushed";
        flush.request();
        ASSERT_TRUE(sink->wait_for(1));
    }
    EXPECT_EQ(sink->flushes(), 1) << "the end found nothing pending";
    {
        // Within one (long) delay every request rides along; the end neither sits the delay out
        // nor drops the pending flush.
        vx::diag::DelayedFlush flush(logger, std::chrono::hours(1));
        flush.request();
        flush.request();
        flush.request();
    }
    EXPECT_EQ(sink->flushes(), 2);
}

}  // namespace
}  // namespace vx::util::detail
