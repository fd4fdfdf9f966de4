#include "util/io/io_pool.hpp"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

#include "support/log_lines.hpp"

namespace vx {
namespace {

using namespace std::chrono_literals;

// A handler that throws is logged through the agent's own logger (in every build: an optimised
// one must not take a private copy of it), and the pool runs the next handler.
TEST(IoPool, AHandlerThatThrowsIsLoggedAndThePoolRunsOn) {
    test::LogLines log;
    asio::io_context io;
    IoPool pool(io);
    pool.start(1);
    asio::post(io, [] { throw std::runtime_error("boom"); });
    std::promise<void> next;
    asio::post(io, [&] { next.set_value(); });
    EXPECT_EQ(next.get_future().wait_for(20s), std::future_status::ready);
    pool.stop();
    EXPECT_EQ(log.count("I/O pool: handler raised: boom"), 1);
}

}  // namespace
}  // namespace vx
