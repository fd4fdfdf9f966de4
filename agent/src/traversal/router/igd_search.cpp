#include "traversal/router/igd_search.hpp"

#include <algorithm>

namespace vx::network {

IgdSearch::IgdSearch(Clock::time_point start, std::chrono::milliseconds wait)
    : listen_end_(start + std::max(wait, kMinWait)), next_burst_(start) {}

bool IgdSearch::burst_due(Clock::time_point now) const {
    return listening(now) && now >= next_burst_;
}

void IgdSearch::burst_sent(Clock::time_point now, int sent) {
    if (sent == 0 && first_burst_)
        unroutable_ = true;
    first_burst_ = false;
    next_burst_ = now + kBurstInterval;
}

void IgdSearch::offer(const IgdCandidate& answer) {
    answers_.offer(answer);
}

std::optional<IgdCandidate> IgdSearch::next_attempt(Clock::time_point now) {
    if (found_ || exhausted_ || tried_.size() >= kMaxTried)
        return std::nullopt;
    auto chosen = choose(listening(now));
    if (!chosen)
        return std::nullopt;
    if (budget_end_ && now >= *budget_end_) {
        exhausted_ = true;
        return std::nullopt;
    }
    if (!budget_end_)
        budget_end_ = now + kDescriptionBudget;
    tried_.push_back(chosen->location);
    return chosen;
}

void IgdSearch::attempt_failed(std::string error) {
    last_failure_ = std::move(error);
}

void IgdSearch::attempt_succeeded() {
    found_ = true;
}

bool IgdSearch::finished(Clock::time_point now) const {
    if (found_ || exhausted_ || tried_.size() >= kMaxTried)
        return true;
    return !listening(now) && !choose(false);
}

IgdSearch::Clock::time_point IgdSearch::wake() const {
    return std::min(next_burst_, listen_end_);
}

std::int64_t IgdSearch::budget_left_ms(Clock::time_point now) const {
    const auto left = budget_end_ ? *budget_end_ - now : Clock::duration(kDescriptionBudget);
    return std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
}

std::string IgdSearch::error() const {
    if (found_)
        return {};
    if (exhausted_)
        return "UPnP description budget exhausted";
    if (!last_failure_.empty())
        return last_failure_;
    return "no SSDP response from an InternetGatewayDevice";
}

bool IgdSearch::listening(Clock::time_point now) const {
    return !unroutable_ && now < listen_end_ && !answers_.enough();
}

std::optional<IgdCandidate> IgdSearch::choose(bool settled_only) const {
    const std::vector<IgdCandidate> ranked = answers_.ranked();
    for (std::size_t i = 0; i < std::min(ranked.size(), kMaxTried); ++i) {
        const IgdCandidate& candidate = ranked[i];
        if (settled_only && igd_candidate_score(candidate) < kBestCandidateScore)
            return std::nullopt;  // ranked by score: none further down is settled either
        if (!was_tried(candidate.location))
            return candidate;
    }
    return std::nullopt;
}

bool IgdSearch::was_tried(const std::string& location) const {
    return std::find(tried_.begin(), tried_.end(), location) != tried_.end();
}

}  // namespace vx::network
