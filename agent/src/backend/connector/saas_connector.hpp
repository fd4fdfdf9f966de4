#pragma once

// The agent's one link to the backend. The driver builds it from a SaasConfig, installs its
// four callbacks, starts it, calls its senders during sessions and stops it at the end.
//
// Threads: the connection thread runs run() (the connection loop) and, through it, every call
// of handle_message() and every callback; the senders may be called from any thread and only
// queue; one relay probe thread at a time measures the backend's relay nodes.
//
// Parts built around the connector plug in through narrow interfaces, each installed as a
// shared_ptr (an empty one makes its uses no-ops): ControlTransport (the current connection),
// BridgeControl (the control bridge) and LogUpload (the log upload), plus the relay probe
// function; tests use the same seams plus the injected clocks.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "backend/bridge/bridge_control.hpp"
#include "backend/bridge/bridge_write_queue.hpp"
#include "backend/connector/log_upload.hpp"
#include "backend/connector/outgoing_queue.hpp"
#include "backend/connector/relay_probe.hpp"
#include "backend/messages/control_transport.hpp"
#include "backend/messages/saas_connector_records.hpp"
#include "backend/vxcp/vxcp_loop_timings.hpp"
#include "util/clock.hpp"
#include "util/natwave_profile.hpp"

namespace asio {
class io_context;
namespace ssl {
class context;
}
}  // namespace asio

namespace vx::network {

class WebSocketSession;
struct WsStats;

class SaasConnector {
  public:
    using PrepareSessionHandler = std::function<void(const PrepareSessionParams&)>;
    using SessionTerminatedHandler =
        std::function<void(const std::string& session_id, const std::string& reason)>;
    using ClientCandidateHandler = std::function<void(std::string host, std::uint16_t port)>;
    using ObservedIpHandler = std::function<void(std::string public_ip)>;

    static constexpr std::size_t kHandledSessionIds = 32;
    static constexpr std::size_t kBridgeQueueCapacity = 64;

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
    // relay probe. Harmless when never started or called twice; not from the connection thread.
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
    void set_link_up(std::string transport_name, std::int64_t now_us);
    void set_link_down();
    bool running() const { return running_.load(); }
    bool connected() const { return connected_.load(); }
    std::int64_t connected_since_us() const { return connected_since_us_.load(); }
    // The WebSocket transport's counters (backend/websocket_session.hpp), any thread.
    WsStats websocket_stats() const;
    std::string transport_name() const;

    // Liveness of the current connection: reset per connection; the dispatcher moves the
    // last-heard time on each app ping, the transport on its own traffic.
    void reset_connection_liveness(std::int64_t now_us);
    void note_heard(std::int64_t now_us);
    std::int64_t last_heard_us() const { return last_heard_us_.load(); }
    bool app_pings_arriving() const { return app_pings_arriving_.load(); }
    std::uint64_t app_pings() const { return app_pings_.load(); }
    std::uint64_t messages_received() const { return messages_received_.load(); }

    // ---- Seams ----
    void set_transport(std::shared_ptr<ControlTransport> transport);
    std::shared_ptr<ControlTransport> transport() const;
    void set_control_bridge(std::shared_ptr<BridgeControl> bridge);
    std::shared_ptr<BridgeControl> control_bridge() const;
    void set_log_upload(std::shared_ptr<LogUpload> upload);
    std::shared_ptr<LogUpload> log_upload() const;
    // The bridge's write queue: filled here, drained by the bridge's writer.
    const std::shared_ptr<BridgeWriteQueue>& bridge_queue() const { return bridge_queue_; }
    // Replaces the relay measurement (by default one STUN Binding round trip per node).
    void set_relay_probe(RelayProbeFn probe);
    // Steady clock in microseconds and wall clock in milliseconds since 1970; set before
    // start(). Tests drive protocol time with them.
    void set_clocks(util::NowFn steady_now_us, util::NowFn wall_now_ms);
    // The UDP control channel's time-outs; set before start().
    void set_vxcp_timings(const VxcpLoopTimings& timings) { vxcp_timings_ = timings; }
    const VxcpLoopTimings& vxcp_timings() const { return vxcp_timings_; }

