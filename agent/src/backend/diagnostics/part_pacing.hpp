#pragma once

// How fast the log upload hands its parts to the connection: uploads must never crowd out the
// control traffic that shares the link.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vx::network {

class PartPacing {
  public:
    virtual ~PartPacing() = default;
    // Whether one more part may go now. Asked outside the upload's lock, on the connection
    // thread, only while parts are waiting.
    virtual bool may_release(std::int64_t now_us) = 0;
    // A part was handed to the connection at now_us.
    virtual void released(std::int64_t now_us) { (void)now_us; }
};

// WebSocket: one part per 50 ms.
class WebSocketPacing final : public PartPacing {
  public:
    static constexpr std::int64_t kIntervalUs = 50'000;

    bool may_release(std::int64_t now_us) override;
    void released(std::int64_t now_us) override;

  private:
    bool released_once_ = false;
    std::int64_t last_us_ = 0;
};

// UDP control channel: only while fewer than 16 fragments await delivery, so parts never fill
// the channel's send window ahead of control messages.
class UdpChannelPacing final : public PartPacing {
  public:
    static constexpr std::size_t kMaxFragmentsInFlight = 16;

    // The channel's fragments sent and not yet acknowledged (0 when no channel exists).
    explicit UdpChannelPacing(std::function<std::size_t()> fragments_in_flight)
        : fragments_in_flight_(std::move(fragments_in_flight)) {}

    bool may_release(std::int64_t now_us) override;

  private:
    std::function<std::size_t()> fragments_in_flight_;
};

}  // namespace vx::network
