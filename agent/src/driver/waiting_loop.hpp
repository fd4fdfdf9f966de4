#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "backend/messages/saas_connector_records.hpp"
#include "driver/session_orders.hpp"
#include "util/clock.hpp"

namespace vx {

// The outer loop with a backend: waits for the prepared-session flag, drops an order that waited
// too long, runs the session, and goes back to waiting.
class WaitingLoop {
  public:
    // Every order and the stop request wake the wait at once (both notify the session orders'
    // condition under their mutex); the step only bounds a wait that nothing woke.
    static constexpr std::chrono::milliseconds kStep{60'000};
    static constexpr std::int64_t kStaleUs = 60'000'000;
    static constexpr std::int64_t kEndedLogEveryUs = 30'000'000;

    struct Deps {
        SessionOrders& orders;
        std::atomic<bool>& running;
        const std::atomic<bool>& stop_requested;
        std::function<void()> clear_cached_session_ready;
        std::function<void(const network::PrepareSessionParams&)> run_session;
        util::NowFn now = util::steady_now_us;
        // Tells the log upload that the agent waits again with no session running; the id is
        // the newest order's. Only this loop tells it: only here is it known that no session
        // runs.
        std::function<void(const std::string& newest_order_id)> note_back_to_waiting;
    };
    enum class Step : std::uint8_t { waited, dropped_stale, ran_session, stopped };

    explicit WaitingLoop(Deps deps) : d_(std::move(deps)) {}

    // Until a stop is requested.
    void run();
    // One wait of at most `wait` and what follows it.
    Step step(std::chrono::milliseconds wait);

  private:
    // Sets the running flag again unless a stop has come; false when it has.
    bool rearm_running();
    void back_to_waiting(bool after_session);
    // Called without the session mutex.
    void note_waiting();

    Deps d_;
    bool ended_logged_ = false;
    std::int64_t ended_log_us_ = 0;
};

}  // namespace vx
