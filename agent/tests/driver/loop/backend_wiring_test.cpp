#include "driver/backend_wiring.hpp"

#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <thread>

#include "backend/diagnostics/diagnostics.hpp"
#include "status/status_board.hpp"
#include "support/free_ports.hpp"
#include "support/log_lines.hpp"
#include "traversal/router/scripted_steps.hpp"

namespace vx {
namespace {

constexpr const char* kRouterWan = "100.128.0.2";
constexpr const char* kMismatchLine =
    "Direct path: router WAN 100.128.0.2 != backend observed 8.8.4.4 - upstream NAT/CGNAT; the "
    "sessions announce the observed address";

std::string observed_ip(const std::string& address) {
    return R"({"type":"observed_ip","public_ip":")" + address + R"("})";
}

std::string prepare_session(const std::string& id) {
    return R"({"type":"prepare_session","session_id":")" + id + R"("})";
}

std::string terminate_session(const std::string& id) {
    return R"({"type":"terminate_session","session_id":")" + id + R"("})";
}

// The whole wiring with a scripted router and no backend connection: the test is the
// connector's thread and hands it the backend's messages.
class BackendWiringTest : public ::testing::Test {
  protected:
    BackendWiringTest() {
        config.saas_host = "127.0.0.1";
        config.saas_port = 9;  // never dialled
        config.port_base = test::free_port_base();
        router->igd = network::test::gateway_igd(kRouterWan);
    }

    // A fresh wiring, once the test has set up the router and the backend's timing.
    BackendWiring& wire() {
        wiring_.reset();
        wiring_ = std::make_unique<BackendWiring>(config, orders, running, stop,
                                                  BackendWiring::Seams{router, backend_timing()});
        return *wiring_;
    }
    void backend_sends(const std::string& message) { wiring_->connector().handle_message(message); }
    // As the session driver's stop does.
    void request_stop() {
        stop = true;
        running = false;
        { std::lock_guard lock(orders.mutex); }
        orders.wake.notify_all();
    }

    // The backend tells the observed address `at_ms` after the link came up; start-up sees it
    // when its wait lasts that long.
    struct Observation {
        std::string address;
        std::int64_t at_ms = 0;
    };
    std::optional<Observation> observation;

    AgentConfig config;
    SessionOrders orders;
    std::atomic<bool> running{true};
    std::atomic<bool> stop{false};
    std::shared_ptr<network::test::ScriptedSteps> router =
        std::make_shared<network::test::ScriptedSteps>();
    test::LogLines log;

  private:
    std::function<bool(DirectCandidateState&, std::int64_t)> backend_timing() {
        return [this](DirectCandidateState& observed, std::int64_t timeout_ms) {
            if (observation && observation->at_ms <= timeout_ms) {
                backend_sends(observed_ip(observation->address));
            }
            return observed.wait_published(0);
        };
    }
    std::unique_ptr<BackendWiring> wiring_;
};

// Start-up waits for the backend's view of the address, and trusts the router's WAN address only
// when the backend sees the same one.
TEST_F(BackendWiringTest, StartUpWaitsForTheObservedAddressBeforeTrustingTheRouter) {
    struct Case {
        const char* observed;
        std::int64_t at_ms;
        const char* announced;
        DirectVerdict verdict;
    };
    const Case cases[] = {
        {"8.8.4.4", 2400, "8.8.4.4", DirectVerdict::behind_cgnat},
        {kRouterWan, 2400, kRouterWan, DirectVerdict::upnp_supported},
        {"8.8.4.4", 2600, kRouterWan, DirectVerdict::upnp_supported},  // too late for start-up
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.observed) + " at " + std::to_string(c.at_ms) + " ms");
        log.clear();
        observation = Observation{c.observed, c.at_ms};
        BackendWiring& wiring = wire();
        EXPECT_EQ(wiring.announced_address(), kRouterWan) << "before the backend has a say";
        wiring.settle_public_address();
        EXPECT_EQ(wiring.announced_address(), c.announced);
        EXPECT_EQ(status_board().snapshot().verdict, c.verdict);
        EXPECT_EQ(log.count(kMismatchLine), c.verdict == DirectVerdict::behind_cgnat ? 1 : 0);
    }
}

// The backend may tell its view only after start-up stopped waiting: from then on the sessions
// announce what it observes, not the router's address. It arrives on the connector's thread
// while the driver's thread reads the address.
TEST_F(BackendWiringTest, ALateObservedAddressEndsTheRouterAddressAnnouncement) {
    BackendWiring& wiring = wire();
    wiring.settle_public_address();
    ASSERT_EQ(wiring.announced_address(), kRouterWan);
    backend_sends(observed_ip(kRouterWan));
    EXPECT_EQ(wiring.announced_address(), kRouterWan) << "the backend agrees";

    std::thread connector([&] { backend_sends(observed_ip("8.8.4.4")); });
    const std::string meanwhile = wiring.announced_address();
    connector.join();
    EXPECT_TRUE(meanwhile == kRouterWan || meanwhile == "8.8.4.4") << meanwhile;
    EXPECT_EQ(wiring.announced_address(), "8.8.4.4");
    EXPECT_EQ(status_board().snapshot().verdict, DirectVerdict::behind_cgnat);
    backend_sends(observed_ip("8.8.4.4"));  // again after a reconnect
    EXPECT_EQ(log.count(kMismatchLine), 1);
    // The next connection's "register" no longer claims the router's address either.
    wiring.connector().resend_after_reconnect();
    const std::vector<std::string> sent = wiring.connector().take_outgoing();
    ASSERT_FALSE(sent.empty());
    EXPECT_NE(sent.front().find(R"("public_ip":"8.8.4.4")"), std::string::npos) << sent.front();
}

