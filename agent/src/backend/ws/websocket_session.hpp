#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "backend/ws/saas_stream.hpp"
#include "backend/ws/ws_frame.hpp"
#include "backend/ws/ws_keepalive.hpp"
#include "backend/ws/ws_message.hpp"
#include "backend/ws/ws_socket_owner.hpp"
#include "backend/ws/ws_writer_lanes.hpp"
#include "util/clock.hpp"
#include "util/io/join_with_deadline.hpp"
#include "util/rate_limited_log.hpp"

namespace vx::network {

// What one WebSocket connection needs from the connector around it.
class WsSessionHooks {
  public:
    virtual ~WsSessionHooks() = default;
    // The connection is up: mark the connector connected and show it on the status board.
    virtual void on_connected() = 0;
    // The upgrade was refused with 401 or 403.
    virtual void on_token_rejected() = 0;
    // The reconnect replay, run once before anything else is sent.
    virtual void resend_after_reconnect() = 0;
    // Takes the whole outgoing queue.
    virtual std::vector<std::string> take_outgoing() = 0;
    // Puts messages the writer could not take back at the head of the queue, in order.
    virtual void return_outgoing(std::vector<std::string> rest) = 0;
    virtual void send_heartbeat() = 0;
    // The log upload's paced sender; called at most every 50 ms, and woken for only while
    // `paced_parts_pending` says there is something to pace.
    virtual void send_next_paced_part() {}
    virtual bool paced_parts_pending() const { return false; }
    // Readable while messages wait in the outgoing queue (take_outgoing clears it); -1 for none.
    // The connection's readiness wait watches it, so a queued message leaves at once.
    virtual int outgoing_wake_fd() const { return -1; }
    // Readable once the agent stops (the running flag clears); -1 for none. The connection's
    // wait watches it, so a stop ends the connection at once.
    virtual int stop_wake_fd() const { return -1; }
    // One received message; an exception ends the connection.
    virtual void on_message(const std::string& text) = 0;
    // Application pings the dispatcher counted on this connection (for the silence log).
    virtual std::uint64_t app_pings() const { return 0; }
};

struct WsSessionConfig {
    std::string host;
    std::uint16_t port = 443;
    bool tls = true;
    std::string agent_token;
    std::chrono::milliseconds connect_limit{10'000};
    std::chrono::milliseconds tls_limit{10'000};
    std::chrono::milliseconds upgrade_limit{10'000};
    std::chrono::microseconds heartbeat_interval{5'000'000};
    // A connection the agent itself closed for liveness before this long does not count as up.
    std::chrono::microseconds up_rule{60'000'000};
    std::chrono::milliseconds writer_join_limit{2'000};
};

struct WsStats {
    std::uint64_t messages_received = 0;
    std::uint64_t frames_written = 0;
    std::uint64_t write_failures = 0;
    std::uint64_t reads = 0;
    std::uint64_t read_timeouts = 0;
    std::uint64_t data_dropped = 0;
    std::uint64_t control_dropped = 0;
    std::uint64_t data_pending = 0;
    std::uint64_t writer_waits = 0;
    std::uint64_t writer_give_ups = 0;
    std::uint64_t max_writer_wait_us = 0;
};

// The WebSocket transport of the backend connector: one connection at a time over a SaasStream,
// with the frame reader on the calling thread and, for plain TCP, a writer thread. Everything a
// detached writer may still touch is held through shared pointers.
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
  public:
    // How long the reader waits for room in a full control lane before it takes the writer
    // for stuck and ends the connection.
    static constexpr std::chrono::milliseconds kControlRoomWait{5000};

    WebSocketSession(asio::io_context& io, asio::ssl::context* tls_context, util::NowFn now,
                     RandomFn random, WsKeepAliveSettings keepalive = {});
    ~WebSocketSession();

    // One connection, start to end. True when it came up and was not closed by the agent's own
    // liveness checks within its first minute (the caller may then reset its back-off). When
    // `running` clears, what is queued still leaves before the connection closes, within the
    // writer's join limit; shutting the stream down (shutdown_current) cuts that short.
    bool run(const WsSessionConfig& config, WsSessionHooks& hooks,
             const std::atomic<bool>& running);

    // Any thread: wakes a blocked read by shutting the current stream down.
    void shutdown_current();
    // The connection thread: encodes and queues one frame; false when refused. A control frame
    // waits up to kControlRoomWait for room in a full control lane.
    bool queue_frame(WsOpcode opcode, std::string_view payload, bool control);
    // Any thread, at the connector's stop.
    void close_lanes() { lanes_->close(); }

    // The close code of the last close frame (0 none), taken and cleared at once.
    std::uint16_t take_close_code(std::string* reason);
    WsStats stats() const;
    bool connected() const { return connected_.load(); }
    bool lanes_closed() const { return lanes_->is_closed(); }
    std::int64_t connected_since_us() const { return connected_since_us_.load(); }

  private:
    enum class ReadResult : std::uint8_t { fed, nothing, closed, failed };

    bool open_connection(const WsSessionConfig& config, WsSessionHooks& hooks,
                         const std::atomic<bool>& running, std::shared_ptr<SaasStream>& stream);
    bool websocket_handshake(const WsSessionConfig& config, WsSessionHooks& hooks,
                             const std::atomic<bool>& running, SaasStream& stream);
    bool read_response(const WsSessionConfig& config, const std::atomic<bool>& running,
                       SaasStream& stream, std::string& bytes, std::string& error);
    void publish(std::shared_ptr<SaasStream> stream);
    void shutdown_stream(SaasStream& stream);
    void begin_connection();
    void start_writer(const std::shared_ptr<SaasStream>& stream);
    void loop(const WsSessionConfig& config, WsSessionHooks& hooks,
              const std::atomic<bool>& running, SaasStream& stream);
    // How long the loop may wait for traffic before one of its timers is due.
    std::chrono::milliseconds time_to_next_timer(std::int64_t now, std::int64_t next_heartbeat,
                                                 std::int64_t next_paced) const;
    // False when the data lane refused some (they went back to the head of the queue).
    bool move_outgoing(WsSessionHooks& hooks);
    bool keepalive_step(SaasStream& stream, const WsSessionHooks& hooks);
    void end_connection(WsSessionHooks& hooks, const std::shared_ptr<SaasStream>& stream,
                        bool stopping);
    void join_writer(std::chrono::steady_clock::time_point until);

    std::optional<std::string> next_message(SaasStream& stream, const SaasStream::ReadWait& wait);
    ReadResult read_frames(SaasStream& stream, const SaasStream::ReadWait& wait);
    bool answer_ping(SaasStream& stream, std::string payload);
    WsPushResult push_control(WsFrameBytes frame, WsOpcode opcode);
    void note_pong(std::uint32_t id);
    void note_close(SaasStream& stream, std::uint16_t code, const std::string& reason);
    void pump_writes(SaasStream& stream);
    void writer_loop(std::shared_ptr<SaasStream> stream, DoneFlagPtr done,
                     std::shared_ptr<std::atomic<bool>> retired);
    void retire_writer();
    bool refused_log_due(std::uint64_t drops) const { return drops <= 3 || drops % 500 == 0; }
    void log_refusal(bool control);

    asio::io_context& io_;
    asio::ssl::context* tls_context_;
    util::NowFn now_;
    RandomFn random_;

    std::mutex stream_mutex_;
    std::shared_ptr<SaasStream> current_;

    std::shared_ptr<WsWriterLanes> lanes_ = std::make_shared<WsWriterLanes>();
    SocketOwner owner_;
    std::thread writer_;
    DoneFlagPtr writer_done_;
    std::shared_ptr<std::atomic<bool>> writer_retired_;

    WsFrameParser parser_;
    WsMessageAssembler assembler_;
    WsKeepAlive keepalive_;
    std::string leftover_;

    std::atomic<bool> connected_{false};
    std::atomic<std::int64_t> connected_since_us_{0};
    std::atomic<std::uint16_t> close_code_{0};
    std::mutex close_mutex_;
    std::string close_reason_;
    std::string end_reason_;
    bool agent_closed_ = false;
    bool writes_on_reader_ = false;  // TLS: no writer thread, the connection thread writes
    std::chrono::milliseconds writer_join_limit_{2'000};

    std::atomic<std::uint64_t> messages_received_{0};
    std::atomic<std::uint64_t> frames_written_{0};
    std::atomic<std::uint64_t> write_failures_{0};
    std::atomic<std::uint64_t> reads_{0};
    std::atomic<std::uint64_t> read_timeouts_{0};
    std::atomic<std::uint64_t> control_written_{0};
    std::uint64_t rx_frames_ = 0;

    // One line of a kind per window, by the session's clock, on the connection thread.
    static constexpr std::chrono::microseconds kLogWindow{60'000'000};
    static constexpr std::chrono::microseconds kLanesLogEvery{30'000'000};
    util::RateLimitedLog ping_log_{kLogWindow};
    util::RateLimitedLog pong_log_{kLogWindow};
    util::RateLimitedLog sent_ping_log_{kLogWindow};
    util::RateLimitedLog lanes_log_{kLanesLogEvery};
    std::uint64_t pings_seen_ = 0;  // this connection
    // The writer's, by the process clock: a writer given up on may still be finishing beside
    // the next connection's, and may outlive the session's clock.
    util::RateLimitedLog control_log_{kLogWindow};
};

}  // namespace vx::network
