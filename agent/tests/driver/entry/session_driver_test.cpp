#include "driver/session_driver.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <asio.hpp>
#include <future>
#include <thread>

#include "config/command_line.hpp"
#include "platform/stop_signals.hpp"
#include "status/status_board.hpp"
#include "support/free_ports.hpp"

namespace vx {
namespace {

class SessionDriverTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(platform::prepare_process_signals()); }

    // The standalone session binds real ports: each run gets its own, so parallel runs of these
    // tests do not end each other's sessions with a busy port.
    std::vector<std::string> args(std::vector<std::string> extra = {}) const {
        extra.insert(extra.end(), {"--port-base", std::to_string(base_)});
        return extra;
    }
    // Runs in the test's own process: the host's firewall is left alone, the call recorded.
    SessionDriver::FirewallStep firewall() {
        return [this](std::uint16_t port_base) { firewall_bases_.push_back(port_base); };
    }

    std::uint16_t base_ = test::free_port_base();
    std::vector<std::uint16_t> firewall_bases_;
};

TEST_F(SessionDriverTest, RequestStopEndsTheRunWithCodeZero) {
    SessionDriver driver(args({"--fps", "30"}), firewall());
    auto result = std::async(std::launch::async, [&] { return driver.run(); });
    driver.request_stop();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(driver.failure(), "");
    EXPECT_TRUE(driver.stop_requested());
    EXPECT_FALSE(driver.running());
    EXPECT_EQ(driver.config().fps, 30u);
    EXPECT_TRUE(status_board().snapshot().stopping);
}

TEST_F(SessionDriverTest, StopSignalEndsTheRun) {
    SessionDriver driver(args(), firewall());
    auto result = std::async(std::launch::async, [&] { return driver.run(); });
    // Pending until the driver's watcher takes it, whenever that starts: no race with start-up.
    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_TRUE(driver.stop_requested());
}

TEST_F(SessionDriverTest, StandaloneRunShowsTheStandaloneLinkState) {
    SessionDriver driver(args(), firewall());
    driver.request_stop();  // a stop before the run still lets it start up, then it ends
    EXPECT_EQ(driver.run(), 0);
    EXPECT_EQ(status_board().snapshot().link, LinkState::standalone);
    EXPECT_EQ(firewall_bases_, std::vector<std::uint16_t>{base_});  // standalone too
}

// Its one session is all a standalone agent is for: when it fails, the run fails, with the reason.
TEST_F(SessionDriverTest, FailedStandaloneSessionEndsTheRunWithCodeOneAndTheReason) {
    const std::uint16_t base = test::free_port_base();
    asio::io_context io;
    asio::ip::tcp::acceptor taken(io, {asio::ip::tcp::v4(), static_cast<std::uint16_t>(base + 3)});
    SessionDriver driver({"--port-base", std::to_string(base)}, firewall());
    EXPECT_EQ(driver.run(), 1);
    EXPECT_NE(driver.failure().find("control port " + std::to_string(base + 3) + " unavailable"),
              std::string::npos)
        << driver.failure();
    EXPECT_TRUE(status_board().snapshot().problems[static_cast<int>(ProblemKind::port_busy)]);
}

TEST_F(SessionDriverTest, UnusableCommandLineThrowsTheParsersMessage) {
    SessionDriver driver({"--port-base", "70000"}, firewall());
    try {
        driver.run();
        FAIL() << "no exception";
    } catch (const CommandLineError& e) {
        EXPECT_STREQ(e.what(),
                     "--port-base: 70000 is out of range (1 to 65530) (run with --help to see the "
                     "options)");
    }
}

}  // namespace
}  // namespace vx