// Agent reports wait while a session runs. An order the backend ends before it started, while
// another session runs, must not end that wait; once no session runs, it ends.
TEST_F(BackendWiringTest, AnOrderDroppedDuringASessionKeepsAgentReportsWaiting) {
    config.force_direct = "198.51.100.7";  // the sessions ask neither the router nor STUN
    BackendWiring& wiring = wire();
    const auto upload =
        std::dynamic_pointer_cast<network::Diagnostics>(wiring.connector().log_upload());
    ASSERT_TRUE(upload);
    auto serving = std::async(std::launch::async, [&] { wiring.serve(); });
    backend_sends(prepare_session("a"));
    ASSERT_TRUE(log.wait_for("Waiting for launcher connection on TCP port"));
    backend_sends(prepare_session("b"));
    backend_sends(terminate_session("b"));
    ASSERT_EQ(log.count("SaaS terminated session b (saas_terminated) before it started"), 1);
    EXPECT_TRUE(upload->session_active()) << "session a runs";

    backend_sends(terminate_session("a"));
    ASSERT_TRUE(log.wait_for("Session ended - waiting for next prepare_session..."));
    EXPECT_FALSE(upload->session_active());
    request_stop();
    EXPECT_EQ(serving.wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

// An address given by hand is announced and shown whatever the router and the backend say.
TEST_F(BackendWiringTest, AnAddressGivenByHandStands) {
    config.public_ip = "100.128.0.7";
    status_board().set_public_address("");
    BackendWiring& wiring = wire();
    wiring.settle_public_address();
    backend_sends(observed_ip("8.8.4.4"));
    EXPECT_EQ(wiring.announced_address(), "100.128.0.7");
    EXPECT_EQ(status_board().snapshot().public_address, "100.128.0.7");
    EXPECT_EQ(status_board().snapshot().verdict, DirectVerdict::set_by_hand);
    EXPECT_EQ(log.count("Direct path: router WAN"), 1) << "only the discovery's line";
}

// A hand-given address that no launcher could reach (not public, with a port, no address at all)
// is said once and set aside: the registration and the sessions announce the router's address,
// and the backend's view shows on the board, as without one.
TEST_F(BackendWiringTest, AHandGivenAddressThatIsNoPublicAddressIsSetAside) {
    for (const char* given : {"192.168.1.20", "100.64.0.9", "198.51.100.7", "100.128.0.7:48002",
                              "my-pc.example", " 100.128.0.7"}) {
        SCOPED_TRACE(given);
        log.clear();
        status_board().set_public_address("");
        config.public_ip = given;
        BackendWiring& wiring = wire();
        EXPECT_EQ(log.count(std::string("--public-ip '") + given +
                            "' is not a public IPv4 address - set aside; the sessions announce "
                            "the router's or the backend's view of this PC's address"),
                  1);
        wiring.settle_public_address();
        EXPECT_EQ(wiring.announced_address(), kRouterWan);
        EXPECT_EQ(status_board().snapshot().verdict, DirectVerdict::upnp_supported);
        wiring.connector().resend_after_reconnect();
        const std::vector<std::string> sent = wiring.connector().take_outgoing();
        ASSERT_FALSE(sent.empty());
        EXPECT_NE(sent.front().find(std::string(R"("public_ip":")") + kRouterWan + "\""),
                  std::string::npos)
            << sent.front();
        backend_sends(observed_ip(kRouterWan));
        EXPECT_EQ(status_board().snapshot().public_address, kRouterWan);
    }
}

TEST(MakeSaasConfig, TlsExactlyOnPort443AndTheRegistrationFromTheSystem) {
    AgentConfig config;
    config.saas_host = "backend.example";
    config.agent_token = "tok";
    config.server_id = "srv";
    config.port_base = 50000;
    config.public_ip = "198.51.100.7";
    util::SystemInfo sys;
    sys.cpu_name = "Test CPU";
    sys.ram_mb = 1ull << 40;
    sys.os_text = "Debian";
    sys.gpu_name = "Test GPU";
    sys.gpu_vram_mb = 8192;
    for (std::uint16_t port : {443, 80, 8443}) {
        config.saas_port = port;
        const auto c = make_saas_config(config, sys, "9.9.9");
        EXPECT_EQ(c.tls, port == 443) << port;
        EXPECT_EQ(c.port, port);
    }
    const auto c = make_saas_config(config, sys, "9.9.9");
    EXPECT_EQ(c.host, "backend.example");
    EXPECT_EQ(c.agent_token, "tok");
    EXPECT_EQ(c.register_payload.agent_version, "9.9.9");
    EXPECT_EQ(c.register_payload.cpu_model, "Test CPU");
    EXPECT_EQ(c.register_payload.ram_mb, 0xFFFFFFFFu) << "clamped, not wrapped";
    EXPECT_EQ(c.register_payload.gpu_model, "Test GPU");
    EXPECT_EQ(c.register_payload.gpu_vram_mb, 8192u);
    EXPECT_EQ(c.register_payload.os_version, "Debian");
    EXPECT_EQ(c.register_payload.port_base, 50000);
    EXPECT_EQ(c.register_payload.public_ip, "198.51.100.7");
}

}  // namespace
}  // namespace vx
