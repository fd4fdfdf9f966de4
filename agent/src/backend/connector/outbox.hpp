#pragma once

// The connector's senders: each builds one message and queues it, never waiting for the network;
// the queue with its two caches, and the replay that starts every new connection. Any thread.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "backend/connector/connector_seams.hpp"
#include "backend/connector/outgoing_queue.hpp"
#include "backend/messages/saas_connector_records.hpp"
#include "util/natwave_profile.hpp"

namespace vx::network {

class Outbox {
  public:
    // The configuration and the seams are the connector's and outlive the outbox.
    Outbox(const SaasConfig& config, const ConnectorSeams& seams);

    // Also keeps the text as the cached "session_ready", sent again after every reconnect.
    void session_ready(const std::string& session_id, const std::string& public_ip,
                       std::uint16_t video_port, std::uint16_t audio_port,
                       std::uint16_t input_port);
    // Also clears the cached "session_ready", keeps the text in the terminal cache and starts
    // the session's log upload.
    void session_ended(const std::string& session_id, const std::string& reason,
                       std::uint32_t duration_sec);
    // With a session id, also keeps the text in the terminal cache.
    void error(const std::string& code, const std::string& message, const std::string& session_id);
    // Not sent without a session id, an address or a port.
    void ice_candidate(const std::string& session_id, const std::string& ip,
                       const std::string& kind, std::uint16_t port,
                       const std::optional<natwave::Profile>& profile);
    // Only the replay sends "register" (first on every connection).
    void register_agent();
    // The address the next "register" claims; empty claims none.
    void set_register_public_ip(std::string public_ip);
    // First lets the log upload report the agent log between sessions.
    void heartbeat();

    // Serialises outside any lock, then appends.
    void push_message(const nlohmann::json& message);
    // Once per new connection, before anything else is sent; returns the number of stale drops.
    std::size_t replay();

    const OutgoingQueue& queue() const { return *queue_; }
    // Shared with threads that may outlive a deadline-detach (relay probe, bridge reader).
    const std::shared_ptr<OutgoingQueue>& shared_queue() const { return queue_; }

  private:
    std::string register_text();

    const SaasConfig& config_;
    const ConnectorSeams& seams_;
    std::shared_ptr<OutgoingQueue> queue_ = std::make_shared<OutgoingQueue>();
    mutable std::mutex register_mutex_;
    RegisterPayload register_ = config_.register_payload;  // under register_mutex_
};

}  // namespace vx::network
