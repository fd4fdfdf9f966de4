#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "link/qos_flow_worker.hpp"
#include "platform/wake_event.hpp"
#include "traversal/stun/stun_codec.hpp"
#include "util/clock.hpp"

namespace vx::network {

// One TURN server with long-term credentials, copied by value.
struct TurnConfig {
    std::string server;  // "turn:host[:port][?transport=udp]" or "host[:port]"
    std::uint16_t port = 3478;
    std::string username;
    std::string password;
    std::string realm;               // replaced by the server's REALM at the first challenge
    std::uint32_t lifetime = 600;    // seconds, requested in Allocate and every Refresh
    std::int32_t timeout_ms = 1500;  // wait for one response per attempt
    std::int32_t attempts = 3;       // attempts per transaction
};

struct TurnPermission {
    std::string peer;
    std::int64_t expiry_us = 0;
};

struct TurnChannel {
    std::uint16_t channel = 0;
    std::string peer;
    std::uint16_t port = 0;
    std::int64_t expiry_us = 0;
};

struct RelayedDatagram {
    std::string peer;
    std::uint16_t port = 0;
    std::vector<std::uint8_t> data;
};

struct TurnCounters {
    std::uint64_t sent = 0;
    std::uint64_t send_failures = 0;
    std::uint64_t delivered = 0;
    std::uint64_t delivered_bytes = 0;
    std::uint64_t dropped = 0;
    std::uint64_t foreign = 0;  // relayed data or STUN from a source other than the server
};

// Clock for the allocation, permission and channel lifetimes, and the per-attempt wait of the
// best-effort Refresh on close. Waits for responses always run on the real steady clock (the
// configured timeout_ms bounds them), so a fake clock here never stalls a wait.
struct TurnTiming {
    util::NowFn now = util::steady_now_us;
    std::int32_t close_refresh_timeout_ms = 250;
};

// Fills a buffer with cryptographically random bytes; false when the source failed.
using TurnRandom = std::function<bool(std::uint8_t* out, std::size_t size)>;
// OpenSSL's generator (RAND_bytes): what transaction ids are drawn from unless a test gives
// another source.
bool openssl_random(std::uint8_t* out, std::size_t size);

// One TURN allocation (RFC 5766) over UDP and IPv4. No thread of its own: every operation runs on
// the caller's thread, and the socket is read only inside `receive` and a transaction's wait.
// Operations never throw for network errors and do not log them: they return false (or -1/0)
// and fill `err`, which the caller logs once with what it was doing.
//
// Lock order: operation mutex, then state mutex, then the QoS worker's lock.
class TurnClient {
  public:
    static constexpr std::size_t kMaxPayload = 1400;
    static constexpr std::size_t kReceiveQueueLimit = 256;

    TurnClient();
    explicit TurnClient(TurnTiming timing, TurnRandom random = openssl_random);
    ~TurnClient();
    TurnClient(const TurnClient&) = delete;
    TurnClient& operator=(const TurnClient&) = delete;

    bool allocate(const TurnConfig& config, std::string& err);
    void close();
    // Refreshes the allocation within 60 s of its expiry, permissions within 30 s and channels
    // within 60 s of theirs. Call it periodically.
    bool maintain(std::string& err);
    bool create_permission(const std::string& peer, std::string& err);
    bool bind_channel(const std::string& peer, std::uint16_t port, std::string& err);

    // Data to a peer: ChannelData over a live channel, else a Send indication. At most 1400 bytes.
    bool send(const std::string& peer, std::uint16_t port, const std::uint8_t* data,
              std::size_t len);
    // One relayed datagram: its length, 0 on time-out, -1 for a bad buffer or a closed client.
    // The wait also ends, with 0, as soon as `wake_fd` (when not -1) is readable.
    std::int32_t receive(std::uint8_t* buf, std::size_t capacity, std::string& peer,
                         std::uint16_t& port, std::int32_t timeout_ms, int wake_fd = -1);

    std::string relayed_endpoint() const;
    std::string relayed_address() const;
    std::uint16_t relayed_port() const;
    std::uint32_t allocation_lifetime() const;
    void enable_qos(std::uint8_t traffic_type);
    bool is_allocated() const { return allocated_.load(); }
    std::uint64_t bytes_sent() const { return bytes_sent_.load(); }
    TurnCounters counters() const;
    // Local port of the client's socket (0 when closed); tests use it.
    std::uint16_t local_port() const;
    std::vector<TurnChannel> channels() const;

