#include "driver/waiting_loop.hpp"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include "util/outside_text.hpp"

namespace vx {

namespace {

// The order's copy of the session master key is wiped once the order is done with.
struct MasterKeyWipe {
    std::vector<std::uint8_t>& key;
    ~MasterKeyWipe() {
        if (!key.empty())
            sodium_memzero(key.data(), key.size());
    }
};

}  // namespace

void WaitingLoop::run() {
    spdlog::info("SaaS connector started - waiting for prepare_session...");
    d_.clear_cached_session_ready();
    while (step(kStep) != Step::stopped) {
    }
}

WaitingLoop::Step WaitingLoop::step(std::chrono::milliseconds wait) {
    std::unique_lock lock(d_.orders.mutex);
    d_.orders.wake.wait_for(lock, wait,
                            [&] { return d_.orders.prepared || d_.stop_requested.load(); });
    if (d_.stop_requested.load())
        return Step::stopped;
    if (!d_.orders.prepared) {
        // A session end requested while nothing ran cleared the running flag: wait on.
        rearm_running();
        lock.unlock();
        // Woken by an order dropped before it started, or by the step's end.
        note_waiting();
        return Step::waited;
    }
    network::PrepareSessionParams params = std::move(d_.orders.prepared_params);
    d_.orders.prepared_params = network::PrepareSessionParams{};
    d_.orders.prepared = false;
    const MasterKeyWipe wipe{params.encryption_key};
    const std::int64_t waited_us = d_.now() - d_.orders.prepared_us;
    if (waited_us > kStaleUs) {
        lock.unlock();
        spdlog::warn(
            "Prepared session {} waited {} s to start - the client has given up on it "
            "by now; not starting it",
            util::quote_outside_text(params.session_id), waited_us / 1'000'000);
        back_to_waiting(false);
        return Step::dropped_stale;
    }
    if (!rearm_running())
        return Step::stopped;
    d_.orders.session_running = true;
    d_.orders.running_session_id = params.session_id;
    d_.orders.end_requested = false;
    lock.unlock();

    d_.run_session(params);

    lock.lock();
    d_.orders.session_running = false;
    d_.orders.running_session_id.clear();
    const bool end_requested = d_.orders.end_requested;
    d_.orders.end_requested = false;
    if (end_requested)
        rearm_running();
    lock.unlock();
    back_to_waiting(true);
    return Step::ran_session;
}

// The stop clears the running flag without the session mutex: set again after it, the flag would
// keep a whole session going. Looked at after the store, a stop is either seen here or clears the
// flag after the store.
bool WaitingLoop::rearm_running() {
    d_.running.store(true);
    if (d_.stop_requested.load()) {
        d_.running.store(false);
        return false;
    }
    return true;
}

void WaitingLoop::back_to_waiting(bool after_session) {
    d_.clear_cached_session_ready();
    note_waiting();
    if (!after_session)
        return;
    const std::int64_t now = d_.now();
    if (!ended_logged_ || now - ended_log_us_ >= kEndedLogEveryUs) {
        ended_logged_ = true;
        ended_log_us_ = now;
        spdlog::info("Session ended - waiting for next prepare_session...");
    }
}

// A session that ended without its upload (a failed set-up within the quiet minute, an order
// dropped unstarted or refused) must not keep the agent reports off for good. Named by the newest
// order, the note leaves a session whose order is on its way to the slot marked active.
void WaitingLoop::note_waiting() {
    if (!d_.note_back_to_waiting) {
        return;
    }
    std::string newest;
    {
        std::lock_guard lock(d_.orders.mutex);
        if (d_.orders.prepared || d_.orders.session_running) {
            return;
        }
        newest = d_.orders.last_order_id;
    }
    if (!newest.empty()) {
        d_.note_back_to_waiting(newest);
    }
}

}  // namespace vx
