#include "util/io/join_with_deadline.hpp"

namespace vx::network {

JoinResult join_with_deadline(std::thread& thread, const std::shared_ptr<std::atomic<bool>>& done,
                              std::chrono::milliseconds deadline) {
    if (!thread.joinable()) {
        return JoinResult::not_joinable;
    }
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
        return JoinResult::detached_self;
    }
    const auto is_done = [&] { return done && done->load(); };
    const auto until = std::chrono::steady_clock::now() + deadline;
    if (is_done()) {
        thread.join();
        return JoinResult::joined;
    }
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (is_done()) {
            thread.join();
            return JoinResult::joined;
        }
    }
    thread.detach();
    return JoinResult::timed_out;
}

}  // namespace vx::network
