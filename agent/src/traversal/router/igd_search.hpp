#pragma once

// The decisions of one search for the LAN's Internet gateway device, on the caller's clock:
// when the M-SEARCH bursts go out, which answering gateway is tried and when, and when the
// search ends. The socket loop that carries them out (ssdp_search.cpp) decides nothing itself.
//
// Answers are collected for the search's wait, or until enough gateways answered, and at most
// the two best-ranked are tried within the description budget. A gateway is tried as soon as its
// place among those two is settled, while the search keeps listening, and the first that gives a
// usable control URL and WAN address ends the search: a LAN with one gateway is done in the
// time of one answer and one description, and a second gateway answering late is still heard.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "traversal/router/ssdp.hpp"

namespace vx::network {

class IgdSearch {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kMinWait{200};
    static constexpr std::chrono::milliseconds kBurstInterval{500};
    // Over every gateway tried, from the first try on; each request has its own time-out too.
    static constexpr std::chrono::seconds kDescriptionBudget{4};
    static constexpr std::size_t kMaxTried = 2;

    IgdSearch(Clock::time_point start, std::chrono::milliseconds wait);

    bool burst_due(Clock::time_point now) const;
    // A burst went out and `sent` searches left. When none could leave at the first burst there
    // is no route for them, no answer can come, and waiting would only delay the agent's start.
    void burst_sent(Clock::time_point now, int sent);
    void offer(const IgdCandidate& answer);

    // The gateway to try now, if any. While answers may still come, only a best-scored gateway
    // among the first two: nothing can rank above it any more, so trying it early never takes
    // the place of one the whole search would have tried. Once the search stops listening, the
    // best two not yet tried.
    std::optional<IgdCandidate> next_attempt(Clock::time_point now);
    void attempt_failed(std::string error);
    void attempt_succeeded();

    bool finished(Clock::time_point now) const;
    // When to look again while nothing arrives: the next burst or the end of listening.
    Clock::time_point wake() const;
    // What is left of the description budget; the whole budget before the first try.
    std::int64_t budget_left_ms(Clock::time_point now) const;
    // Why no gateway was found: the last try's failure, the budget, or no answer at all.
    std::string error() const;

  private:
    bool listening(Clock::time_point now) const;
    std::optional<IgdCandidate> choose(bool settled_only) const;
    bool was_tried(const std::string& location) const;

    Clock::time_point listen_end_;
    Clock::time_point next_burst_;
    bool first_burst_ = true;
    bool unroutable_ = false;
    SsdpCandidates answers_;
    std::vector<std::string> tried_;
    std::optional<Clock::time_point> budget_end_;
    bool found_ = false;
    bool exhausted_ = false;
    std::string last_failure_;
};

}  // namespace vx::network
