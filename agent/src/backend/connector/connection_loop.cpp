#include "backend/connector/connection_loop.hpp"

#include <spdlog/spdlog.h>

#include <chrono>
#include <system_error>

#include "backend/connector/dispatcher.hpp"
#include "backend/connector/reconnect_backoff.hpp"
#include "backend/connector/relay_probe.hpp"
#include "backend/diagnostics/part_pacing.hpp"
#include "backend/vxcp/loop/vxcp_control_loop.hpp"
#include "backend/ws/websocket_session.hpp"
#include "platform/thread_name.hpp"
#include "status/status_board.hpp"
#include "util/outside_text.hpp"

namespace vx::network {

namespace {

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

}  // namespace

// What one WebSocket connection needs from the connector. Messages the data lane refused go
// back to the head of the connector's queue, ahead of everything queued later, so none is lost
// or reordered, and what a connection leaves behind meets the next replay's stale count.
class ConnectionLoop::WsHooks : public WsSessionHooks {
  public:
    WsHooks(ConnectionLoop& loop, util::NowFn now) : l_(loop), now_(std::move(now)) {}

    void on_connected() override {
        const std::int64_t now = now_();
        if (auto upload = l_.seams_.log_upload.get()) {
            upload->set_pacing(std::make_shared<WebSocketPacing>());
        }
        l_.set_link_up("ws", now);
        l_.dispatcher_.reset_connection_liveness(now);
        StatusBoard& board = status_board();
        board.set_link_state(LinkState::connected, LinkTransport::websocket);
        board.clear_duplicate_agent();
    }
    void on_token_rejected() override {
        status_board().report_problem(ProblemKind::token_rejected);
    }
    void resend_after_reconnect() override { l_.outbox_.replay(); }
    std::vector<std::string> take_outgoing() override { return l_.queue().take_all(); }
    void return_outgoing(std::vector<std::string> rest) override {
        l_.queue().return_front(std::move(rest));
    }
    void send_heartbeat() override { l_.outbox_.heartbeat(); }
    void send_next_paced_part() override {
        if (auto upload = l_.seams_.log_upload.get()) {
            upload->send_next_paced_part();
        }
    }
    bool paced_parts_pending() const override { return l_.parts_waiting(); }
    int outgoing_wake_fd() const override { return l_.queue().drainer_wake_fd(); }
    int stop_wake_fd() const override { return l_.stop_wake_.native_handle(); }
    void on_message(const std::string& text) override {
        l_.dispatcher_.note_heard(now_());
        l_.dispatcher_.handle_message(text);
    }
    std::uint64_t app_pings() const override { return l_.dispatcher_.app_pings(); }

  private:
    ConnectionLoop& l_;
    util::NowFn now_;
};

// What the UDP connection loop needs from the connector. The transport that was current when
// the channel came up (the WebSocket's) is current again once the channel ends.
class ConnectionLoop::VxcpHooks : public VxcpLoopHooks {
  public:
    VxcpHooks(ConnectionLoop& loop, util::NowFn now) : l_(loop), now_(std::move(now)) {}

    bool running() const override { return l_.running(); }
    std::vector<RelayNode> control_relays() const override { return l_.relays_.control_relays(); }
    std::map<std::string, std::uint32_t> relay_rtts() const override { return l_.relays_.rtts(); }
    void on_connected(std::shared_ptr<ControlTransport> transport,
                      const std::string& transport_name, std::int64_t now_us) override {
        previous_ = l_.seams_.transport.get();
        l_.seams_.transport.set(std::move(transport));
        if (auto upload = l_.seams_.log_upload.get()) {
            // Held by the pacing, not borrowed: the upload outlives this connection.
            upload->set_pacing(std::make_shared<UdpChannelPacing>(
                [awaiting = fragments_awaiting_] { return awaiting->load(); }));
        }
        l_.set_link_up(transport_name, now_us);
        l_.dispatcher_.reset_connection_liveness(now_us);
    }
    void resend_after_reconnect() override { l_.outbox_.replay(); }
    void on_moved_to_relay() override { l_.set_link_up("udp-relay", l_.connected_since_us()); }
    void on_disconnected() override {
        l_.seams_.transport.set(std::move(previous_));
        previous_.reset();
    }
    std::vector<std::string> take_outgoing() override { return l_.queue().take_all(); }
    int outgoing_wake_fd() const override { return l_.queue().drainer_wake_fd(); }
    int stop_wake_fd() const override { return l_.stop_wake_.native_handle(); }
    void send_heartbeat() override { l_.outbox_.heartbeat(); }
    void send_next_paced_part(std::size_t fragments_awaiting) override {
        fragments_awaiting_->store(fragments_awaiting);
        if (auto upload = l_.seams_.log_upload.get()) {
            upload->send_next_paced_part();
        }
    }
    bool paced_parts_pending() const override { return l_.parts_waiting(); }
    void on_message(const std::string& text) override {
        l_.dispatcher_.note_heard(now_());
        l_.dispatcher_.handle_message(text);
    }

