#include "driver/direct_candidate_state.hpp"

#include "util/address.hpp"

namespace vx {

bool DirectCandidateState::offer_observed(const std::string& address) {
    if (!util::is_public_ipv4(address))
        return false;
    {
        std::lock_guard lock(mutex_);
        address_ = address;
        arrived_ = true;
    }
    cv_.notify_all();
    return true;
}

bool DirectCandidateState::wait_arrived(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [this] { return arrived_; });
}

bool DirectCandidateState::arrived() const {
    std::lock_guard lock(mutex_);
    return arrived_;
}

std::string DirectCandidateState::address() const {
    std::lock_guard lock(mutex_);
    return address_;
}

}  // namespace vx
