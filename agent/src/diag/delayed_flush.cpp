#include "diag/delayed_flush.hpp"

#include "platform/thread_name.hpp"

namespace vx::diag {

DelayedFlush::DelayedFlush(std::shared_ptr<spdlog::logger> logger, std::chrono::milliseconds delay)
    : logger_(std::move(logger)), delay_(delay), thread_([this] { run(); }) {}

DelayedFlush::~DelayedFlush() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void DelayedFlush::request() {
    {
        std::lock_guard lock(mutex_);
        if (pending_) {
            return;
        }
        pending_ = true;
    }
    cv_.notify_all();
}

std::uint64_t DelayedFlush::flushes() const {
    std::lock_guard lock(mutex_);
    return flushes_;
}

void DelayedFlush::run() {
    platform::name_this_thread("vx-log-flush");
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [&] { return pending_ || stopping_; });
        if (!pending_) {
            return;
        }
        // Lines that come meanwhile ride along with this flush.
        cv_.wait_for(lock, delay_, [&] { return stopping_; });
        pending_ = false;
        ++flushes_;
        lock.unlock();
        logger_->flush();
        lock.lock();
    }
}

}  // namespace vx::diag
