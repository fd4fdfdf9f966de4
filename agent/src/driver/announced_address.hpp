#pragma once

#include <mutex>
#include <string>

#include "driver/direct_candidate_state.hpp"

namespace vx {

// The public address the sessions announce in "session_ready": the one given by hand, else the
// router's WAN address adopted at start-up for as long as the backend observes no other, else
// the address the backend observes. The backend's view arrives on the connector's thread while
// the sessions read on the driver's.
class AnnouncedAddress {
  public:
    // `router_wan` is adopted only without an address given by hand; a given address that is not
    // a public IPv4 address is logged and set aside.
    AnnouncedAddress(std::string by_hand, const std::string& router_wan,
                     const DirectCandidateState& observed);
    AnnouncedAddress(const AnnouncedAddress&) = delete;
    AnnouncedAddress& operator=(const AnnouncedAddress&) = delete;

    std::string current() const;
    bool given_by_hand() const { return !by_hand_.empty(); }
    bool router_wan_adopted() const;

    // After each observed address: the backend seeing another address than the adopted router
    // WAN (an upstream carrier-grade NAT) ends its announcement for the rest of the run, whenever
    // that address arrives. Logged and shown once; true for that once.
    bool check_router_wan();

  private:
    const std::string by_hand_;
    const DirectCandidateState& observed_;
    // Taken before the observed address's own mutex, never while that one is held.
    mutable std::mutex mutex_;
    std::string router_wan_;  // empty: none adopted, or contradicted
};

}  // namespace vx
