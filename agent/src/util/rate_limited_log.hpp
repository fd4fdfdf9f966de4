#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace vx::util {

// One log line of a kind per interval; the lines that come sooner are only counted. The caller
// passes the time, from its own clock. Threads may share one: two lines at the same moment may
// then both be due, but no count is lost.
class RateLimitedLog {
  public:
    explicit RateLimitedLog(std::chrono::microseconds interval) : interval_us_(interval.count()) {}

    // True when a line is due at `now_us` (the first time, or a whole interval after the last
    // line); the caller logs it. Otherwise the line is counted as suppressed.
    bool due(std::int64_t now_us) {
        if (now_us - last_us_.load() < interval_us_) {
            ++suppressed_;
            return false;
        }
        last_us_.store(now_us);
        return true;
    }
    // The lines suppressed since the last call, counting from zero again.
    std::uint64_t take_suppressed() { return suppressed_.exchange(0); }
    // When the next line will be due.
    std::int64_t next_due_us() const { return last_us_.load() + interval_us_; }

  private:
    const std::int64_t interval_us_;
    std::atomic<std::int64_t> last_us_{INT64_MIN / 2};
    std::atomic<std::uint64_t> suppressed_{0};
};

}  // namespace vx::util
