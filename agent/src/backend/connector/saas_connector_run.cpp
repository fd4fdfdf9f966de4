// The connection loop of the backend connector and its WebSocket transport.
#include <spdlog/spdlog.h>

#include <chrono>
#include <iterator>
#include <thread>

#include "backend/connector/reconnect_backoff.hpp"
#include "backend/connector/saas_connector.hpp"
#include "backend/vxcp/vxcp_control_loop.hpp"
#include "backend/ws/websocket_session.hpp"
#include "status/status_board.hpp"

namespace vx::network {

namespace {

constexpr auto kSleepStep = std::chrono::milliseconds(100);

// The WebSocket as the dispatcher and stop() see it.
class WsControlTransport : public ControlTransport {
  public:
    explicit WsControlTransport(std::shared_ptr<WebSocketSession> ws) : ws_(std::move(ws)) {}

    bool send_control_text(const std::string& text) override {
        return ws_->queue_frame(WsOpcode::text, text, true);
    }
    std::uint64_t control_drops() const override { return ws_->stats().control_dropped; }
    bool control_closed() const override { return ws_->lanes_closed(); }
    void abort_connection(const std::string&) override { ws_->shutdown_current(); }
    void wake_for_stop() override { ws_->shutdown_current(); }

  private:
    std::shared_ptr<WebSocketSession> ws_;
};

// What one WebSocket connection needs from the connector. Messages the data lane refused go
// back to the head of the connector's queue, ahead of everything queued later, so none is lost
// or reordered, and what a connection leaves behind meets the next replay's stale count.
class WsConnectorHooks : public WsSessionHooks {
  public:
    WsConnectorHooks(SaasConnector& connector, util::NowFn now)
        : c_(connector), now_(std::move(now)) {}

    void on_connected() override {
        const std::int64_t now = now_();
        c_.set_link_up("ws", now);
        c_.reset_connection_liveness(now);
        StatusBoard& board = status_board();
        board.set_link_state(LinkState::connected, LinkTransport::websocket);
        board.clear_duplicate_agent();
    }
    void on_token_rejected() override {
        status_board().report_problem(ProblemKind::token_rejected);
    }
    void resend_after_reconnect() override { c_.resend_after_reconnect(); }
    std::deque<std::string> take_outgoing() override {
        std::vector<std::string> taken = c_.take_outgoing();
        return {std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end())};
    }
    void return_outgoing(std::deque<std::string> rest) override {
        c_.outgoing_queue()->return_front(
            {std::make_move_iterator(rest.begin()), std::make_move_iterator(rest.end())});
    }
    void send_heartbeat() override { c_.send_heartbeat(); }
    void on_message(const std::string& text) override {
        c_.note_heard(now_());
        c_.handle_message(text);
    }
    std::uint64_t app_pings() const override { return c_.app_pings(); }

  private:
    SaasConnector& c_;
    util::NowFn now_;
};

// What the UDP connection loop needs from the connector. The transport that was current when
// the channel came up (the WebSocket's) is current again once the channel ends.
class VxcpConnectorHooks : public VxcpLoopHooks {
  public:
    VxcpConnectorHooks(SaasConnector& connector, util::NowFn now)
        : c_(connector), now_(std::move(now)) {}

    bool running() const override { return c_.running(); }
    std::vector<RelayNode> control_relays() const override { return c_.control_relays(); }
    std::map<std::string, std::uint32_t> relay_rtts() const override { return c_.relay_rtts(); }
    void on_connected(std::shared_ptr<ControlTransport> transport,
                      const std::string& transport_name, std::int64_t now_us) override {
        previous_ = c_.transport();
        c_.set_transport(std::move(transport));
        c_.set_link_up(transport_name, now_us);
        c_.reset_connection_liveness(now_us);
    }
    void resend_after_reconnect() override { c_.resend_after_reconnect(); }
    void on_moved_to_relay() override { c_.set_link_up("udp-relay", c_.connected_since_us()); }
    void on_disconnected() override {
        c_.set_transport(std::move(previous_));
        previous_.reset();
    }
    std::vector<std::string> take_outgoing() override { return c_.take_outgoing(); }
    void send_heartbeat() override { c_.send_heartbeat(); }
    void on_message(const std::string& text) override {
        c_.note_heard(now_());
        c_.handle_message(text);
    }

  private:
    SaasConnector& c_;
    util::NowFn now_;
    std::shared_ptr<ControlTransport> previous_;
};

}  // namespace

bool SaasConnector::run_websocket_session() {
    WsSessionConfig cfg;
    cfg.host = config_.host;
    cfg.port = config_.port;
    cfg.tls = config_.tls;
    cfg.agent_token = config_.agent_token;
    WsConnectorHooks hooks(*this, steady_now_us_);
    return ws_->run(cfg, hooks, running_);
}

void SaasConnector::sleep_while_running(std::int64_t wait_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (running_.load() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            kSleepStep, until - std::chrono::steady_clock::now()));
    }
}

std::shared_ptr<WebSocketSession> SaasConnector::make_websocket_session() {
    // The clock is read through the member so set_clocks() before start() still applies.
    return std::make_shared<WebSocketSession>(
        io_, config_.tls ? tls_.get() : nullptr, [this] { return steady_now_us_(); },
        default_random());
}

WsStats SaasConnector::websocket_stats() const {
    return ws_->stats();
}

void SaasConnector::run() {
    set_transport(std::make_shared<WsControlTransport>(ws_));
    ReconnectBackoff backoff;
    // UDP first when "--control-udp" is given; the WebSocket is the fallback.
    VxcpConnectorHooks udp_hooks(*this, steady_now_us_);
    VxcpControlLoop udp(udp_hooks, config_, vxcp_timings_, steady_now_us_, wall_now_ms_);
    udp.load_state();
    while (running_.load()) {
        VxcpControlLoop::Pass pass = udp.run_pass();
        bool was_up = pass.reset_backoff;
        std::string reason = std::move(pass.close_reason);
        std::uint16_t code = pass.close_code;
        if (pass.use_websocket && running_.load()) {
            spdlog::info("SaasConnector: connecting to {}:{}", config_.host, config_.port);
            was_up = run_websocket_session();
            code = ws_->take_close_code(&reason);
        }
        set_link_down();
        if (!running_.load())
            break;
        status_board().set_link_state(LinkState::lost, LinkTransport::none);
        const std::int64_t wait = backoff.after_attempt(was_up, code);
        if (code == ReconnectBackoff::kReplacedCode) {
            status_board().report_problem(ProblemKind::duplicate_agent);
            spdlog::error(
                "SaasConnector: another agent with the same server token connected ({}) "
                "and replaced this one - two agents must not share one server token; "
                "waiting {} s before reconnecting",
                reason.empty() ? std::string("close code 4009") : reason, wait / 1000);
        }
        spdlog::warn("SaasConnector: disconnected, retry in {}ms", wait);
        sleep_while_running(wait);
    }
    ws_->close_lanes();
    set_transport(nullptr);
    spdlog::info("SaasConnector: stopped");
}

}  // namespace vx::network
