#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "util/clock.hpp"

namespace vx::test {

// A steady clock that moves only when the test says so.
class FakeClock {
  public:
    explicit FakeClock(std::int64_t start_us = 1'000'000) : now_us_(start_us) {}

    std::int64_t now_us() const { return now_us_.load(); }
    void advance_us(std::int64_t us) {
        now_us_ += us;
        if (on_advance)
            on_advance();
    }
    void advance_ms(std::int64_t ms) { advance_us(ms * 1000); }
    // Set before the clock is shared: a component that sleeps until its next timer by this
    // clock is woken through it, as time passing would wake it.
    std::function<void()> on_advance;
    util::NowFn fn() {
        return [this] { return now_us_.load(); };
    }

  private:
    std::atomic<std::int64_t> now_us_;
};

}  // namespace vx::test
