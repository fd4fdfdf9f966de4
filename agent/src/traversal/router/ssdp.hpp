#pragma once

// SSDP (UPnP Device Architecture 1.1 section 1.3) as the port mapper uses it: the M-SEARCH it
// sends, the answers it reads, and how the answers of one search are kept and ranked.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx::network {

inline constexpr std::array<std::string_view, 3> kSsdpSearchTargets = {
    "urn:schemas-upnp-org:device:InternetGatewayDevice:1",
    "urn:schemas-upnp-org:device:InternetGatewayDevice:2",
    "upnp:rootdevice",
};

struct IgdCandidate {
    std::uint32_t status = 0;
    std::string location;
    std::string st;
    std::string usn;
    std::string server;
};

std::string build_msearch(std::string_view search_target);

// None when the first line is not an HTTP status line with a three-digit code.
std::optional<IgdCandidate> parse_ssdp_response(std::string_view datagram);

// 2 when the ST names an InternetGatewayDevice, plus 1 when the USN does: 0 to 3.
inline constexpr int kBestCandidateScore = 3;
int igd_candidate_score(const IgdCandidate& candidate);

// The answers of one search, one per LOCATION. On a LAN full of media servers and printers the
// root-device answers come first; they must not crowd out the gateway's, so more are held than
// will be tried, a later answer may raise a held LOCATION's rank, and only gateways (score 2 or
// more) count towards ending the search.
class SsdpCandidates {
  public:
    static constexpr std::size_t kMaxHeld = 16;
    static constexpr std::size_t kEnoughGateways = 4;

    // Takes one answer; true when it was kept or raised a held answer's rank. Only answers with
    // status 200 and a LOCATION count. A raised answer ranks as if it had just arrived, so an
    // answer already ahead of it stays ahead.
    bool offer(const IgdCandidate& candidate);
    // Enough gateways answered: waiting for more would not change which are tried.
    bool enough() const;

    bool empty() const { return held_.empty(); }
    // Best score first; equal scores keep the order of arrival.
    std::vector<IgdCandidate> ranked() const;

  private:
    struct Held {
        IgdCandidate candidate;
        int score = 0;
    };
    std::vector<Held> held_;
};

}  // namespace vx::network
