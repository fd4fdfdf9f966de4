#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

namespace vx::network {

enum class JoinResult : std::uint8_t { not_joinable, detached_self, joined, timed_out };

// The one rule for joining a backend-link thread within a deadline. `done` is the thread's
// shared flag, set as its very last action, so joining once it is set never blocks. The flag
// is polled every 10 ms; past the deadline the thread is detached and the caller logs it.
// Called from the thread itself, the thread is detached (joining would deadlock).
JoinResult join_with_deadline(std::thread& thread, const std::shared_ptr<std::atomic<bool>>& done,
                              std::chrono::milliseconds deadline);

}  // namespace vx::network
