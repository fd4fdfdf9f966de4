#pragma once

#include <cstdint>
#include <string>

namespace vx::network {

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

}  // namespace vx::network
