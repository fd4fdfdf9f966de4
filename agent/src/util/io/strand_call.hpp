#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>

namespace vx {

// Runs `fn` on the strand and waits for it, so a socket is closed where its handlers run. When
// no I/O thread picks it up within `limit` (the pool is not running), `fn` runs here instead:
// with no thread running handlers there is nobody to race with. Either way `fn` has finished
// when this returns, so it may use the caller's locals. Never call it from the strand.
template <class Strand, class Fn>
void call_on_strand(Strand& strand, Fn fn,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
    auto claimed = std::make_shared<std::atomic<bool>>(false);
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    asio::post(strand, [claimed, done, fn]() mutable {
        // Set however `fn` ends: a caller may be waiting for it below.
        struct Finish {
            std::promise<void>& done;
            ~Finish() { done.set_value(); }
        } finish{*done};
        if (!claimed->exchange(true)) {
            fn();
        }
    });
    if (finished.wait_for(limit) == std::future_status::ready) {
        return;
    }
    if (!claimed->exchange(true)) {
        fn();
        return;
    }
    // The strand took it just now: it is under way there.
    finished.wait();
}

}  // namespace vx
