// SSDP answers of one search, one datagram per piece between 0x00 bytes, each arriving 100 ms
// after the one before, through the search's decisions; a try succeeds when the answer's SERVER
// header says "works". The held answers stay within their bound and rank best first; at most
// two gateways are tried, none twice, and the search ends once its wait is over.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "traversal/router/igd_search.hpp"

using namespace vx::network;

namespace {

void try_what_is_due(IgdSearch& search, IgdSearch::Clock::time_point now,
                     std::vector<std::string>& tried) {
    if (search.burst_due(now))
        search.burst_sent(now, 6);
    while (const auto candidate = search.next_attempt(now)) {
        if (std::find(tried.begin(), tried.end(), candidate->location) != tried.end())
            std::abort();
        tried.push_back(candidate->location);
        if (candidate->server == "works")
            search.attempt_succeeded();
        else
            search.attempt_failed("failed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const IgdSearch::Clock::time_point start{};
    auto now = start;
    IgdSearch search(start, std::chrono::milliseconds(1800));
    SsdpCandidates candidates;
    std::vector<std::string> tried;
    for (const std::string& datagram : vx::fuzz::split_at(vx::fuzz::as_text(data, size), '\0')) {
        if (const auto answer = parse_ssdp_response(datagram)) {
            igd_candidate_score(*answer);
            candidates.offer(*answer);
            search.offer(*answer);
        }
        try_what_is_due(search, now, tried);
        now += std::chrono::milliseconds(100);
    }
    for (int step = 0; step < 100 && !search.finished(now); ++step) {
        try_what_is_due(search, now, tried);
        now += std::chrono::milliseconds(100);
    }
    if (!search.finished(now) || tried.size() > IgdSearch::kMaxTried)
        std::abort();
    const auto ranked = candidates.ranked();
    if (ranked.size() > SsdpCandidates::kMaxHeld) {
        std::abort();
    }
    for (std::size_t i = 1; i < ranked.size(); ++i) {
        if (igd_candidate_score(ranked[i - 1]) < igd_candidate_score(ranked[i])) {
            std::abort();
        }
    }
    return 0;
}
