#include "traversal/router/ssdp.hpp"

#include <algorithm>

#include "traversal/router/http/router_text.hpp"

namespace vx::network {
namespace {

constexpr std::string_view kGatewayMarker = "internetgatewaydevice";

bool parse_status_line(std::string_view line, std::uint32_t& status) {
    const auto space = line.find(' ');
    if (!starts_with_ignore_case(line, "HTTP/") || space == std::string_view::npos ||
        line.size() < space + 4)
        return false;
    const auto code = parse_decimal(line.substr(space + 1, 3), 999);
    if (!code)
        return false;
    status = static_cast<std::uint32_t>(*code);
    return true;
}

void read_header(std::string_view line, IgdCandidate& candidate) {
    auto field = split_header_line(line);
    if (!field)
        return;
    if (field->name == "location")
        candidate.location = std::move(field->value);
    else if (field->name == "st")
        candidate.st = std::move(field->value);
    else if (field->name == "usn")
        candidate.usn = std::move(field->value);
    else if (field->name == "server")
        candidate.server = std::move(field->value);
}

}  // namespace

std::string build_msearch(std::string_view search_target) {
    std::string text = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n";
    text.append("MAN: \"ssdp:discover\"\r\nMX: 1\r\nST: ").append(search_target).append("\r\n\r\n");
    return text;
}

std::optional<IgdCandidate> parse_ssdp_response(std::string_view datagram) {
    IgdCandidate candidate;
    if (!parse_status_line(take_line(datagram), candidate.status))
        return std::nullopt;
    while (!datagram.empty()) {
        const std::string_view line = take_line(datagram);
        if (line.empty())
            break;
        read_header(line, candidate);
    }
    return candidate;
}

int igd_candidate_score(const IgdCandidate& candidate) {
    return (contains_ignore_case(candidate.st, kGatewayMarker) ? 2 : 0) +
           (contains_ignore_case(candidate.usn, kGatewayMarker) ? 1 : 0);
}

bool SsdpCandidates::offer(const IgdCandidate& candidate) {
    if (candidate.status != 200 || candidate.location.empty())
        return false;
    const int score = igd_candidate_score(candidate);
    auto same = std::find_if(held_.begin(), held_.end(), [&](const Held& held) {
        return held.candidate.location == candidate.location;
    });
    if (same != held_.end()) {
        if (score <= same->score)
            return false;
        held_.erase(same);
    } else if (held_.size() >= kMaxHeld) {
        // Full: a better answer takes the place of the latest of the lowest-ranked.
        const auto lowest =
            std::min_element(held_.rbegin(), held_.rend(),
                             [](const Held& a, const Held& b) { return a.score < b.score; })
                .base() -
            1;
        if (lowest->score >= score)
            return false;
        held_.erase(lowest);
    }
    held_.push_back(Held{candidate, score});
    return true;
}

bool SsdpCandidates::enough() const {
    const auto gateways =
        std::count_if(held_.begin(), held_.end(), [](const Held& held) { return held.score >= 2; });
    return static_cast<std::size_t>(gateways) >= kEnoughGateways;
}

std::vector<IgdCandidate> SsdpCandidates::ranked() const {
    std::vector<Held> order = held_;
    std::stable_sort(order.begin(), order.end(),
                     [](const Held& a, const Held& b) { return a.score > b.score; });
    std::vector<IgdCandidate> candidates;
    for (auto& held : order)
        candidates.push_back(std::move(held.candidate));
    return candidates;
}

}  // namespace vx::network