  private:
    struct Waiter {
        StunTransactionId transaction_id{};
        bool waiting = false;
        bool ready = false;
        std::vector<std::uint8_t> response;
    };
    struct Exchange;

    bool open_socket_locked(std::string& err);
    void close_socket_locked();
    void close_locked();
    bool resolve_server_locked(std::string& err);
    bool derive_long_term_key(std::string& err);
    bool send_to_server(const std::uint8_t* bytes, std::size_t len);
    bool send_channel_data(std::uint16_t channel, const std::uint8_t* data, std::size_t len);
    bool send_indication(const std::string& peer, std::uint16_t port, const std::uint8_t* data,
                         std::size_t len);
    void enqueue_received(const std::string& peer, std::uint16_t port, const std::uint8_t* data,
                          std::size_t len);
    void handle_datagram(const std::uint8_t* bytes, std::size_t n,
                         const asio::ip::udp::endpoint& source);
    void handle_channel_data(const std::uint8_t* bytes, std::size_t n, bool from_server);
    void handle_stun(const std::uint8_t* bytes, std::size_t n, bool from_server);
    void pump_socket();
    // With the state mutex held: wakes the threads that wait for the socket, since the one that
    // pumped may have taken what another waits for.
    void note_delivery_locked();
    // Releases the state mutex while it waits (at most `limit`) for the socket, another thread's
    // delivery or `wake_fd`; true when `wake_fd` ended the wait.
    bool wait_readable(std::unique_lock<std::mutex>& state, std::chrono::milliseconds limit,
                       int wake_fd);
    bool wait_for_response_locked(const StunTransactionId& id, std::vector<std::uint8_t>& out,
                                  std::int32_t timeout_ms);
    bool transaction_locked(std::uint16_t method, const StunAttributeAppender& append,
                            std::vector<std::uint8_t>& response, std::string& err,
                            std::int32_t timeout_ms);
    bool exchange_once_locked(const std::vector<std::uint8_t>& request, const StunTransactionId& id,
                              std::vector<std::uint8_t>& response, std::int32_t timeout_ms);
    int handle_error_response(Exchange& exchange, const StunMessage& message, std::string& err);
    bool finish_allocate_locked(const std::vector<std::uint8_t>& response, std::string& err);
    bool refresh_locked(std::uint32_t lifetime, std::int32_t timeout_ms, std::string& err);
    bool create_permission_locked(const std::string& peer, std::int32_t timeout_ms,
                                  std::string& err);
    bool bind_channel_locked(const std::string& peer, std::uint16_t port, std::int32_t timeout_ms,
                             std::string& err);
    bool choose_channel_locked(const std::string& peer, std::uint16_t port, std::uint16_t& channel,
                               std::int64_t now);
    void forget_allocation_locked();

    TurnTiming timing_;
    TurnRandom random_;
    std::mutex operation_mutex_;
    mutable std::mutex state_mutex_;
    asio::io_context io_;
    asio::ip::udp::socket socket_;
    asio::ip::udp::endpoint server_endpoint_;
    std::string server_text_;
    QosFlowWorker qos_;
    TurnConfig config_;

    std::string username_;
    std::string password_;
    std::string realm_;
    std::string nonce_;
    TurnKey key_{};
    bool key_valid_ = false;

    std::string relayed_address_;
    std::uint16_t relayed_port_ = 0;
    std::uint32_t lifetime_ = 0;
    std::int64_t expiry_us_ = 0;
    std::vector<TurnPermission> permissions_;
    std::vector<TurnChannel> channels_;

    std::array<std::uint8_t, 4096> receive_buffer_{};
    std::deque<RelayedDatagram> receive_queue_;
    std::vector<std::uint8_t> indication_scratch_;
    Waiter waiter_;
    TurnCounters counters_;
    int pollers_ = 0;                // threads waiting on the socket
    platform::WakeEvent delivered_;  // see note_delivery_locked

    std::atomic<bool> allocated_{false};
    std::atomic<std::uint64_t> bytes_sent_{0};
};

}  // namespace vx::network
