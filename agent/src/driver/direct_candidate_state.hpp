#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "traversal/direct/observed_address.hpp"

namespace vx {

// The public address of this PC as the backend observes it, one per run. It arrives on the
// connector's thread (observed_ip) and is read by the direct-path set-up, which may wait for it.
class DirectCandidateState final : public network::ObservedAddress {
  public:
    // Stores a public IPv4 address, marks it arrived and wakes every waiter. Any other address
    // is ignored (false).
    bool offer_observed(const std::string& address);
    // Waits at most `timeout_ms` (none when 0 or less) for an address; true when one has arrived.
    bool wait_published(std::int64_t timeout_ms);

    bool published() const override;
    std::string published_via() const override;
    bool matches_via(const std::string& address) const override;

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::string address_;
    bool arrived_ = false;
};

}  // namespace vx
