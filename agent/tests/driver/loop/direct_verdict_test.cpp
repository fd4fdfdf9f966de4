#include "driver/direct_verdict.hpp"

#include <gtest/gtest.h>

namespace vx {
namespace {

TEST(DirectVerdictTest, StartUpReadsTheDiscoveryAndAnAddressByHandWins) {
    const std::string cgnat =
        "router WAN address 100.64.12.34 is cgnat (CGNAT/upstream NAT) - a port mapping cannot "
        "make it reachable";
    const struct {
        bool by_hand;
        network::RouterWan wan;
        DirectVerdict expected;
    } cases[] = {
        {true, {}, DirectVerdict::set_by_hand},
        {true, {"198.51.100.7", ""}, DirectVerdict::set_by_hand},
        {false, {"198.51.100.7", ""}, DirectVerdict::upnp_supported},
        {false, {"", cgnat}, DirectVerdict::behind_cgnat},
        {false, {"", "no IGD/NAT-PMP/PCP router answered"}, DirectVerdict::no_upnp},
        {false, {}, DirectVerdict::no_upnp},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(start_up_verdict(c.by_hand, c.wan), c.expected)
            << c.by_hand << " '" << c.wan.address << "' '" << c.wan.error << "'";
    }
}

TEST(DirectVerdictTest, ASessionShowsOpenPortsOnlyWhileItsVideoMappingStands) {
    EXPECT_EQ(session_verdict(DirectVerdict::upnp_supported, true), DirectVerdict::upnp_ports_open);
    EXPECT_EQ(session_verdict(DirectVerdict::upnp_supported, false), DirectVerdict::upnp_supported);
    EXPECT_EQ(session_verdict(DirectVerdict::set_by_hand, true), DirectVerdict::set_by_hand);
    EXPECT_EQ(session_verdict(DirectVerdict::behind_cgnat, false), DirectVerdict::behind_cgnat);
}

}  // namespace
}  // namespace vx
