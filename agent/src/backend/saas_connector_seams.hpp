#pragma once

// The narrow interfaces through which the backend connector reaches the parts built around it:
// the transport of the current connection, the relayed control bridge and the log upload.
// Each is installed on the connector as a shared_ptr; an empty one makes its uses no-ops.

#include <cstdint>
#include <string>

namespace vx::network {

// The current backend connection (WebSocket or UDP control channel), as the dispatcher and
// stop() see it. The connection loop installs one per connection with
// SaasConnector::set_transport() and removes it (nullptr) when the connection ends.
class ControlTransport {
  public:
    virtual ~ControlTransport() = default;

    // Queues one text ahead of data traffic (the WebSocket's control lane; the UDP channel
    // queues it and sends at once). Must not wait for the network. False = refused.
    virtual bool send_control_text(const std::string& text) = 0;

    // For the refusal log: the control lane's drop count and whether the lanes are closed.
    virtual std::uint64_t control_drops() const = 0;
    virtual bool control_closed() const = 0;

    // Ends the connection; the loop reconnects. Called on the connection thread (a refused
    // pong: reason "pong refused").
    virtual void abort_connection(const std::string& reason) = 0;

    // Called by SaasConnector::stop() from the stopping thread: wake whatever blocks the
    // connection thread (shut the WebSocket stream down). May do nothing when the transport
    // notices the cleared running flag by itself within its tick.
    virtual void wake_for_stop() = 0;
};

// The relayed launcher control connection (the control bridge), as the dispatcher drives it.
// Its write queue is the connector's BridgeWriteQueue (SaasConnector::bridge_queue()).
class BridgeControl {
  public:
    virtual ~BridgeControl() = default;
    // Stops any open bridge, then connects to 127.0.0.1:port and starts relaying.
    virtual void open(std::uint16_t port) = 0;
    virtual void stop() = 0;
    virtual bool is_socket_open() const = 0;
    // A chunk the write queue refused (the queue has already counted it); logs it, throttled.
    virtual void count_drop(const std::string& reason) = 0;
};

// The log upload's hooks into the connector's life.
class LogUpload {
  public:
    virtual ~LogUpload() = default;
    // A prepare_session with a non-empty id was accepted.
    virtual void note_session_start(const std::string& session_id) = 0;
    // The backend confirmed an upload ("diagnostic_log_stored").
    virtual void on_log_stored(const std::string& upload_id) = 0;
    // send_session_ended: upload that session's log.
    virtual void upload_session_log(const std::string& session_id, const std::string& reason) = 0;
    // Start of every heartbeat: report the agent log between sessions when due.
    virtual void report_agent_log() = 0;
    // Reconnect replay, after "register" and the cached "session_ready": re-send the uploads
    // the backend has not confirmed.
    virtual void requeue_unconfirmed() = 0;
};

}  // namespace vx::network
