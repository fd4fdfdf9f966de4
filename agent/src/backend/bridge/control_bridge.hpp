#pragma once

// The agent's end of the backend-relayed launcher control connection: a plain TCP client of the
// agent's own control server on 127.0.0.1, fed from the connector's BridgeWriteQueue by a writer
// thread; a reader thread sends whatever the control server answers back to the backend as
// "control_data". The bytes are never interpreted here.

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "backend/bridge/bridge_control.hpp"
#include "backend/bridge/bridge_write_queue.hpp"
#include "backend/messages/messages.hpp"
#include "util/clock.hpp"
#include "util/io/join_with_deadline.hpp"
#include "util/rate_limited_log.hpp"

namespace vx::network {

// What the bridge needs of the connector that owns it (SaasConnector): the I/O context, the write
// queue it drains, the session the relayed bytes belong to, and the outgoing queue itself.
template <class T>
concept BridgeOwner = requires(T& owner) {
    { owner.io_context() } -> std::same_as<asio::io_context&>;
    { owner.bridge_queue() } -> std::convertible_to<std::shared_ptr<BridgeWriteQueue>>;
    { owner.current_session_id() } -> std::convertible_to<std::string>;
    owner.outgoing_queue()->push(std::string());
};

class ControlBridge : public BridgeControl {
  public:
    static constexpr std::size_t kReadChunkBytes = 8192;
    static constexpr std::chrono::milliseconds kJoinDeadline{2000};
    // How long stop() lets both directions finish what is under way before it cuts the socket.
    static constexpr std::chrono::milliseconds kDrainLimit{1000};
    // How long open() waits for the control server to take the connection.
    static constexpr std::chrono::milliseconds kConnectLimit{1000};
    // A failed open is logged once a window; the attempts in between are counted.
    static constexpr std::chrono::microseconds kUnreachableLogWindow{60'000'000};

    struct Hooks {
        // Queues one message toward the backend (SaasConnector::enqueue_message).
        std::function<void(const nlohmann::json&)> enqueue;
        // The session the relayed bytes belong to, copied at each open.
        std::function<std::string()> session_id;
        // Starts one worker; empty means a plain std::thread. It may throw like std::thread's
        // constructor does when the system has no thread to give.
        std::function<std::thread(std::function<void()>)> start_thread;
    };

    ControlBridge(asio::io_context& io, std::shared_ptr<BridgeWriteQueue> queue, Hooks hooks,
                  util::NowFn now = util::steady_now_us);
    ~ControlBridge() override;
    ControlBridge(const ControlBridge&) = delete;
    ControlBridge& operator=(const ControlBridge&) = delete;

    // A bridge wired to the connector's queue, sender and session id. The connector must outlive
    // it (it does when installed with set_control_bridge, which keeps it).
    template <BridgeOwner Connector>
    static std::shared_ptr<ControlBridge> for_connector(Connector& connector) {
        Hooks hooks;
        // A reader given up on at stop is detached and may still deliver a chunk: it holds the
        // queue itself, never the connector, which may be gone by then.
        hooks.enqueue = [queue = connector.outgoing_queue()](const nlohmann::json& message) {
            queue->push(dump_message(message));
        };
        hooks.session_id = [&connector] { return connector.current_session_id(); };
        return std::make_shared<ControlBridge>(connector.io_context(), connector.bridge_queue(),
                                               std::move(hooks));
    }

    void open(std::uint16_t port) override;
    // Hands what the launcher sent to the control server and what the control server wrote to
    // the launcher (up to kDrainLimit for both), then closes and joins or detaches the workers.
    void stop() override;
    bool is_socket_open() const override;
    void count_drop(const std::string& reason) override;

    // Steady time at which the local peer closed unexpectedly; 0 = none. Reset by open and stop.
    std::int64_t relay_peer_lost_us() const { return shared_->relay_peer_lost_us.load(); }
    // The local port of the bridge's connection to the control server, which the control server
    // sees as the relayed launcher's port; 0 before the first open.
    std::uint16_t local_port() const { return shared_->local_port.load(); }
    std::uint64_t chunks_written() const { return shared_->chunks_written.load(); }
    std::uint64_t chunks_read() const { return shared_->chunks_read.load(); }

    // What the workers share with the bridge by ownership, so a detached worker still finds it.
    struct Shared {
        std::atomic<std::int64_t> relay_peer_lost_us{0};
        std::atomic<std::uint16_t> local_port{0};
        std::atomic<std::uint64_t> chunks_written{0};
        std::atomic<std::uint64_t> chunks_read{0};
    };

  private:
    bool install(std::shared_ptr<asio::ip::tcp::socket> socket, std::uint16_t port);
    std::thread start_worker(std::function<void()> body) const;

    asio::io_context& io_;
    std::shared_ptr<BridgeWriteQueue> queue_;
    Hooks hooks_;
    util::NowFn now_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    util::RateLimitedLog unreachable_log_{kUnreachableLogWindow};

    mutable std::mutex mutex_;  // the bridge mutex: socket, threads and flags
    std::shared_ptr<asio::ip::tcp::socket> socket_;
    std::thread reader_;
    std::thread writer_;
    std::shared_ptr<std::atomic<bool>> stop_flag_;
    DoneFlagPtr reader_done_;
    DoneFlagPtr writer_done_;
};

}  // namespace vx::network
