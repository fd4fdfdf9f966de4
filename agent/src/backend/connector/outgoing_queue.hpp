#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wake_event.hpp"

namespace vx::network {

// The one list of serialised messages waiting for a connection, plus the two caches whose
// contents survive a reconnect: the last "session_ready" and the terminal messages
// ("session_ended", and "error" with a session id).
//
// Every text that joins the list signals the drainer's wake-up event, which `take_all` clears:
// the connection thread waits on it together with its socket, so a message queued by any thread
// leaves at once instead of at the thread's next timer.
//
// Lock order: a cache mutex first, the queue mutex second; never the other way round.
class OutgoingQueue {
  public:
    static constexpr std::size_t kTerminalCacheSize = 8;

    void push(std::string text);

    // Takes the whole list at once, leaving it empty (the drainer sends outside the lock).
    std::vector<std::string> take_all();
    // Readable while texts wait (or after `wake_drainer`) until the next `take_all`.
    int drainer_wake_fd() const { return wake_.native_handle(); }
    // Wakes the drainer without queueing anything (a stop, for one).
    void wake_drainer() const { wake_.signal(); }
    // Puts texts a drainer took but could not pass on back at the head, in their order, ahead
    // of whatever was queued meanwhile.
    void return_front(std::vector<std::string> texts);
    std::size_t size() const;

    // Start of a reconnect replay: drops everything queued and queues `first` in one step, so
    // no other thread's message can slip in ahead of it. Returns how many were dropped.
    std::size_t restart_with(std::string first);

    // Stores the text as the cached "session_ready", then queues it.
    void push_session_ready(std::string text);
    void clear_session_ready();
    std::string cached_session_ready() const;

    // Stores under the key (evicting the smallest key when full); does not queue.
    void store_terminal(const std::string& key, std::string text);
    std::map<std::string, std::string> terminal_cache() const;

    // Replay steps: queue a copy of the cached "session_ready" (false when there is none), and
    // a copy of every terminal message in key order (returns the keys, for the log).
    bool requeue_session_ready();
    std::vector<std::string> requeue_terminal();

  private:
    mutable std::mutex queue_mutex_;
    std::vector<std::string> queue_;
    platform::WakeEvent wake_;

    mutable std::mutex ready_mutex_;
    std::string cached_ready_;

    mutable std::mutex terminal_mutex_;
    std::map<std::string, std::string> terminal_;
};

}  // namespace vx::network
