#pragma once

// The agent's one link to the backend. The driver builds it from a SaasConfig, installs its
// four callbacks, starts it, calls its senders during sessions and stops it at the end.
//
// Threads: the connection thread runs the connection loop and, through it, every call of
// handle_message() and every callback; the senders may be called from any thread and only
// queue; one relay probe thread at a time measures the backend's relay nodes.
//
// The work is done by member objects with one concern each, behind the public names below: the
// Outbox (senders, outgoing queue, caches, replay), the Dispatcher (inbound messages, handled
// ids, current session), the ConnectionLoop (transport choice, back-off, the 4009 wait) and the
// RelayProbe. Parts built around the connector plug in through narrow interfaces, each
// installed as a shared_ptr (an empty one makes its uses no-ops): ControlTransport (the current
// connection), BridgeControl (the control bridge) and LogUpload (the log upload: the connector's
// own Diagnostics unless a test installs another), plus the relay probe function; tests use the
// same seams plus the injected clocks.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "backend/bridge/bridge_control.hpp"
#include "backend/bridge/bridge_write_queue.hpp"
#include "backend/connector/connection_loop.hpp"
#include "backend/connector/connector_seams.hpp"
#include "backend/connector/dispatcher.hpp"
#include "backend/connector/outbox.hpp"
#include "backend/connector/outgoing_queue.hpp"
#include "backend/connector/relay_probe.hpp"
#include "backend/diagnostics/log_upload.hpp"
#include "backend/messages/control_transport.hpp"
#include "backend/messages/saas_connector_records.hpp"
#include "backend/vxcp/loop/vxcp_loop_timings.hpp"
#include "util/clock.hpp"
#include "util/natwave_profile.hpp"

namespace vx::network {

struct WsStats;

class SaasConnector {
  public:
    using PrepareSessionHandler = Dispatcher::PrepareSessionHandler;
    using SessionTerminatedHandler = Dispatcher::SessionTerminatedHandler;
    using ClientCandidateHandler = Dispatcher::ClientCandidateHandler;
    using ObservedIpHandler = Dispatcher::ObservedIpHandler;

    static constexpr std::size_t kHandledSessionIds = Dispatcher::kHandledSessionIds;
    static constexpr std::size_t kBridgeQueueCapacity = Dispatcher::kBridgeQueueCapacity;

    // Builds the TLS client context (an exception when that fails); opens no connection.
    SaasConnector(asio::io_context& io, SaasConfig config);
    ~SaasConnector();
    SaasConnector(const SaasConnector&) = delete;
    SaasConnector& operator=(const SaasConnector&) = delete;

    // ---- Callbacks: set before start(); they run on the connection thread. ----
    void set_on_prepare_session(PrepareSessionHandler handler);
    void set_on_session_terminated(SessionTerminatedHandler handler);
    void set_on_client_candidate(ClientCandidateHandler handler);
    void set_on_observed_ip(ObservedIpHandler handler);

    // ---- Lifecycle ----
    // Starts the connection thread. A second call while it exists is logged and ignored.
    void start();
    // Stops the connection thread (joined without a deadline), the control bridge and the
    // relay probe. A connection that is up first gets up to the drain limit to send what is
    // queued (the process ends next: nothing would replay it). Harmless when never started or
    // called twice; not from the connection thread.
    void stop();

    // ---- Senders: build one message and queue it; never wait for the network. ----
    void send_session_ready(const std::string& session_id, const std::string& public_ip,
                            std::uint16_t video_port, std::uint16_t audio_port,
                            std::uint16_t input_port);
    void clear_cached_session_ready();
    void send_session_ended(const std::string& session_id, const std::string& reason,
                            std::uint32_t duration_sec);
    void send_error(const std::string& code, const std::string& message,
                    const std::string& session_id);
    void send_ice_candidate(const std::string& session_id, const std::string& ip,
                            const std::string& kind, std::uint16_t port,
                            const std::optional<natwave::Profile>& profile);
    void send_register();
    // The public address every later "register" claims (the next connection's first message);
    // empty claims none.
    void set_register_public_ip(std::string public_ip);
    void send_heartbeat();

    // Serialises outside any lock, then appends. The log upload may queue ready texts.
    void enqueue_message(const nlohmann::json& message);
    void enqueue_text(std::string text);

    // ---- Used by the connection loop ----
    // Takes everything queued, in order, leaving the queue empty.
    std::vector<std::string> take_outgoing();
    // Once per new connection, before anything else is sent: drops what was queued while no
    // connection was up, then queues "register", the cached "session_ready", the log upload's
    // unconfirmed parts and the cached terminal messages. Returns the number of stale drops.
    std::size_t resend_after_reconnect();

