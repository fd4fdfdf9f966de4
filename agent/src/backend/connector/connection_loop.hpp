#pragma once

// The connector's connection loop: one thread for the connector's life that keeps a transport up
// (VXCP/1 first when configured, the WebSocket as the fallback), backs off between attempts
// (at least 30 s after close code 4009) and feeds every received message to the dispatcher.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "backend/connector/connector_seams.hpp"
#include "backend/connector/outbox.hpp"
#include "backend/messages/saas_connector_records.hpp"
#include "backend/vxcp/loop/vxcp_loop_timings.hpp"
#include "platform/wake_event.hpp"
#include "util/io/join_with_deadline.hpp"

namespace asio {
class io_context;
namespace ssl {
class context;
}
}  // namespace asio

namespace vx::network {

class Dispatcher;
class RelayBook;
class WebSocketSession;

class ConnectionLoop {
  public:
    // Everything given is owned by the connector and outlives the loop; `tls` is null for a
    // plain WebSocket.
    ConnectionLoop(asio::io_context& io, asio::ssl::context* tls, const SaasConfig& config,
                   const ConnectorClocks& clocks, ConnectorSeams& seams, Dispatcher& dispatcher,
                   Outbox& outbox, const RelayBook& relays);
    ConnectionLoop(const ConnectionLoop&) = delete;
    ConnectionLoop& operator=(const ConnectionLoop&) = delete;

    // How long a stop lets a connection that is up send what is queued before closing it
    // anyway: enough for a few messages on any working link, and the stop stays well inside
    // the few seconds a service manager waits (the UDP channel's close is bounded alike).
    static constexpr std::chrono::milliseconds kStopDrainLimit{1500};

    // Starts the connection thread. A second call while it exists is logged and ignored.
    void start();
    // Clears the running flag; a connection that is up gets the drain limit to send what is
    // queued, then the current transport is woken, and the connection thread is joined without
    // a deadline. Harmless when never started or called twice; not from that thread.
    void stop();
    // Before stop().
    void set_stop_drain_limit(std::chrono::milliseconds limit) { stop_drain_limit_ = limit; }

    void set_link_up(std::string transport_name, std::int64_t now_us);
    void set_link_down();
    bool running() const { return running_.load(); }
    bool connected() const { return connected_.load(); }
    std::int64_t connected_since_us() const { return connected_since_us_.load(); }
    std::string transport_name() const;
    const WebSocketSession& websocket() const { return *ws_; }

    // The UDP control channel's time-outs; set before start().
    void set_vxcp_timings(const VxcpLoopTimings& timings) { vxcp_timings_ = timings; }

  private:
    class WsHooks;
    class VxcpHooks;

    // The thread body; returns once running clears.
    void run();
    // One WebSocket connection; true when it was up (the loop then resets its back-off).
    bool run_websocket_session();
    // The back-off between attempts; a stop ends it at once.
    void wait_while_running(std::chrono::milliseconds wait);
    // Log upload parts wait for their pace, so the transport's wait comes round for them.
    bool parts_waiting() const;
    OutgoingQueue& queue() const { return *outbox_.shared_queue(); }

    const SaasConfig& config_;
    const ConnectorClocks& clocks_;
    ConnectorSeams& seams_;
    Dispatcher& dispatcher_;
    Outbox& outbox_;
    const RelayBook& relays_;
    VxcpLoopTimings vxcp_timings_;

    std::atomic<bool> running_{false};
    std::mutex stop_mutex_;  // taken to clear running_, so a waiter cannot miss the stop
    std::condition_variable stop_cv_;
    platform::WakeEvent stop_wake_;  // readable once stopped: ends a UDP handshake's waits
    std::atomic<bool> connected_{false};
    std::atomic<std::int64_t> connected_since_us_{0};
    mutable std::mutex link_mutex_;
    std::string transport_name_;

    std::mutex lifecycle_mutex_;
    std::thread thread_;
    DoneFlagPtr thread_done_;  // set as the connection thread's last action
    std::chrono::milliseconds stop_drain_limit_{kStopDrainLimit};

    // The WebSocket transport, one connection at a time.
    std::shared_ptr<WebSocketSession> ws_;
};

}  // namespace vx::network
