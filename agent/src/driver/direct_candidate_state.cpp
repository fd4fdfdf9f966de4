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

bool DirectCandidateState::wait_published(std::int64_t timeout_ms) {
    std::unique_lock lock(mutex_);
    if (timeout_ms <= 0)
        return arrived_;
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return arrived_; });
}

bool DirectCandidateState::published() const {
    std::lock_guard lock(mutex_);
    return arrived_;
}

std::string DirectCandidateState::published_via() const {
    std::lock_guard lock(mutex_);
    return address_;
}

bool DirectCandidateState::matches_via(const std::string& address) const {
    std::lock_guard lock(mutex_);
    return !arrived_ || address_ == address;
}

}  // namespace vx