    // One received message (text of a WebSocket frame or of a UDP channel message). Never
    // throws: a malformed message is logged and dropped, and the connection stays up.
    void handle_message(const std::string& text);

    // Connection bookkeeping shared with the status screen, the statistics and the log upload.
    bool running() const { return loop_.running(); }
    bool connected() const { return loop_.connected(); }
    std::int64_t connected_since_us() const { return loop_.connected_since_us(); }
    // The WebSocket transport's counters (backend/ws/websocket_session.hpp), any thread.
    WsStats websocket_stats() const;
    std::string transport_name() const;

    // Liveness of the current connection: reset per connection; the dispatcher moves the
    // last-heard time on each app ping, the transport on its own traffic.
    void reset_connection_liveness(std::int64_t now_us);
    std::int64_t last_heard_us() const { return dispatcher_.last_heard_us(); }
    bool app_pings_arriving() const { return dispatcher_.app_pings_arriving(); }
    std::uint64_t app_pings() const { return dispatcher_.app_pings(); }
    std::uint64_t messages_received() const { return dispatcher_.messages_received(); }

    // ---- Seams ----
    void set_transport(std::shared_ptr<ControlTransport> transport);
    std::shared_ptr<ControlTransport> transport() const;
    void set_control_bridge(std::shared_ptr<BridgeControl> bridge);
    std::shared_ptr<BridgeControl> control_bridge() const;
    // The log upload: session uploads at a failed set-up, the driver's return to waiting.
    void set_log_upload(std::shared_ptr<LogUpload> upload);
    std::shared_ptr<LogUpload> log_upload() const;
    // The bridge's write queue: filled here, drained by the bridge's writer.
    const std::shared_ptr<BridgeWriteQueue>& bridge_queue() const {
        return dispatcher_.bridge_queue();
    }
    // Replaces the relay measurement (by default one STUN Binding round trip per node).
    void set_relay_probe(RelayProbeFn probe);
    // Steady clock in microseconds and wall clock in milliseconds since 1970; set before
    // start(). Tests drive protocol time with them.
    void set_clocks(util::NowFn steady_now_us, util::NowFn wall_now_ms);
    // The UDP control channel's time-outs; set before start().
    void set_vxcp_timings(const VxcpLoopTimings& timings) { loop_.set_vxcp_timings(timings); }
    // How long a stop lets a connection that is up send what is queued (1500 ms unless set);
    // set before stop().
    void set_stop_drain_limit(std::chrono::milliseconds limit) {
        loop_.set_stop_drain_limit(limit);
    }

    // ---- State read by other components ----
    const SaasConfig& config() const { return config_; }
    asio::io_context& io_context() { return io_; }
    asio::ssl::context& tls_context() { return *tls_; }
    std::string current_session_id() const;
    std::uint64_t control_data_received() const { return dispatcher_.control_data_received(); }
    std::int64_t last_control_data_us() const { return dispatcher_.last_control_data_us(); }
    // 127.0.0.1 port of the launcher's control server; nothing when port_base leaves no room.
    std::optional<std::uint16_t> control_port() const;
    std::vector<RelayNode> control_relays() const { return relay_book_->control_relays(); }
    std::map<std::string, std::uint32_t> relay_rtts() const { return relay_book_->rtts(); }
    RelayProbe& relay_probe() { return *relay_probe_; }
    const OutgoingQueue& outgoing() const { return outbox_.queue(); }
    // The queue itself, for a thread that may outlive the connector after a deadline-detach
    // (the control bridge's reader): it queues through this instead of enqueue_message().
    const std::shared_ptr<OutgoingQueue>& outgoing_queue() const { return outbox_.shared_queue(); }

    // ---- Relay list handling (also reachable through handle_message) ----
    void handle_relay_list(const nlohmann::json& message);
    void start_relay_probe(std::vector<RelayNode> nodes);
    void join_relay_probe();

  private:
    std::shared_ptr<LogUpload> make_log_upload();

    // Construction inputs.
    asio::io_context& io_;
    const SaasConfig config_;
    std::unique_ptr<asio::ssl::context> tls_;

    ConnectorClocks clocks_;
    // The transport, the control bridge and the log upload plug in here.
    ConnectorSeams seams_;
    // Shared with the relay probe thread, which may outlive a deadline-detach.
    std::shared_ptr<RelayBook> relay_book_ = std::make_shared<RelayBook>();

    // One concern each; constructed in this order, each from those before it.
    Outbox outbox_;
    std::unique_ptr<RelayProbe> relay_probe_;
    Dispatcher dispatcher_;
    ConnectionLoop loop_;
};

}  // namespace vx::network
