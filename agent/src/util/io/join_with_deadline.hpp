#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace vx::network {

enum class JoinResult : std::uint8_t { not_joinable, detached_self, joined, timed_out };

// A thread's "I am done" mark, set as its very last action and shared by ownership with whoever
// joins it, so a thread detached after a deadline still finds it. A joiner waits on it instead
// of looking at it again and again.
class DoneFlag {
  public:
    explicit DoneFlag(bool done = false) : done_(done) {}

    void store(bool done);
    bool load() const { return done_.load(); }
    // True once the flag is set, false when `limit` passed first.
    bool wait_for(std::chrono::milliseconds limit);

  private:
    std::atomic<bool> done_;
    std::mutex mutex_;
    std::condition_variable cv_;
};

using DoneFlagPtr = std::shared_ptr<DoneFlag>;

// The one rule for joining a backend-link thread within a deadline. `done` is the thread's
// shared flag, set as its very last action, so joining once it is set never blocks. Past the
// deadline the thread is detached and the caller logs it. Called from the thread itself, the
// thread is detached (joining would deadlock).
JoinResult join_with_deadline(std::thread& thread, const DoneFlagPtr& done,
                              std::chrono::milliseconds deadline);
// The same until a point in time, for joins that share one deadline (a deadline already past
// joins only a thread that is done).
JoinResult join_with_deadline(std::thread& thread, const DoneFlagPtr& done,
                              std::chrono::steady_clock::time_point deadline);

}  // namespace vx::network
