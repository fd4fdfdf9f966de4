#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <spdlog/logger.h>

namespace vx::diag {

// Flushes a logger at most `delay` after a line asked for it (one written below the logger's
// flush-on level, which is not flushed as it is written). While no line waits, its thread sleeps:
// the log's periodic flush costs an idle agent no wake-ups.
class DelayedFlush {
  public:
    DelayedFlush(std::shared_ptr<spdlog::logger> logger, std::chrono::milliseconds delay);
    // Flushes what is still pending, then stops and joins the thread.
    ~DelayedFlush();
    DelayedFlush(const DelayedFlush&) = delete;
    DelayedFlush& operator=(const DelayedFlush&) = delete;

    // Any thread, the logging worker included: a flush is due within the delay.
    void request();
    // Flushes requested so far (tests).
    std::uint64_t flushes() const;

  private:
    void run();

    std::shared_ptr<spdlog::logger> logger_;
    const std::chrono::milliseconds delay_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool pending_ = false;
    bool stopping_ = false;
    std::uint64_t flushes_ = 0;
    std::thread thread_;
};

}  // namespace vx::diag
