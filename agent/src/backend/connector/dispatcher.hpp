#pragma once

// The one reader of everything the backend sends: parses each message, dispatches on its type,
// turns session orders into the driver's callbacks, keeps the handled session ids and the current
// session, feeds the control bridge, answers app pings, confirms log uploads and hands relay lists
// to the relay probe. Messages and callbacks run on the connection thread; the getters may be
// called from any thread.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "backend/bridge/bridge_write_queue.hpp"
#include "backend/connector/connector_seams.hpp"
#include "backend/connector/relay_probe.hpp"
#include "backend/messages/saas_connector_records.hpp"

namespace vx::network {

class Dispatcher {
  public:
    using PrepareSessionHandler = std::function<void(const PrepareSessionParams&)>;
    using SessionTerminatedHandler =
        std::function<void(const std::string& session_id, const std::string& reason)>;
    using ClientCandidateHandler = std::function<void(std::string host, std::uint16_t port)>;
    using ObservedIpHandler = std::function<void(std::string public_ip)>;

    static constexpr std::size_t kHandledSessionIds = 32;
    static constexpr std::size_t kBridgeQueueCapacity = 64;

    // Everything given is owned by the connector and outlives the dispatcher.
    Dispatcher(const SaasConfig& config, const ConnectorClocks& clocks, const ConnectorSeams& seams,
               RelayBook& relays, RelayProbe& probe);

    void set_on_prepare_session(PrepareSessionHandler handler);
    void set_on_session_terminated(SessionTerminatedHandler handler);
    void set_on_client_candidate(ClientCandidateHandler handler);
    void set_on_observed_ip(ObservedIpHandler handler);

    // One received message. Never throws: a malformed message is logged and dropped.
    void handle_message(const std::string& text);
    void handle_relay_list(const nlohmann::json& message);

    // Liveness of the current connection: reset per connection; moved on each app ping here and
    // by the transport on its own traffic.
    void reset_connection_liveness(std::int64_t now_us);
    void note_heard(std::int64_t now_us);
    std::int64_t last_heard_us() const { return last_heard_us_.load(); }
    bool app_pings_arriving() const { return app_pings_arriving_.load(); }
    std::uint64_t app_pings() const { return app_pings_.load(); }
    std::uint64_t messages_received() const { return messages_received_.load(); }

    std::string current_session_id() const;
    std::uint64_t control_data_received() const { return control_data_received_.load(); }
    std::int64_t last_control_data_us() const { return last_control_data_us_.load(); }
    // 127.0.0.1 port of the launcher's control server; nothing when port_base leaves no room.
    std::optional<std::uint16_t> control_port() const;
    // The bridge's write queue: filled here, drained by the bridge's writer.
    const std::shared_ptr<BridgeWriteQueue>& bridge_queue() const { return bridge_queue_; }

  private:
    std::int64_t now_us() const { return clocks_.steady_us(); }
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

    const SaasConfig& config_;
    const ConnectorClocks& clocks_;
    const ConnectorSeams& seams_;
    RelayBook& relays_;
    RelayProbe& probe_;

    PrepareSessionHandler on_prepare_session_;
    SessionTerminatedHandler on_session_terminated_;
    ClientCandidateHandler on_client_candidate_;
    ObservedIpHandler on_observed_ip_;

    // Shared with the bridge's writer, which may outlive a deadline-detach.
    std::shared_ptr<BridgeWriteQueue> bridge_queue_ =
        std::make_shared<BridgeWriteQueue>(kBridgeQueueCapacity);

    // The current session id is read by other threads; the handled ids by this thread only.
    mutable std::mutex session_mutex_;
    std::string current_session_id_;
    std::deque<std::string> handled_session_ids_;
    std::atomic<std::uint64_t> control_data_received_{0};
    std::atomic<std::int64_t> last_control_data_us_{0};
    std::atomic<std::int64_t> last_heard_us_{0};
    std::atomic<bool> app_pings_arriving_{false};
    std::atomic<std::uint64_t> app_pings_{0};
    std::atomic<std::uint64_t> messages_received_{0};
};

}  // namespace vx::network
