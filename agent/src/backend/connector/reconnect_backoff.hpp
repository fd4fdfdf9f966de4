#pragma once

#include <cstdint>

namespace vx::network {

// How long the connection loop waits before the next attempt: 1 s doubling to 30 s, back to
// 1 s after a connection that was up, and at least 30 s after the backend replaced this agent
// by another one with the same token (close code 4009) so two agents do not take turns.
class ReconnectBackoff {
  public:
    static constexpr std::int64_t kFirstMs = 1'000;
    static constexpr std::int64_t kMaxMs = 30'000;
    static constexpr std::int64_t kReplacedMinMs = 30'000;
    static constexpr std::uint16_t kReplacedCode = 4009;

    // The wait after one attempt; `was_up` resets the back-off first.
    std::int64_t after_attempt(bool was_up, std::uint16_t close_code);
    void reset() { backoff_ms_ = kFirstMs; }
    std::int64_t current_ms() const { return backoff_ms_; }

  private:
    std::int64_t backoff_ms_ = kFirstMs;
};

}  // namespace vx::network
