#include "driver/setup_failure_reporter.hpp"

#include <spdlog/spdlog.h>

#include "util/outside_text.hpp"

namespace vx {

bool SetupFailureReporter::report(const std::string& session_id, SessionFailure stage,
                                  const std::string& text, std::string& reason) {
    reason = std::string(session_failure_name(stage));
    if (!text.empty()) {
        reason += ": " + text;
    }
    if (session_id.empty()) {
        return false;
    }
    std::lock_guard lock(mutex_);
    const std::int64_t now = now_();
    if (reported_ && now - last_us_ < kQuietUs) {
        spdlog::info(
            "Diagnostics: session {} failed in setup ({}) - tail not uploaded, a setup failure "
            "was reported within the last {} s",
            util::quote_outside_text(session_id), util::quote_outside_text(reason),
            kQuietUs / 1'000'000);
        return false;
    }
    if (!seen_.insert(session_id)) {
        return false;
    }
    reported_ = true;
    last_us_ = now;
    return true;
}

}  // namespace vx
