#pragma once

#include <atomic>
#include <cstdint>

#include "util/clock.hpp"

namespace vx::test {

// A steady clock that moves only when the test says so.
class FakeClock {
public:
    explicit FakeClock(std::int64_t start_us = 1'000'000) : now_us_(start_us) {}

    std::int64_t now_us() const { return now_us_.load(); }
    void advance_us(std::int64_t us) { now_us_ += us; }
    void advance_ms(std::int64_t ms) { now_us_ += ms * 1000; }
    util::NowFn fn() {
        return [this] { return now_us_.load(); };
    }

private:
    std::atomic<std::int64_t> now_us_;
};

}  // namespace vx::test
