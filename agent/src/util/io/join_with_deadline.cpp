#include "util/io/join_with_deadline.hpp"

#include "util/clock.hpp"

namespace vx::network {

void DoneFlag::store(bool done) {
    {
        std::lock_guard lock(mutex_);
        done_.store(done);
    }
    cv_.notify_all();
}

bool DoneFlag::wait_for(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return done_.load(); });
}

JoinResult join_with_deadline(std::thread& thread, const DoneFlagPtr& done,
                              std::chrono::milliseconds deadline) {
    if (!thread.joinable()) {
        return JoinResult::not_joinable;
    }
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
        return JoinResult::detached_self;
    }
    if (done && (done->load() || done->wait_for(deadline))) {
        thread.join();
        return JoinResult::joined;
    }
    thread.detach();
    return JoinResult::timed_out;
}

JoinResult join_with_deadline(std::thread& thread, const DoneFlagPtr& done,
                              std::chrono::steady_clock::time_point deadline) {
    return join_with_deadline(thread, done, util::time_left(deadline));
}

}  // namespace vx::network
