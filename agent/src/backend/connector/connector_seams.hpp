#pragma once

// What the connector's parts share besides the configuration: the clocks, and the seams the parts
// built around the connector are installed in.

#include <memory>
#include <mutex>

#include "backend/bridge/bridge_control.hpp"
#include "backend/diagnostics/log_upload.hpp"
#include "backend/messages/control_transport.hpp"
#include "util/clock.hpp"

namespace vx::network {

// Steady clock in microseconds and wall clock in milliseconds since 1970. Set before start();
// tests drive protocol time with them.
struct ConnectorClocks {
    util::NowFn steady_us = util::steady_now_us;
    util::NowFn wall_ms = util::wall_now_ms;
};

// One part installed from outside: a shared_ptr under its own mutex, empty until set. Any thread.
template <class T>
class Seam {
  public:
    void set(std::shared_ptr<T> part) {
        std::lock_guard lock(mutex_);
        part_ = std::move(part);
    }
    std::shared_ptr<T> get() const {
        std::lock_guard lock(mutex_);
        return part_;
    }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<T> part_;
};

// An empty seam makes its uses no-ops.
struct ConnectorSeams {
    // Installed by the connection loop for each connection, removed when it ends.
    Seam<ControlTransport> transport;
    // Installed by the driver before start.
    Seam<BridgeControl> bridge;
    // The log upload's slot.
    Seam<LogUpload> log_upload;
};

}  // namespace vx::network
