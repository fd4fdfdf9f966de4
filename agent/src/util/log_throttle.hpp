#pragma once

#include <cstdint>
#include <utility>

namespace vx::util {

// One log line per interval for something a peer can repeat at will; the events in between are
// counted, so the next line can say how many it stands for. Not thread-safe: the caller's lock or
// strand guards it.
class LogThrottle {
  public:
    explicit LogThrottle(std::int64_t interval_us) : interval_us_(interval_us) {}

    // True when a line is due at `now_us`; `left_out` is then the number of events since the last
    // line that got none.
    bool due(std::int64_t now_us, std::uint64_t& left_out) {
        if (logged_ && now_us - last_us_ < interval_us_) {
            ++left_out_;
            return false;
        }
        logged_ = true;
        last_us_ = now_us;
        left_out = std::exchange(left_out_, 0);
        return true;
    }

  private:
    std::int64_t interval_us_;
    bool logged_ = false;
    std::int64_t last_us_ = 0;
    std::uint64_t left_out_ = 0;
};

}  // namespace vx::util
