#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace vx::util {

// A burst of log lines of a kind per interval (one, unless asked for more); the lines beyond it
// are only counted. The caller passes the time, from its own clock. Threads may share one: two
// lines at the same moment may then both be due, but no count is lost.
class RateLimitedLog {
  public:
    explicit RateLimitedLog(std::chrono::microseconds interval, std::uint64_t burst = 1)
        : interval_us_(interval.count()), burst_(burst) {}

    // True when a line is due at `now_us` (the first of a window, which opens with the first line
    // a whole interval after the window before, or one more of its burst); the caller logs it.
    // Otherwise the line is counted as suppressed.
    bool due(std::int64_t now_us) {
        if (now_us - last_us_.load() >= interval_us_) {
            last_us_.store(now_us);
            in_window_.store(1);
            return true;
        }
        if (in_window_.fetch_add(1) < burst_) {
            return true;
        }
        ++suppressed_;
        return false;
    }
    // The lines suppressed since the last call, counting from zero again.
    std::uint64_t take_suppressed() { return suppressed_.exchange(0); }
    // When the next window opens.
    std::int64_t next_due_us() const { return last_us_.load() + interval_us_; }

  private:
    const std::int64_t interval_us_;
    const std::uint64_t burst_;
    std::atomic<std::int64_t> last_us_{INT64_MIN / 2};  // the opening of the current window
    std::atomic<std::uint64_t> in_window_{0};
    std::atomic<std::uint64_t> suppressed_{0};
};

// What a line that follows suppressed ones adds: " (N <what>)", or nothing when none were.
inline std::string suppressed_note(std::uint64_t suppressed, std::string_view what) {
    if (suppressed == 0) {
        return {};
    }
    return " (" + std::to_string(suppressed) + " " + std::string(what) + ")";
}

// For a count that a peer can raise at will: log the 1st occurrence and every 500th after it.
inline bool nth_log_due(std::uint64_t count) {
    return count == 1 || (count != 0 && count % 500 == 0);
}

}  // namespace vx::util
