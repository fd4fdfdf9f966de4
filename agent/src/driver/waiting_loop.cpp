#include "driver/waiting_loop.hpp"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <limits>

#include "backend/bridge/control_bridge.hpp"
#include "backend/connector/saas_connector.hpp"
#include "config/command_line.hpp"
#include "driver/backend_handlers.hpp"
#include "driver/direct_candidate_state.hpp"
#include "driver/direct_verdict.hpp"
#include "driver/session_config.hpp"
#include "driver/session_runner.hpp"
#include "status/status_board.hpp"
#include "traversal/direct/direct_path.hpp"
#include "util/shared_endpoint.hpp"

namespace vx {

namespace {

// How long start-up waits for the backend's view of this PC's address before trusting the
// router's WAN address as the public one.
constexpr std::int64_t kObservedAddressWaitMs = 2500;

// The order's copy of the session master key is wiped once the order is done with.
struct MasterKeyWipe {
    std::vector<std::uint8_t>& key;
    ~MasterKeyWipe() {
        if (!key.empty())
            sodium_memzero(key.data(), key.size());
    }
};

std::uint32_t clamp_u32(std::uint64_t v) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(v, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

network::SaasConfig make_saas_config(const AgentConfig& config, const util::SystemInfo& system,
                                     std::string_view version) {
    network::SaasConfig c;
    c.host = config.saas_host;
    c.port = config.saas_port;
    c.tls = config.saas_port == 443;
    c.server_id = config.server_id;
    c.agent_token = config.agent_token;
    c.control_udp_host = config.control_udp_host;
    c.control_udp_port = config.control_udp_port;
    network::RegisterPayload& r = c.register_payload;
    r.agent_version = std::string(version);
    r.gpu_model = system.gpu_name;
    r.gpu_vram_mb = clamp_u32(system.gpu_vram_mb);
    r.cpu_model = system.cpu_name;
    r.ram_mb = clamp_u32(system.ram_mb);
    r.os_version = system.os_text;
    r.port_base = config.port_base;
    r.public_ip = config.public_ip;
    return c;
}

void WaitingLoop::run() {
    spdlog::info("SaaS connector started - waiting for prepare_session...");
    d_.clear_cached_session_ready();
    while (step(kStep) != Step::stopped) {
    }
}

WaitingLoop::Step WaitingLoop::step(std::chrono::milliseconds wait) {
    std::unique_lock lock(d_.orders.mutex);
    d_.orders.wake.wait_for(lock, wait,
                            [&] { return d_.orders.prepared || d_.stop_requested.load(); });
    if (d_.stop_requested.load())
        return Step::stopped;
    if (!d_.orders.prepared) {
        // A session end requested while nothing ran cleared the running flag: wait on.
        if (!d_.running.load())
            d_.running.store(true);
        return Step::waited;
    }
    network::PrepareSessionParams params = std::move(d_.orders.prepared_params);
    d_.orders.prepared_params = network::PrepareSessionParams{};
    d_.orders.prepared = false;
    const MasterKeyWipe wipe{params.encryption_key};
    const std::int64_t waited_us = d_.now() - d_.orders.prepared_us;
    if (waited_us > kStaleUs) {
        lock.unlock();
        spdlog::warn(
            "Prepared session {} waited {} s to start - the client has given up on it "
            "by now; not starting it",
            params.session_id, waited_us / 1'000'000);
        back_to_waiting(params.session_id, false);
        return Step::dropped_stale;
    }
    d_.orders.session_running = true;
    d_.orders.running_session_id = params.session_id;
    d_.orders.end_requested = false;
    d_.running.store(true);
    lock.unlock();

    d_.run_session(params);

    lock.lock();
    d_.orders.session_running = false;
    d_.orders.running_session_id.clear();
    const bool end_requested = d_.orders.end_requested;
    d_.orders.end_requested = false;
    if (end_requested && !d_.stop_requested.load())
        d_.running.store(true);
    lock.unlock();
    back_to_waiting(params.session_id, true);
    return Step::ran_session;
}

void WaitingLoop::back_to_waiting(const std::string& session_id, bool after_session) {
    d_.clear_cached_session_ready();
    // A session that ended without its upload (a failed set-up within the quiet minute, an
    // order dropped unstarted) must not keep the agent reports off for good.
    if (d_.note_back_to_waiting) {
        d_.note_back_to_waiting(session_id);
    }
    if (!after_session)
        return;
    const std::int64_t now = d_.now();
    if (!ended_logged_ || now - ended_log_us_ >= kEndedLogEveryUs) {
        ended_logged_ = true;
        ended_log_us_ = now;
        spdlog::info("Session ended - waiting for next prepare_session...");
    }
}

void run_with_backend(const AgentConfig& config, SessionOrders& orders, std::atomic<bool>& running,
                      const std::atomic<bool>& stop_requested) {
    asio::io_context io;
    DirectCandidateState direct;
    util::SharedEndpoint media_endpoint;
    // One mapper for the run; every session maps its media ports with it.
    network::DirectPortMapper mapper(network::DirectPortMapperOptions{});
    const network::RouterWan router_wan = network::discover_router_wan(mapper);
    std::string public_ip = config.public_ip;
    const bool wan_adopted = public_ip.empty() && !router_wan.address.empty();
    if (wan_adopted) {
        public_ip = router_wan.address;
        status_board().set_public_address(public_ip);
    }
    status_board().set_verdict(start_up_verdict(!config.public_ip.empty(), router_wan));
    if (!config.control_udp_host.empty() && config.control_udp_port != 0) {
        spdlog::info("Control channel: UDP {}:{} first (VXCP/1), WebSocket {}:{} as the fallback",
                     config.control_udp_host, config.control_udp_port, config.saas_host,
                     config.saas_port);
    }
    const util::SystemInfo system = util::read_system_info();
    // Declared before the connector: the connector's thread, which calls them, ends first.
    BackendHandlers handlers(orders, running, direct, media_endpoint, !config.public_ip.empty());
    AgentConfig registered = config;
    registered.public_ip = public_ip;
    network::SaasConnector connector(io, make_saas_config(registered, system, kAgentVersion));
    handlers.install(connector);
    const auto bridge = network::ControlBridge::for_connector(connector);
    connector.set_control_bridge(bridge);
    SessionRunner::Deps deps{io, running, orders, &connector, bridge.get(), [&public_ip, &direct] {
                                 return !public_ip.empty() ? public_ip : direct.published_via();
                             }};
    deps.mapper = &mapper;
    deps.observed = &direct;
    SessionRunner sessions(std::move(deps));
    // The open video sender follows the launcher's relayed address as well.
    connector.set_on_client_candidate([&](std::string host, std::uint16_t port) {
        sessions.on_client_candidate(host, port);
        handlers.on_client_candidate(std::move(host), port);
    });
    // Also on the way out of an exception: the connector's thread calls into `sessions` and
    // `handlers`, so it must end before they are destroyed.
    struct StopOnExit {
        network::SaasConnector& connector;
        ~StopOnExit() { connector.stop(); }
    } stop_on_exit{connector};
    connector.start();
    // A backend that sees another address than the router's WAN (an upstream carrier-grade NAT)
    // keeps the router's address out of the sessions' media host.
    if (wan_adopted) {
        direct.wait_published(kObservedAddressWaitMs);
        if (!direct.matches_via(router_wan.address)) {
            spdlog::warn(
                "Direct path: router WAN {} != backend observed {} - upstream NAT/CGNAT; the "
                "sessions announce the observed address",
                router_wan.address, direct.published_via());
            public_ip.clear();
            status_board().set_verdict(DirectVerdict::behind_cgnat);
        }
    }

    WaitingLoop loop({orders, running, stop_requested,
                      [&] { connector.clear_cached_session_ready(); },
                      [&](const network::PrepareSessionParams& p) {
                          sessions.run(session_config_from_order(config, p));
                      },
                      util::steady_now_us,
                      [&](const std::string& session_id) {
                          if (auto upload = connector.log_upload()) {
                              upload->note_back_to_waiting(session_id);
                          }
                      }});
    loop.run();
    // Not under the session mutex (the connector's thread takes it in the order handlers):
    // stop_on_exit stops the connector here.
}

}  // namespace vx
