#include "driver/announced_address.hpp"

#include <spdlog/spdlog.h>

#include "status/status_board.hpp"
#include "util/address.hpp"

namespace vx {
namespace {

// Announced, an address no launcher can reach (a LAN address, one with a port, a name) would
// send every player's launcher there instead of to what the router or the backend sees.
std::string reachable_by_hand(std::string address) {
    if (address.empty() || util::is_public_ipv4(address))
        return address;
    spdlog::warn(
        "--public-ip '{}' is not a public IPv4 address - set aside; the sessions announce the "
        "router's or the backend's view of this PC's address",
        address);
    return {};
}

}  // namespace

AnnouncedAddress::AnnouncedAddress(std::string by_hand, const std::string& router_wan,
                                   const DirectCandidateState& observed)
    : by_hand_(reachable_by_hand(std::move(by_hand))),
      observed_(observed),
      router_wan_(by_hand_.empty() ? router_wan : std::string()) {}

std::string AnnouncedAddress::current() const {
    if (!by_hand_.empty()) {
        return by_hand_;
    }
    {
        std::lock_guard lock(mutex_);
        if (!router_wan_.empty()) {
            return router_wan_;
        }
    }
    return observed_.published_via();
}

bool AnnouncedAddress::router_wan_adopted() const {
    std::lock_guard lock(mutex_);
    return !router_wan_.empty();
}

bool AnnouncedAddress::check_router_wan() {
    std::string contradicted;
    std::string observed;
    {
        std::lock_guard lock(mutex_);
        if (router_wan_.empty() || observed_.matches_via(router_wan_)) {
            return false;
        }
        contradicted.swap(router_wan_);
        observed = observed_.published_via();
    }
    spdlog::warn(
        "Direct path: router WAN {} != backend observed {} - upstream NAT/CGNAT; the sessions "
        "announce the observed address",
        contradicted, observed);
    status_board().set_verdict(DirectVerdict::behind_cgnat);
    return true;
}

}  // namespace vx
