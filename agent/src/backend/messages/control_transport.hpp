#pragma once

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
    // connection thread (shut the WebSocket stream down). May do nothing when the stop reaches
    // the transport's wait another way.
    virtual void wake_for_stop() = 0;
};

}  // namespace vx::network
