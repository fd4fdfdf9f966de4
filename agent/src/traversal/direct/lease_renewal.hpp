#pragma once

// Keeps a session's router mappings alive: each media port is renewed when its row says it is
// due (half the lease the router granted, at most 240 s), on a thread of its own that a stop
// wakes at once.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "traversal/router/port_mapper.hpp"
#include "util/clock.hpp"

namespace vx::network {

class LeaseRenewal {
  public:
    // `ports` in the order they are renewed; a port without a row (never mapped, or released)
    // is left alone.
    LeaseRenewal(DirectPortMapper& mapper, std::vector<std::uint16_t> ports, std::uint32_t lease_s,
                 util::NowFn now = util::steady_now_us);
    ~LeaseRenewal();  // stops and joins
    LeaseRenewal(const LeaseRenewal&) = delete;
    LeaseRenewal& operator=(const LeaseRenewal&) = delete;

    void start();
    // Sets the stop flag, wakes the thread and joins it (a renewal under way ends first).
    // Idempotent.
    void stop();

    // One pass at `now_us`: renews every port that is due, until a stop; returns when the next
    // one is due.
    std::int64_t renew_due(std::int64_t now_us);

  private:
    void run();
    bool stopping();
    std::int64_t due_at(std::uint16_t port, const PortMapping& row) const;

    DirectPortMapper& mapper_;
    std::vector<std::uint16_t> ports_;
    std::uint32_t lease_s_;
    util::NowFn now_;
    std::map<std::uint16_t, std::int64_t> retry_at_;  // after a failed renewal (thread only)

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace vx::network
