#pragma once

// An agent with a backend: every long-lived part it runs on, built and connected here once. The
// router mapper and its start-up discovery, the address the sessions announce, the backend
// connector with the driver's callbacks, the control bridge, the session runner and the waiting
// loop. Nothing outside this file installs a connector callback.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <asio/io_context.hpp>

#include "backend/connector/saas_connector.hpp"
#include "config/agent_config.hpp"
#include "driver/announced_address.hpp"
#include "driver/backend_handlers.hpp"
#include "driver/direct_candidate_state.hpp"
#include "driver/session_orders.hpp"
#include "driver/session_runner.hpp"
#include "driver/waiting_loop.hpp"
#include "traversal/direct/direct_path.hpp"
#include "traversal/router/port_mapper.hpp"
#include "traversal/router/port_mapper_steps.hpp"
#include "util/system_info.hpp"

namespace vx {

namespace network {
class ControlBridge;
}

// The connector's configuration from the agent's: TLS exactly when the backend port is 443,
// the registration filled from what the system tells about itself.
network::SaasConfig make_saas_config(const AgentConfig& config, const util::SystemInfo& system,
                                     std::string_view version);

class BackendWiring {
  public:
    // How long start-up waits for the backend's view of this PC's address before trusting the
    // router's WAN address as the public one.
    static constexpr std::int64_t kObservedAddressWaitMs = 2500;

    // What tests stand in for: the router, and the wait for the backend's observed address.
    struct Seams {
        // The router protocols' steps; none: UPnP, NAT-PMP and PCP on this PC's network.
        std::shared_ptr<network::PortMapperSteps> router_steps;
        // Waits at most `timeout_ms` for the observed address to arrive; true when it has.
        std::function<bool(DirectCandidateState& observed, std::int64_t timeout_ms)> wait_observed;
    };

    // Builds and connects everything; asks the router for its WAN address (a few seconds at
    // most). Opens no backend connection.
    BackendWiring(const AgentConfig& config, SessionOrders& orders, std::atomic<bool>& running,
                  const std::atomic<bool>& stop_requested, Seams seams = {});
    // The connector stops first: its thread calls into everything else.
    ~BackendWiring();
    BackendWiring(const BackendWiring&) = delete;
    BackendWiring& operator=(const BackendWiring&) = delete;

    // Starts the backend link, settles the public address and serves sessions until a stop is
    // requested.
    void run();

    // The steps of run(), for tests that drive the connector themselves instead of starting it.
    // With the router's WAN address adopted, the first session waits (a bounded time) for the
    // backend's view of the address, which may contradict it.
    void settle_public_address();
    void serve() { loop_.run(); }

    // The public address a session announces in "session_ready" now.
    std::string announced_address() const;
    network::SaasConnector& connector() { return connector_; }

  private:
    void connect();

    const AgentConfig& config_;
    const Seams seams_;
    asio::io_context io_;
    DirectCandidateState observed_;
    // One mapper for the run; every session maps its media ports with it.
    network::DirectPortMapper mapper_;
    const network::RouterWan router_wan_;
    AnnouncedAddress announced_;
    // Declared before the connector: the connector's thread, which calls them, ends first.
    BackendHandlers handlers_;
    network::SaasConnector connector_;
    std::shared_ptr<network::ControlBridge> bridge_;
    SessionRunner sessions_;
    WaitingLoop loop_;
};

// Start-up with a backend, the outer loop and the stop path; returns when a stop is requested.
void run_with_backend(const AgentConfig& config, SessionOrders& orders, std::atomic<bool>& running,
                      const std::atomic<bool>& stop_requested);

}  // namespace vx
