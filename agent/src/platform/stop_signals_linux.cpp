#include "platform/stop_signals.hpp"
#include "platform/thread_name.hpp"

#include <pthread.h>
#include <signal.h>

#include <utility>

namespace vx::platform {
namespace {

// Started under `nohup` (or by anything else that ignores hang-ups): the agent is meant to
// outlive its terminal. Linux queues a blocked signal even when its action is to ignore it, so
// an ignored SIGHUP must stay out of the set, unblocked, where it is still discarded.
bool hangup_ignored() {
    struct sigaction current {};
    return ::sigaction(SIGHUP, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
           current.sa_handler == SIG_IGN;
}

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // The terminal closing: the agent stops as cleanly as for SIGTERM.
    if (!hangup_ignored()) {
        sigaddset(&set, SIGHUP);
    }
    return set;
}

}  // namespace

bool prepare_process_signals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    const bool pipe_ok = ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
    const sigset_t set = stop_signal_set();
    return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0 && pipe_ok;
}

StopSignalWatcher::StopSignalWatcher(Handler handler)
    : handler_(std::move(handler)), thread_([this] { run(); }) {}

StopSignalWatcher::~StopSignalWatcher() {
    stop();
}

void StopSignalWatcher::stop() {
    if (!thread_.joinable()) {
        return;
    }
    stopping_.store(true);
    // Aimed at the watching thread alone, which has SIGTERM blocked: it becomes pending for that
    // thread and ends its sigwait.
    ::pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
}

void StopSignalWatcher::run() {
    name_this_thread("vx-signals");
    const sigset_t set = stop_signal_set();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    while (!stopping_.load()) {
        int signal_number = 0;
        if (::sigwait(&set, &signal_number) != 0 || stopping_.load()) {
            continue;
        }
        try {
            if (handler_) {
                handler_(signal_number);
            }
        } catch (...) {
            // A failing handler must not end the process; the next signal calls it again.
        }
    }
}

}  // namespace vx::platform
