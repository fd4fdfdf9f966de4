#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backend/vxcp/reliable_stream.hpp"
#include "backend/vxcp/vxcp_path.hpp"
#include "backend/vxcp/vxcp_wire.hpp"
#include "traversal/turn/turn_client.hpp"
#include "util/clock.hpp"
#include "util/random.hpp"

namespace vx::network {

struct UdpControlChannelConfig {
    std::string host;
    std::uint16_t port = 0;
    std::string token;   // the server id, exactly 36 characters
    std::string secret;  // the agent token; never sent
    std::int32_t handshake_timeout_ms = 3000;
    std::int32_t hello_interval_ms = 400;
    std::int64_t clock_offset_ms = 0;  // backend minus local
    std::int32_t keepalive_cap_ms = 2000;
    std::int32_t stall_threshold_ms = 6000;
    std::optional<TurnConfig> relay;  // open through this relay instead of directly
};

// What the channel needs from the outside world, replaceable in tests.
struct VxcpSeams {
    util::NowFn steady_us = util::steady_now_us;
    util::NowFn wall_ms = util::wall_now_ms;
    util::RandomFn random = util::sodium_random();
    std::function<std::unique_ptr<DatagramPath>(const VxcpEndpoint&, std::string&)> open_direct =
        open_direct_path;
    std::function<std::unique_ptr<DatagramPath>(const TurnConfig&, const VxcpEndpoint&,
                                                std::string&)>
        open_relay = open_relay_path;
    // Looked at while the handshake waits, so a stopping agent does not sit out the time-out.
    std::function<bool()> keep_going;
    // Readable once the agent stops: ends the handshake's waits at once (-1: none).
    int stop_wake_fd = -1;
    // Readable while messages wait to be sent (or once the agent stops): ends a live
    // connection's wait for traffic, so they leave at once (-1: none).
    int live_wake_fd = -1;
};

// The agent's side of one VXCP/1 connection. Used by one thread only.
class UdpControlChannel {
  public:
    // How often a relay allocation under the channel is refreshed.
    static constexpr std::chrono::microseconds kRelayUpkeep{20'000'000};

    explicit UdpControlChannel(UdpControlChannelConfig config, VxcpSeams seams = {});
    ~UdpControlChannel();
    UdpControlChannel(const UdpControlChannel&) = delete;
    UdpControlChannel& operator=(const UdpControlChannel&) = delete;

    // Runs the handshake; on success the channel is alive.
    bool connect(std::string& err);
    // False when the message exceeds the backend's limit (or there is no connection).
    bool queue_message(ByteView message);
    void send();
    // Waits up to `wait_ms` for traffic (less when a timer of the channel is due sooner, and
    // not past the live wake-up), handles it, runs the timers and sends what is due.
    void tick(int wait_ms, std::vector<std::string>& delivered);
    // When the channel's own timers (retransmission, acknowledgement, keep-alive, idle limit,
    // relay upkeep) next want a tick; steady microseconds.
    std::int64_t next_timer_us() const;
    // Sends what is queued, waits briefly for its acknowledgement, then sends CLOSE. Messages
    // that arrive meanwhile go to `delivered` when given (the stream has acknowledged them).
    void close(std::uint16_t code, std::string_view reason,
               std::vector<std::string>* delivered = nullptr);
    // Marks the channel dead; the first reason stays.
    void fail(const std::string& reason, bool path_failure);
    bool move_to_relay(std::string& err);

    std::string endpoint_text() const { return endpoint_.text(); }
    std::string path_name() const;
    bool alive() const { return alive_; }
    bool path_failure() const { return path_failure_; }
    const std::string& end_reason() const { return end_reason_; }
    std::uint16_t backend_close_code() const { return backend_close_code_; }
    const std::string& backend_close_reason() const { return backend_close_reason_; }
    std::int64_t clock_offset_ms() const { return clock_offset_ms_; }
    bool clock_retried() const { return clock_retried_; }
    std::uint64_t dropped() const { return dropped_; }
    bool on_relay() const { return path_ && path_->is_relay(); }
    bool moved_for_stall() const { return moved_for_stall_; }
    const std::string& move_error() const { return move_error_; }
    const ReliableStream* stream() const { return stream_.get(); }
    std::int64_t handshake_ms() const { return handshake_ms_; }
    void set_standby_relay(std::optional<TurnConfig> relay) { standby_relay_ = std::move(relay); }
    const std::optional<TurnConfig>& standby_relay() const { return standby_relay_; }

  private:
    // Datagrams read after one wait at most: a flood must not keep deadlines, timers and a stop
    // from being looked at.
    static constexpr int kMaxDatagramsPerWake = 256;

    enum class HandshakeStep { none, retried, welcomed };

    bool open(std::string& err);
    void make_key_pair();
    void rebuild_hello();
    HandshakeStep on_handshake_datagram(ByteView datagram, bool retry_taken);
    bool accept_welcome(ByteView datagram);
    void on_datagram(ByteView datagram, std::vector<std::string>& delivered);
    // Logs the first packet of the connection whose number the stream refused (the stream
    // refuses malformed payloads too; its count tells them apart).
    void note_refused_number(std::uint64_t number);
    std::size_t receive(int timeout_ms);
    bool switch_to_relay(std::string& err);
    void try_stall_move(std::int64_t now);
    void maintain_relay(std::int64_t now);
    void wipe_secrets();
    std::int64_t now() const { return seams_.steady_us(); }

    UdpControlChannelConfig config_;
    VxcpSeams seams_;
    VxcpEndpoint endpoint_;
    std::unique_ptr<DatagramPath> path_;
    std::int64_t relay_upkeep_us_ = 0;
    std::optional<TurnConfig> standby_relay_;

    ConnectionId connection_id_{};
    Key32 secret_key_{};
    Key32 public_key_{};
    HelloNonce hello_nonce_{};
    Bytes hello_;
    Key32 hello_key_{};
    VxcpKeys keys_;
    ResetToken reset_token_{};
    std::int64_t clock_offset_ms_ = 0;
    bool clock_retried_ = false;
    std::int64_t handshake_ms_ = 0;

    std::unique_ptr<ReliableStream> stream_;
    bool alive_ = false;
    bool path_failure_ = false;
    std::string end_reason_;
    std::uint16_t backend_close_code_ = 0;
    std::string backend_close_reason_;
    std::uint64_t dropped_ = 0;
    std::uint64_t refused_seen_ = 0;  // the stream's count of refused numbers, last looked at
    std::array<std::uint8_t, kVxcpReceiveBuffer> buffer_{};
    // The packet being sent (plaintext, then sealed) and the one received, opened: their storage
    // is reused packet after packet.
    Bytes outgoing_;
    Bytes sealed_;
    Bytes opened_;

    bool moved_for_stall_ = false;
    bool move_tried_ = false;
    std::string move_error_;
};

}  // namespace vx::network