  private:
    ConnectionLoop& l_;
    util::NowFn now_;
    std::shared_ptr<ControlTransport> previous_;
    // The live channel's fragments awaiting delivery, as the UDP pacing reads it.
    std::shared_ptr<std::atomic<std::size_t>> fragments_awaiting_ =
        std::make_shared<std::atomic<std::size_t>>(0);
};

ConnectionLoop::ConnectionLoop(asio::io_context& io, asio::ssl::context* tls,
                               const SaasConfig& config, const ConnectorClocks& clocks,
                               ConnectorSeams& seams, Dispatcher& dispatcher, Outbox& outbox,
                               const RelayBook& relays)
    : config_(config),
      clocks_(clocks),
      seams_(seams),
      dispatcher_(dispatcher),
      outbox_(outbox),
      relays_(relays),
      // The clock is read through the connector's clocks so set_clocks() before start() applies.
      ws_(std::make_shared<WebSocketSession>(
          io, tls, [&clocks] { return clocks.steady_us(); }, util::sodium_random())) {}

void ConnectionLoop::start() {
    std::lock_guard lock(lifecycle_mutex_);
    if (thread_.joinable()) {
        spdlog::warn("SaasConnector: start() called while the connection thread runs — ignored");
        return;
    }
    running_.store(true);
    stop_wake_.clear();
    thread_done_ = std::make_shared<DoneFlag>();
    thread_ = std::thread([this, done = thread_done_] {
        platform::name_this_thread("vx-connection");
        run();
        done->store(true);
    });
}

void ConnectionLoop::stop() {
    // Read before it is cleared: only a connection that is up has something to let leave.
    const bool link_up = connected_.load();
    {
        std::lock_guard lock(stop_mutex_);
        running_.store(false);
    }
    stop_cv_.notify_all();
    stop_wake_.signal();
    connected_.store(false);
    // The UDP connection waits on the queue's wake-up together with its socket.
    queue().wake_drainer();
    std::thread thread;
    DoneFlagPtr done;
    {
        std::lock_guard lock(lifecycle_mutex_);
        if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                    "SaasConnector::stop on the connection thread");
        }
        thread = std::move(thread_);
        done = thread_done_;
    }
    // A stop comes right after the session's end, and the process ends next, so no reconnect
    // would replay what is queued: a connection that is up sends it before it closes, within
    // the limit. One that is still connecting has nothing to send and is cut at once.
    const bool draining = link_up && thread.joinable() && done;
    const bool drained = draining && done->wait_for(stop_drain_limit_);
    if (draining && !drained) {
        spdlog::warn(
            "SaasConnector: what was queued had not left within {} ms of the stop - closing the "
            "connection anyway",
            stop_drain_limit_.count());
    }
    if (!drained) {
        if (auto transport = seams_.transport.get()) {
            transport->wake_for_stop();
        }
    }
    if (thread.joinable()) {
        thread.join();
    }
}

void ConnectionLoop::set_link_up(std::string transport_name, std::int64_t now_us) {
    {
        std::lock_guard lock(link_mutex_);
        transport_name_ = std::move(transport_name);
    }
    connected_since_us_.store(now_us);
    connected_.store(true);
}

void ConnectionLoop::set_link_down() {
    connected_.store(false);
    connected_since_us_.store(0);
    std::lock_guard lock(link_mutex_);
    transport_name_.clear();
}

std::string ConnectionLoop::transport_name() const {
    std::lock_guard lock(link_mutex_);
    return transport_name_;
}

bool ConnectionLoop::run_websocket_session() {
    WsSessionConfig cfg;
    cfg.host = config_.host;
    cfg.port = config_.port;
    cfg.tls = config_.tls;
    cfg.agent_token = config_.agent_token;
    WsHooks hooks(*this, clocks_.steady_us);
    return ws_->run(cfg, hooks, running_);
}

void ConnectionLoop::wait_while_running(std::chrono::milliseconds wait) {
    std::unique_lock lock(stop_mutex_);
    stop_cv_.wait_for(lock, wait, [&] { return !running_.load(); });
}

void ConnectionLoop::run() {
    seams_.transport.set(std::make_shared<WsControlTransport>(ws_));
    ReconnectBackoff backoff;
    // UDP first when "--control-udp" is given; the WebSocket is the fallback.
    VxcpHooks udp_hooks(*this, clocks_.steady_us);
    VxcpControlLoop udp(udp_hooks, config_, vxcp_timings_, clocks_.steady_us, clocks_.wall_ms);
    udp.load_state();
    while (running_.load()) {
        VxcpControlLoop::Pass pass = udp.run_pass();
        bool was_up = pass.reset_backoff;
        std::string reason = std::move(pass.close_reason);
        std::uint16_t code = pass.close_code;
        if (pass.use_websocket && running_.load()) {
            spdlog::info("SaasConnector: connecting to {}:{}",
                         util::quote_outside_text(config_.host), config_.port);
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
                reason.empty() ? std::string("close code 4009") : util::quote_outside_text(reason),
                wait / 1000);
        }
        spdlog::warn("SaasConnector: disconnected, retry in {}ms", wait);
        wait_while_running(std::chrono::milliseconds(wait));
    }
    ws_->close_lanes();
    seams_.transport.set(nullptr);
    spdlog::info("SaasConnector: stopped");
}

bool ConnectionLoop::parts_waiting() const {
    const auto upload = seams_.log_upload.get();
    return upload && upload->parts_waiting();
}

}  // namespace vx::network
