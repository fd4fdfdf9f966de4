#pragma once

#include <cstdint>

namespace vx {

// What the watchdog reads on each check; steady microseconds, 0 = never.
struct PresenceReadings {
    std::int64_t launcher_activity_us = 0;  // last line on the launcher's control connection
    std::int64_t relayed_control_us = 0;    // last control_data the backend relayed
    std::int64_t relay_peer_lost_us = 0;    // the bridge's local peer closed unexpectedly
    std::int64_t backend_connected_us = 0;  // start of the current backend connection
};

enum class PresenceEvent { none, dropped, back, lost };

// Decides from the readings whether the launcher is still there. A pure engine: the owner's
// thread feeds it the readings and the time.
class PresenceWatchdog {
  public:
    // `timeout_us` > 0. Silence of half the timeout reports the player dropped, the whole
    // timeout lost.
    PresenceWatchdog(std::int64_t timeout_us, std::int64_t session_start_us);

    PresenceEvent check(const PresenceReadings& readings, std::int64_t now_us);
    bool lost() const { return lost_; }

  private:
    std::int64_t last_sign_of_life(const PresenceReadings& r) const;

    std::int64_t timeout_us_;
    std::int64_t start_us_;
    bool quiet_ = false;
    bool lost_ = false;
};

}  // namespace vx
