#include "traversal/router/ssdp.hpp"

#include <gtest/gtest.h>

namespace vx::network {
namespace {

// What miniupnpd 2.3.1 answers to the IGD:1 search (captured in a test namespace).
const std::string kMiniupnpdAnswer =
    "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\n"
    "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
    "USN: uuid:3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b::urn:schemas-upnp-org:device:"
    "InternetGatewayDevice:1\r\nEXT:\r\nSERVER: Debian/6.18 UPnP/1.1 MiniUPnPd/2.3.1\r\n"
    "LOCATION: http://192.168.77.1:5000/rootDesc.xml\r\n"
    "OPT: \"http://schemas.upnp.org/upnp/1/0/\"; ns=01\r\n01-NLS: 1796648350\r\n\r\n";

TEST(SsdpMessages, SearchTextAndAnswer) {
    EXPECT_EQ(build_msearch("upnp:rootdevice"),
              "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
              "MX: 1\r\nST: upnp:rootdevice\r\n\r\n");
    const auto answer = parse_ssdp_response(kMiniupnpdAnswer);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200u);
    EXPECT_EQ(answer->location, "http://192.168.77.1:5000/rootDesc.xml");
    EXPECT_EQ(answer->st, "urn:schemas-upnp-org:device:InternetGatewayDevice:1");
    EXPECT_EQ(answer->server, "Debian/6.18 UPnP/1.1 MiniUPnPd/2.3.1");
    EXPECT_EQ(igd_candidate_score(*answer), 3);
}

TEST(SsdpMessages, HeaderAndStatusVariants) {
    const auto lax = parse_ssdp_response(
        "http/1.0 200 OK\nlocation:\t http://10.0.0.1/d.xml \nLOCATION: http://10.0.0.1/e.xml\n"
        "st: upnp:rootdevice\n\nLOCATION: http://after.blank/\n");
    ASSERT_TRUE(lax);
    EXPECT_EQ(lax->location, "http://10.0.0.1/e.xml");
    EXPECT_EQ(igd_candidate_score(*lax), 0);
    EXPECT_EQ(parse_ssdp_response("HTTP/1.1 404 Not Found\r\n\r\n")->status, 404u);
    for (const char* bad : {"", "NOTIFY * HTTP/1.1\r\n", "HTTP/1.1 20", "HTTP/1.1 2 0 OK",
                            "HTTP/1.1\r\n", "M-SEARCH * HTTP/1.1\r\n"})
        EXPECT_FALSE(parse_ssdp_response(bad)) << bad;
    for (std::size_t size = 0; size < kMiniupnpdAnswer.size(); ++size)
        parse_ssdp_response(kMiniupnpdAnswer.substr(0, size));  // no prefix may crash
}

IgdCandidate answer(const std::string& location, const std::string& st,
                    const std::string& usn = "") {
    return {200, location, st, usn, ""};
}

const std::string kRoot = "upnp:rootdevice";
const std::string kIgd = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";

TEST(SsdpCandidates, OneCandidatePerLocationWithItsBestRank) {
    SsdpCandidates candidates;
    EXPECT_TRUE(candidates.offer(answer("http://10.0.0.1/d", kRoot)));
    EXPECT_TRUE(candidates.offer(answer("http://10.0.0.2/d", kIgd)));
    EXPECT_TRUE(candidates.offer(answer("http://10.0.0.1/d", kIgd)));  // raises its rank
    EXPECT_FALSE(candidates.offer(answer("http://10.0.0.1/d", kRoot)));
    EXPECT_FALSE(candidates.offer({404, "http://10.0.0.3/d", kIgd, "", ""}));
    EXPECT_FALSE(candidates.offer(answer("", kIgd)));
    const auto ranked = candidates.ranked();
    ASSERT_EQ(ranked.size(), 2u);
    // Raised, it ranks as if it had just arrived: behind the gateway that answered before.
    EXPECT_EQ(ranked[0].location, "http://10.0.0.2/d");
    EXPECT_EQ(ranked[1].location, "http://10.0.0.1/d");
    EXPECT_EQ(ranked[1].st, kIgd);
}

TEST(SsdpCandidates, ACrowdedLanDoesNotHideTheGateway) {
    SsdpCandidates candidates;
    for (int i = 0; i < 20; ++i)
        candidates.offer(answer("http://10.0.0." + std::to_string(10 + i) + "/media", kRoot));
    EXPECT_FALSE(candidates.enough());  // root devices never end the search
    EXPECT_TRUE(candidates.offer(answer("http://10.0.0.1/igd", kIgd, "uuid::" + kIgd)));
    const auto ranked = candidates.ranked();
    ASSERT_EQ(ranked.size(), SsdpCandidates::kMaxHeld);
    EXPECT_EQ(ranked[0].location, "http://10.0.0.1/igd");
    EXPECT_EQ(ranked[1].location, "http://10.0.0.10/media");  // equal ranks keep arrival order
}

TEST(SsdpCandidates, FourGatewaysAreEnough) {
    SsdpCandidates four;
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(four.enough());
        four.offer(answer("http://10.0.0." + std::to_string(i + 1) + "/", kIgd));
    }
    EXPECT_TRUE(four.enough());
}

}  // namespace
}  // namespace vx::network
