#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/signal_name.hpp"  // signal_name, for the handler's log line

namespace vx::platform {

// Blocks the stop signals (SIGINT, SIGTERM, and SIGHUP unless it is ignored, as under `nohup`)
// in the calling thread, so in every thread it starts afterwards, and ignores SIGPIPE for the whole
// process (a closed peer or a closed pipe must not kill the agent). Call it first in main, before
// any thread exists; only a `StopSignalWatcher` then receives the stop signals. Returns false when
// the signal mask could not be changed.
bool prepare_process_signals();

// Receives the stop signals with `sigwait` on a thread of its own and calls the handler there.
// The handler therefore runs in ordinary thread context: it may take locks and log, which a real
// signal handler must not. The stop signals must already be blocked (`prepare_process_signals`).
class StopSignalWatcher {
  public:
    using Handler = std::function<void(int signal_number)>;

    explicit StopSignalWatcher(Handler handler);
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

    // Ends the watching thread and joins it; idempotent. Signals that arrive afterwards stay
    // pending (blocked), they no longer call the handler.
    void stop();

  private:
    void run();

    Handler handler_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace vx::platform
