#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace vx::util {

// Whole microseconds of the steady clock. Every protocol timer runs on it.
std::int64_t steady_now_us();

// Whole milliseconds since 1970 (wall clock).
std::int64_t wall_now_ms();

// Whole milliseconds from now until `deadline` on the steady clock; 0 once it has passed.
std::chrono::milliseconds time_left(std::chrono::steady_clock::time_point deadline);

// Components take their clock as one of these so tests can run protocol time on a fake clock.
using NowFn = std::function<std::int64_t()>;

}  // namespace vx::util
