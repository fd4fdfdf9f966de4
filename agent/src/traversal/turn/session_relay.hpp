#pragma once

// A session's TURN relay: credentials, allocation, the permission for the launcher, and the
// poller thread that keeps the allocation alive and hands relayed datagrams on. Any failure
// leaves no allocation behind, so the session simply goes on direct-only.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/wake_event.hpp"
#include "traversal/turn/turn_client.hpp"

namespace vx::network {

struct SessionRelayOptions {
    // The session's "turn" text, or build_ice_servers_json(config) when that is empty.
    std::string credentials_json;
    // The launcher's dotted IPv4 address when known; a permission is created for it.
    std::string launcher_address;
    // QosFlowWorker traffic type for the relay socket (0: no marking).
    std::uint8_t qos_traffic_type = 0;
    // How often the poller calls TurnClient::maintain. maintain() renews a permission only in
    // the last 30 s of its life, so calling it every 30 s could find one with a second left (or
    // none); a call that has nothing due costs no network exchange.
    std::chrono::milliseconds maintain_interval{10'000};
    // Relayed datagrams, called on the poller thread. Without it the poller leaves the receive
    // queue to whoever calls TurnClient::receive.
    std::function<void(const std::string& peer, std::uint16_t port, const std::uint8_t* data,
                       std::size_t size)>
        on_datagram;
};

class SessionRelay {
  public:
    explicit SessionRelay(TurnTiming timing = {});
    ~SessionRelay();
    SessionRelay(const SessionRelay&) = delete;
    SessionRelay& operator=(const SessionRelay&) = delete;

    // Parses the credentials, allocates, creates the launcher's permission and starts the poller.
    // False (with the reason in `err`, all prefixed "TURN: ") leaves nothing allocated.
    bool start(const SessionRelayOptions& options, std::string& err);

    // Stops and joins the poller, then releases the allocation. Idempotent.
    void stop();

    bool active() const;
    std::string relayed_address() const { return client_->relayed_address(); }
    std::uint16_t relayed_port() const { return client_->relayed_port(); }
    // For media sends, permissions and channel bindings of later-known peers.
    TurnClient& client() { return *client_; }

  private:
    void poll();
    bool wait_for_stop(std::chrono::milliseconds limit);
    bool stopping() const;

    TurnTiming timing_;
    std::unique_ptr<TurnClient> client_;
    SessionRelayOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    platform::WakeEvent stop_wake_;  // ends the poller's receive wait
    bool stopping_ = false;
    bool running_ = false;
    std::thread poller_;
};

}  // namespace vx::network
