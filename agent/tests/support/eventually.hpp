#pragma once

#include <chrono>
#include <thread>

namespace vx::test {

// Polls `pred` every 20 ms until it holds or `limit` passes: a bounded wait for what another
// process or thread does. Returns the predicate's last value.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

}  // namespace vx::test
