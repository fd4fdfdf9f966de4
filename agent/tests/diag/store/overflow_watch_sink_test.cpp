#include "diag/overflow_watch_sink.hpp"

#include <gtest/gtest.h>

#include <spdlog/logger.h>
#include <spdlog/sinks/ostream_sink.h>

#include <sstream>
#include <string>

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
