#include "driver/backend_wiring.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <limits>

#include "backend/bridge/control_bridge.hpp"
#include "config/command_line.hpp"
#include "driver/direct_verdict.hpp"
#include "driver/session_config.hpp"
#include "status/status_board.hpp"
#include "util/outside_text.hpp"

namespace vx {

namespace {

std::uint32_t clamp_u32(std::uint64_t v) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(v, std::numeric_limits<std::uint32_t>::max()));
}

// What "register" tells: the public address as start-up found it.
network::SaasConfig registered_config(const AgentConfig& config, const std::string& public_ip) {
    AgentConfig registered = config;
    registered.public_ip = public_ip;
    return make_saas_config(registered, util::read_system_info(), kAgentVersion);
}

BackendWiring::Seams with_defaults(BackendWiring::Seams seams) {
    if (!seams.router_steps) {
        seams.router_steps = network::network_port_mapper_steps();
    }
    if (!seams.wait_observed) {
        seams.wait_observed = [](DirectCandidateState& observed, std::int64_t timeout_ms) {
            return observed.wait_published(timeout_ms);
        };
    }
    return seams;
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

BackendWiring::BackendWiring(const AgentConfig& config, SessionOrders& orders,
                             std::atomic<bool>& running, const std::atomic<bool>& stop_requested,
                             Seams seams)
    : config_(config),
      seams_(with_defaults(std::move(seams))),
      mapper_(network::DirectPortMapperOptions{}, seams_.router_steps, util::steady_now_us),
      router_wan_(network::discover_router_wan(mapper_)),
      announced_(config.public_ip, router_wan_.address, observed_),
      handlers_(orders, running, observed_, announced_),
      connector_(io_, registered_config(config, announced_.current())),
      bridge_(network::ControlBridge::for_connector(connector_)),
      sessions_({.io = io_,
                 .running = running,
                 .orders = orders,
                 .connector = &connector_,
                 .bridge = bridge_.get(),
                 .public_address = [this] { return announced_address(); },
                 .now = util::steady_now_us,
                 .mapper = &mapper_,
                 .observed = &observed_}),
      loop_({.orders = orders,
             .running = running,
             .stop_requested = stop_requested,
             .clear_cached_session_ready = [this] { connector_.clear_cached_session_ready(); },
             .run_session =
                 [this](const network::PrepareSessionParams& p) {
                     sessions_.run(session_config_from_order(config_, p));
                 },
             .now = util::steady_now_us,
             .note_back_to_waiting =
                 [this](const std::string& newest_order_id) {
                     if (auto upload = connector_.log_upload()) {
                         upload->note_back_to_waiting(newest_order_id);
                     }
                 }}) {
    // The address given by hand or the router's; the backend's view shows once it arrives.
    if (announced_.given_by_hand() || announced_.router_wan_adopted()) {
        status_board().set_public_address(announced_.current());
    }
    status_board().set_verdict(start_up_verdict(announced_.given_by_hand(), router_wan_));
    if (!config.control_udp_host.empty() && config.control_udp_port != 0) {
        spdlog::info("Control channel: UDP {}:{} first (VXCP/1), WebSocket {}:{} as the fallback",
                     util::quote_outside_text(config.control_udp_host), config.control_udp_port,
                     util::quote_outside_text(config.saas_host), config.saas_port);
    }
    connect();
}

BackendWiring::~BackendWiring() {
    // Also on the way out of an exception. Not under the session mutex: the connector's thread
    // takes it in the order handlers.
    connector_.stop();
}

void BackendWiring::connect() {
    connector_.set_on_prepare_session(
        [this](const network::PrepareSessionParams& p) { handlers_.on_prepare_session(p); });
    connector_.set_on_session_terminated([this](const std::string& id, const std::string& reason) {
        handlers_.on_session_terminated(id, reason);
    });
    // The launcher's relayed address becomes the open video sender's destination, which the
    // media relay takes as the launcher's address when control arrives through the backend. No
    // record keeps it for a sender opened later: the connector passes only the current session's.
    connector_.set_on_client_candidate([this](const std::string& host, std::uint16_t port) {
        sessions_.on_client_candidate(host, port);
    });
    // A contradicted router address is not claimed by the next connection's "register" either.
    connector_.set_on_observed_ip([this](std::string address) {
        if (handlers_.on_observed_ip(std::move(address))) {
            connector_.set_register_public_ip(announced_.current());
        }
    });
    connector_.set_control_bridge(bridge_);
}

void BackendWiring::run() {
    connector_.start();
    settle_public_address();
    loop_.run();
}

void BackendWiring::settle_public_address() {
    // The observed-address handler compares what arrives with the router's address.
    if (announced_.router_wan_adopted()) {
        seams_.wait_observed(observed_, kObservedAddressWaitMs);
    }
}

std::string BackendWiring::announced_address() const {
    return announced_.current();
}

void run_with_backend(const AgentConfig& config, SessionOrders& orders, std::atomic<bool>& running,
                      const std::atomic<bool>& stop_requested) {
    BackendWiring wiring(config, orders, running, stop_requested);
    wiring.run();
}

}  // namespace vx
