#include "backend/connector/reconnect_backoff.hpp"

#include <algorithm>

namespace vx::network {

std::int64_t ReconnectBackoff::after_attempt(bool was_up, std::uint16_t close_code) {
    if (was_up)
        backoff_ms_ = kFirstMs;
    std::int64_t wait = backoff_ms_;
    if (close_code == kReplacedCode)
        wait = std::max(wait, kReplacedMinMs);
    backoff_ms_ = std::min(2 * backoff_ms_, kMaxMs);
    return wait;
}

}  // namespace vx::network
