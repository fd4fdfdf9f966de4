#include "backend/diagnostics/part_pacing.hpp"

namespace vx::network {

bool WebSocketPacing::may_release(std::int64_t now_us) {
    return !released_once_ || now_us - last_us_ >= kIntervalUs;
}

void WebSocketPacing::released(std::int64_t now_us) {
    released_once_ = true;
    last_us_ = now_us;
}

bool UdpChannelPacing::may_release(std::int64_t /*now_us*/) {
    return !fragments_in_flight_ || fragments_in_flight_() < kMaxFragmentsInFlight;
}

}  // namespace vx::network
