#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "util/clock.hpp"
#include "util/seen_id_set.hpp"
#include "util/session_failure.hpp"

namespace vx {

// Decides whether a failed set-up sends the session's log tail: at most one per 60 s, and only
// once per session id.
class SetupFailureReporter {
  public:
    static constexpr std::int64_t kQuietUs = 60'000'000;

    explicit SetupFailureReporter(util::NowFn now = util::steady_now_us) : now_(std::move(now)) {}

    // True when the tail is to be uploaded, with `reason` set to "<stage>[: <text>]".
    bool report(const std::string& session_id, SessionFailure stage, const std::string& text,
                std::string& reason);

  private:
    util::NowFn now_;
    std::mutex mutex_;
    std::int64_t last_us_ = 0;
    bool reported_ = false;
    util::SeenIdSet seen_;
};

}  // namespace vx
