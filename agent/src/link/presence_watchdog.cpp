#include "link/presence_watchdog.hpp"

#include <algorithm>

namespace vx {

PresenceWatchdog::PresenceWatchdog(std::int64_t timeout_us, std::int64_t session_start_us)
    : timeout_us_(std::max<std::int64_t>(timeout_us, 1)), start_us_(session_start_us) {}

std::int64_t PresenceWatchdog::last_sign_of_life(const PresenceReadings& r) const {
    std::int64_t last = std::max({start_us_, r.launcher_activity_us, r.relayed_control_us});
    // Relayed traffic cannot arrive while the backend link is down: a relayed launcher is given
    // its full timeout again from the moment the link is back.
    if (r.relayed_control_us != 0) {
        last = std::max(last, r.backend_connected_us);
    }
    return last;
}

PresenceEvent PresenceWatchdog::check(const PresenceReadings& readings, std::int64_t now_us) {
    if (lost_) {
        return PresenceEvent::none;
    }
    const std::int64_t last = last_sign_of_life(readings);
    const bool relay_gone = readings.relay_peer_lost_us != 0 && readings.relay_peer_lost_us >= last;
    const std::int64_t silence = now_us - last;
    if (relay_gone || silence >= timeout_us_) {
        lost_ = true;
        return PresenceEvent::lost;
    }
    if (!quiet_ && silence >= timeout_us_ / 2) {
        quiet_ = true;
        return PresenceEvent::dropped;
    }
    if (quiet_ && silence < timeout_us_ / 2) {
        quiet_ = false;
        return PresenceEvent::back;
    }
    return PresenceEvent::none;
}

}  // namespace vx
