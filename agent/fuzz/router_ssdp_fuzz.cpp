// SSDP answers of one search, one datagram per piece between 0x00 bytes, each arriving 100 ms
// after the one before. The held answers stay within their bound and rank best first.
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.hpp"
#include "traversal/router/ssdp.hpp"

using namespace vx::network;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SsdpCandidates candidates;
    auto now = SsdpCandidates::Clock::time_point{} + std::chrono::hours(1);
    for (const std::string& datagram : vx::fuzz::split_at(vx::fuzz::as_text(data, size), '\0')) {
        if (const auto answer = parse_ssdp_response(datagram)) {
            igd_candidate_score(*answer);
            candidates.offer(*answer, now);
        }
        candidates.done(now);
        now += std::chrono::milliseconds(100);
    }
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
