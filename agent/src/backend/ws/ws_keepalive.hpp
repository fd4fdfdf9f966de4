#pragma once

#include <chrono>
#include <cstdint>

namespace vx::network {

struct WsKeepAliveSettings {
    std::chrono::microseconds ping_interval{10'000'000};
    std::chrono::microseconds pong_deadline{10'000'000};
    std::chrono::microseconds inbound_silence{20'000'000};
};

// Keep-alive of one WebSocket connection: our pings prove the backend->agent direction, and
// once inbound traffic has been proven, silence past the limit ends the connection. No I/O: the
// connection asks `tick` what to do and reports what it received.
class WsKeepAlive {
  public:
    enum class Action : std::uint8_t { none, send_ping, pong_timeout, inbound_silent };

    explicit WsKeepAlive(WsKeepAliveSettings settings = {}) : s_(settings) {}

    // New connection: the first ping goes out on the first tick. The ping id counter survives.
    void reset(std::int64_t now_us);
    // With send_ping, `ping_id()` is the id to put in the payload.
    Action tick(std::int64_t now_us);
    void on_inbound(std::int64_t now_us);
    // Any pong ends the wait for the outstanding ping; returns whether its id matched and the
    // round trip in `rtt_us` then.
    bool on_pong(std::uint32_t id, std::int64_t now_us, std::int64_t& rtt_us);

    std::uint32_t ping_id() const { return outstanding_id_; }
    const WsKeepAliveSettings& settings() const { return s_; }
    std::uint64_t pings_sent() const { return pings_; }
    std::uint64_t pongs_received() const { return pongs_; }
    std::int64_t last_inbound_us() const { return last_inbound_us_; }
    // When `tick` has something to do next (a ping, a pong deadline, the silence limit), if
    // nothing arrives meanwhile.
    std::int64_t next_due_us() const;
    std::int64_t ping_sent_us() const { return ping_sent_us_; }

  private:
    WsKeepAliveSettings s_;
    std::int64_t last_inbound_us_ = 0;
    bool inbound_armed_ = false;
    std::int64_t last_ping_us_ = 0;
    std::uint32_t outstanding_id_ = 0;
    std::int64_t ping_sent_us_ = 0;
    std::int64_t last_pong_us_ = 0;
    std::uint64_t pings_ = 0;
    std::uint64_t pongs_ = 0;
    std::uint32_t id_counter_ = 0;
};

}  // namespace vx::network
