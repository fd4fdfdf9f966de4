#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace vx {

// The public address of this PC as the backend observes it, one per run. It arrives on the
// connector's thread (observed_ip) and is read by the direct-path set-up, which may wait for it.
class DirectCandidateState {
  public:
    // Stores a public IPv4 address, marks it arrived and wakes every waiter. Any other address
    // is ignored (false).
    bool offer_observed(const std::string& address);
    // Waits at most `limit` for an address; true when one has arrived.
    bool wait_arrived(std::chrono::milliseconds limit);
    bool arrived() const;
    std::string address() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::string address_;
    bool arrived_ = false;
};

}  // namespace vx
