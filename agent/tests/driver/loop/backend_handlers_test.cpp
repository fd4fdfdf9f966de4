#include <gtest/gtest.h>

#include <optional>

#include "driver/backend_handlers.hpp"
#include "status/status_board.hpp"
#include "support/fake_clock.hpp"
#include "support/log_lines.hpp"

namespace vx {
namespace {

class BackendHandlersTest : public ::testing::Test {
  protected:
    BackendHandlers make(bool public_ip_given = false) {
        address.emplace(public_ip_given ? "9.9.9.9" : "", "", direct);
        return BackendHandlers(orders, running, direct, *address, clock.fn());
    }
    network::PrepareSessionParams order(const std::string& id) {
        network::PrepareSessionParams p;
        p.session_id = id;
        p.resolution = "2560x1440";
        return p;
    }

    test::FakeClock clock{5'000'000};
    SessionOrders orders;
    std::atomic<bool> running{true};
    DirectCandidateState direct;
    std::optional<AnnouncedAddress> address;
    test::LogLines log;
};

TEST_F(BackendHandlersTest, PrepareCopiesStampsAndSignals) {
    auto h = make();
    h.on_prepare_session(order("s1"));
    std::lock_guard lock(orders.mutex);
    EXPECT_TRUE(orders.prepared);
    EXPECT_EQ(orders.prepared_params.session_id, "s1");
    EXPECT_EQ(orders.prepared_params.resolution, "2560x1440");
    EXPECT_EQ(orders.prepared_us, 5'000'000);
}

TEST_F(BackendHandlersTest, TerminateTheRunningSessionEndsIt) {
    auto h = make();
    orders.session_running = true;
    orders.running_session_id = "run-1";
    h.on_session_terminated("run-1", "saas_terminated");
    EXPECT_TRUE(orders.end_requested);
    EXPECT_FALSE(running.load());
    EXPECT_EQ(log.count("SaaS terminated session run-1 (saas_terminated) - ending it"), 1);
    // An empty id means whatever runs.
    orders.end_requested = false;
    running = true;
    h.on_session_terminated("", "admin");
    EXPECT_TRUE(orders.end_requested);
}

TEST_F(BackendHandlersTest, TerminateAPreparedSessionDropsIt) {
    auto h = make();
    h.on_prepare_session(order("p-2"));
    h.on_session_terminated("other", "saas_terminated");
    h.on_session_terminated("p-2", "client_left");
    EXPECT_FALSE(orders.prepared);
    EXPECT_EQ(orders.last_order_id, "p-2") << "for the waiting loop's note to the log upload";
    EXPECT_TRUE(running.load());
    EXPECT_EQ(log.count("SaaS terminated session p-2 (client_left) before it started - not "
                        "starting it"),
              1);
}

TEST_F(BackendHandlersTest, TerminateAnotherSessionChangesNothing) {
    auto h = make();
    orders.session_running = true;
    orders.running_session_id = "mine";
    h.on_prepare_session(order("next"));
    h.on_session_terminated("other", "saas_terminated");
    EXPECT_TRUE(running.load());
    EXPECT_TRUE(orders.prepared);
    EXPECT_FALSE(orders.end_requested);
    EXPECT_EQ(log.count("SaaS terminated session other (saas_terminated) - not running on this "
                        "PC (serving: mine); the agent keeps waiting for the next session"),
              1);
}

// The backend's texts reach the log cut as the connector cuts them, whichever session the
// order names.
TEST_F(BackendHandlersTest, TerminateQuotesTheBackendsTextsCut) {
    const std::string id(200, 'i');
    const std::string reason(100'000, 'r');
    const std::string cut_id = std::string(80, 'i') + "...";
    const std::string cut_reason = std::string(80, 'r') + "...";
    auto h = make();
    h.on_session_terminated(id, reason);
    h.on_prepare_session(order(id));
    h.on_session_terminated(id, reason);
    orders.session_running = true;
    orders.running_session_id = id;
    h.on_session_terminated(id, reason);
    ASSERT_EQ(log.lines().size(), 3u);
    for (const std::string& line : log.lines()) {
        EXPECT_LT(line.size(), 500u);
        EXPECT_NE(line.find("SaaS terminated session " + cut_id + " (" + cut_reason + ")"),
                  std::string::npos)
            << line.substr(0, 200);
    }
}

TEST_F(BackendHandlersTest, ObservedAddressMustBePublic) {
    auto h = make();
    status_board().set_public_address("");
    for (const char* ignored :
         {"10.1.2.3", "100.64.0.1", "127.0.0.1", "203.0.113.5", "1.2.3", "::1", ""}) {
        h.on_observed_ip(ignored);
        EXPECT_FALSE(direct.published()) << ignored;
    }
    EXPECT_FALSE(direct.wait_published(0));
    EXPECT_TRUE(direct.matches_via("100.128.0.2"));  // nothing observed contradicts nothing
    h.on_observed_ip("8.8.4.4");
    EXPECT_TRUE(direct.wait_published(0));
    EXPECT_EQ(direct.published_via(), "8.8.4.4");
    EXPECT_TRUE(direct.matches_via("8.8.4.4"));
    EXPECT_FALSE(direct.matches_via("100.128.0.2"));
    EXPECT_EQ(status_board().snapshot().public_address, "8.8.4.4");
}

TEST_F(BackendHandlersTest, ObservedAddressLeavesAHandGivenAddressOnTheBoard) {
    auto h = make(true);
    status_board().set_public_address("9.9.9.9");
    h.on_observed_ip("8.8.4.4");
    EXPECT_TRUE(direct.published());
    EXPECT_EQ(status_board().snapshot().public_address, "9.9.9.9");
}

}  // namespace
}  // namespace vx