    // ---- State read by other components ----
    const SaasConfig& config() const { return config_; }
    asio::io_context& io_context() { return io_; }
    asio::ssl::context& tls_context() { return *tls_; }
    std::string current_session_id() const;
    std::uint64_t control_data_received() const { return control_data_received_.load(); }
    std::int64_t last_control_data_us() const { return last_control_data_us_.load(); }
    // 127.0.0.1 port of the launcher's control server; nothing when port_base leaves no room.
    std::optional<std::uint16_t> control_port() const;
    std::vector<RelayNode> control_relays() const { return relay_book_->control_relays(); }
    std::map<std::string, std::uint32_t> relay_rtts() const { return relay_book_->rtts(); }
    const std::shared_ptr<RelayBook>& relay_book() const { return relay_book_; }
    RelayProbe& relay_probe() { return *relay_probe_; }
    const OutgoingQueue& outgoing() const { return *queue_; }
    // The queue itself, for a thread that may outlive the connector after a deadline-detach
    // (the control bridge's reader): it queues through this instead of enqueue_message().
    const std::shared_ptr<OutgoingQueue>& outgoing_queue() const { return queue_; }

    // ---- Relay list handling (also reachable through handle_message) ----
    void handle_relay_list(const nlohmann::json& message);
    void start_relay_probe(std::vector<RelayNode> nodes);
    void join_relay_probe();

  private:
    // The connection loop: the thread body started by start(); returns once running clears.
    void run();
    // One WebSocket connection; true when it was up (the loop then resets its back-off).
    bool run_websocket_session();
    // Sleeps in short steps so a stop is prompt.
    void sleep_while_running(std::int64_t wait_ms);
    std::shared_ptr<WebSocketSession> make_websocket_session();

    std::int64_t now_us() const { return steady_now_us_(); }
    void dispatch(const std::string& type, const nlohmann::json& message, const std::string& raw);
    void on_ping(const nlohmann::json& message);
    void on_control_open();
    void on_control_close();
    void on_control_data(const nlohmann::json& message);
    void open_bridge();
    void count_bridge_drop(const std::string& reason);
    void on_prepare_session(const nlohmann::json& message, const std::string& raw);
    void begin_session(const std::string& session_id);
    void on_terminate_session(const nlohmann::json& message);
    void on_observed_ip(const nlohmann::json& message);
    void on_client_candidate(const nlohmann::json& message);
    void on_log_stored(const nlohmann::json& message);
    bool was_handled(const std::string& session_id) const;
    void remember_handled(const std::string& session_id);

    asio::io_context& io_;
    const SaasConfig config_;
    std::unique_ptr<asio::ssl::context> tls_;

    util::NowFn steady_now_us_;
    util::NowFn wall_now_ms_;
    VxcpLoopTimings vxcp_timings_;

    PrepareSessionHandler on_prepare_session_;
    SessionTerminatedHandler on_session_terminated_;
    ClientCandidateHandler on_client_candidate_;
    ObservedIpHandler on_observed_ip_;

    std::atomic<bool> running_{false};
    std::atomic<bool> connected_{false};
    std::atomic<std::int64_t> connected_since_us_{0};
    mutable std::mutex link_mutex_;
    std::string transport_name_;

    // Shared with threads that may outlive a deadline-detach (relay probe, bridge workers).
    std::shared_ptr<OutgoingQueue> queue_;
    std::shared_ptr<BridgeWriteQueue> bridge_queue_;
    std::shared_ptr<RelayBook> relay_book_;
    std::unique_ptr<RelayProbe> relay_probe_;

    mutable std::mutex seams_mutex_;
    std::shared_ptr<ControlTransport> transport_;
    std::shared_ptr<BridgeControl> bridge_;
    std::shared_ptr<LogUpload> log_upload_;

    // Dispatcher state (connection thread), except what others read through the getters.
    mutable std::mutex session_mutex_;
    std::string current_session_id_;
    std::deque<std::string> handled_session_ids_;
    std::atomic<std::uint64_t> control_data_received_{0};
    std::atomic<std::int64_t> last_control_data_us_{0};
    std::atomic<std::int64_t> last_heard_us_{0};
    std::atomic<bool> app_pings_arriving_{false};
    std::atomic<std::uint64_t> app_pings_{0};
    std::atomic<std::uint64_t> messages_received_{0};

    std::mutex lifecycle_mutex_;
    std::thread thread_;

    // The WebSocket transport; made last, from the members above.
    std::shared_ptr<WebSocketSession> ws_ = make_websocket_session();
};

}  // namespace vx::network
