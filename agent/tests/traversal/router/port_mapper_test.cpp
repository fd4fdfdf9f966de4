#include "traversal/router/port_mapper.hpp"

#include <gtest/gtest.h>

#include "support/fake_clock.hpp"
#include "support/log_lines.hpp"
#include "traversal/router/scripted_steps.hpp"

namespace vx::network {
namespace {

using test::gateway_igd;
using test::ScriptedSteps;
using test::soap_error;
using test::soap_ok;

constexpr std::int64_t kSecondUs = 1'000'000;

class PortMapperTest : public test::ScriptedMapperTest {
  protected:
    struct Mapped {
        bool ok = false;
        std::uint16_t port = 0;
        std::string ip, method;
    };
    Mapped map(std::uint16_t port, std::uint32_t lease = 600) {
        Mapped m;
        m.ok = mapper().map_port(port, m.port, m.ip, lease, m.method);
        return m;
    }
};

TEST_F(PortMapperTest, UpnpMapsOnTheInternalPortAndKeepsTheRow) {
    steps->igd = gateway_igd("100.128.0.2");
    const Mapped first = map(48002);
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.port, 48002);
    EXPECT_EQ(first.ip, "100.128.0.2");
    EXPECT_EQ(first.method, "upnp");
    EXPECT_EQ(logs.count("DirectPortMapper: mapped UDP 48002 -> 100.128.0.2:48002 via upnp"), 1);
    const int calls = steps->total_calls();
    const Mapped again = map(48002, 30);  // another lease changes nothing
    EXPECT_TRUE(again.ok);
    EXPECT_EQ(again.port, 48002);
    EXPECT_EQ(steps->total_calls(), calls);
    EXPECT_EQ(map(0).ok, false);
    EXPECT_EQ(mapper().last_error(), "internal port 0");
}

TEST_F(PortMapperTest, LeasesAreCappedAt600Seconds) {
    steps->igd = gateway_igd("100.128.0.2");
    map(1000, 0);
    map(1001, 601);
    map(1002, 599);
    ASSERT_EQ(steps->adds.size(), 3u);
    EXPECT_EQ(steps->adds[0].lease_s, 600u);
    EXPECT_EQ(steps->adds[1].lease_s, 600u);
    EXPECT_EQ(steps->adds[2].lease_s, 599u);
}

TEST_F(PortMapperTest, NoRouterTriesEveryMethodOnceAndSaysWhy) {
    const Mapped m = map(48002);
    EXPECT_FALSE(m.ok);
    EXPECT_EQ(mapper().last_error(),
              "UPnP: not discovered; NAT-PMP: unavailable at discovery; PCP map: no response "
              "from gateway; ");
    EXPECT_EQ(logs.count("DirectPortMapper: no automatic port mapping (UPnP: no SSDP response "
                         "from an InternetGatewayDevice; NAT-PMP: no response from gateway; )"),
              1);
    EXPECT_EQ(steps->pcp_maps.size(), 1u);
    EXPECT_FALSE(map(48003).ok);  // PCP rests until the next pass
    EXPECT_EQ(mapper().last_error(),
              "UPnP: not discovered; NAT-PMP: unavailable at discovery; PCP: not attempted; ");
    EXPECT_EQ(steps->discoveries, 1);  // the failed pass is reused
}

TEST_F(PortMapperTest, NoDefaultRoute) {
    steps->gateway.clear();
    EXPECT_FALSE(map(48002).ok);
    EXPECT_EQ(mapper().last_error(),
              "UPnP: not discovered; NAT-PMP: no default gateway; PCP: no default gateway; ");
    EXPECT_EQ(steps->natpmp_address_requests, 0);
    std::string wan, error;
    EXPECT_FALSE(mapper().discover(wan, error));
    EXPECT_EQ(error, "UPnP: no SSDP response from an InternetGatewayDevice; ");
}

TEST_F(PortMapperTest, UnroutableWanAddressStopsEveryAttempt) {
    struct Case {
        const char* wan;
        const char* text;
    };
    const Case cases[] = {
        {"100.64.3.4",
         "router WAN address 100.64.3.4 is cgnat (CGNAT/upstream NAT) - a port "
         "mapping cannot make it reachable"},
        {"10.0.0.2",
         "router WAN address 10.0.0.2 is private (CGNAT/upstream NAT) - a port "
         "mapping cannot make it reachable"},
        {"127.0.0.9",
         "router WAN address 127.0.0.9 is loopback (not globally routable) - a "
         "port mapping cannot make it reachable"},
    };
    for (const auto& c : cases) {
        auto shared = std::make_shared<ScriptedSteps>();
        ScriptedSteps& s = *shared;
        s.igd = gateway_igd(c.wan);
        DirectPortMapper mapper(DirectPortMapperOptions{}, shared, clock.fn());
        std::string wan, error;
        EXPECT_FALSE(mapper.discover(wan, error));
        EXPECT_EQ(error, c.text);
        std::uint16_t port = 0;
        std::string ip, method;
        EXPECT_FALSE(mapper.map_port(48002, port, ip, 600, method));
        EXPECT_EQ(mapper.last_error(), c.text);
        EXPECT_TRUE(s.adds.empty());
        EXPECT_TRUE(s.pcp_maps.empty());
    }
}

TEST_F(PortMapperTest, NatPmpWanReplacesUpnpCandidateAndWinsWhenPublic) {
    steps->igd = gateway_igd("10.0.0.2");
    steps->natpmp_answers = true;
    std::string wan, error;
    ASSERT_TRUE(mapper().discover(wan, error));
    EXPECT_EQ(wan, "100.128.0.2");
    EXPECT_EQ(mapper().discovery_method(), "natpmp");
    EXPECT_EQ(logs.count("DirectPortMapper: NAT-PMP gateway 192.168.77.1 reports WAN address "
                         "100.128.0.2"),
              1);
    const Mapped m = map(48002);
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.method, "natpmp");
    EXPECT_TRUE(steps->adds.empty());  // natpmp first, and UPnP's WAN is not public anyway
}

TEST_F(PortMapperTest, FailedDiscoveryIsCachedForFiveMinutes) {
    std::string wan, error;
    EXPECT_FALSE(mapper().discover(wan, error));
    map(48002);
    EXPECT_EQ(steps->discoveries, 1);
    clock.advance_us(299 * kSecondUs);
    map(48003);
    EXPECT_EQ(steps->discoveries, 1);
    clock.advance_us(2 * kSecondUs);
    steps->igd = gateway_igd("100.128.0.2");
    EXPECT_TRUE(map(48004).ok);
    EXPECT_EQ(steps->discoveries, 2);
    EXPECT_TRUE(mapper().discover(wan, error));
    EXPECT_EQ(steps->discoveries, 3);  // a forced pass always runs
}

TEST_F(PortMapperTest, OnlyPermanentLeasesRetryWithZero) {
    steps->igd = gateway_igd("100.128.0.2");
    steps->add = [](const test::SoapCall& call) {
        return call.lease_s == 0 ? soap_ok() : soap_error(725, "OnlyPermanentLeasesSupported");
    };
    ASSERT_TRUE(map(48002).ok);
    ASSERT_EQ(steps->adds.size(), 2u);
    EXPECT_EQ(steps->adds[1].lease_s, 0u);
    EXPECT_EQ(logs.count("DirectPortMapper: router only supports permanent UPnP leases for UDP "
                         "48002; relying on DeletePortMapping at session end"),
              1);
    EXPECT_EQ(mapper().mapping(48002)->granted_lifetime_s, 0u);
    EXPECT_EQ(mapper().mapping(48002)->renew_due_us, clock.now_us() + 240 * kSecondUs);
    steps->add = [](const test::SoapCall&) { return soap_error(725, "Only"); };
    EXPECT_FALSE(map(48003).ok);
    EXPECT_EQ(mapper().last_error().rfind(
                  "UPnP AddPortMapping: UPnP permanent lease: UPnP error 725 (Only); ", 0),
              0u);
}

TEST_F(PortMapperTest, ConflictDeletesOnlyThisPcsOwnEntry) {
    steps->igd = gateway_igd("100.128.0.2");
    int adds = 0;
    steps->add = [&adds](const test::SoapCall&) {
        return ++adds == 1 ? soap_error(718, "ConflictInMappingEntry") : soap_ok();
    };
    SoapResult ours = soap_ok();
    ours.internal_client = "192.168.77.20";
    steps->entry_answer = ours;
    ASSERT_TRUE(map(48002).ok);
    EXPECT_EQ(steps->entries.size(), 1u);
    ASSERT_EQ(steps->deletes.size(), 1u);
    EXPECT_EQ(steps->deletes[0].external_port, 48002);

    // Another host holds the port: its forwarding stays, and the 718 answer is the reason.
    for (const auto& entry : {[] {
                                  SoapResult other = soap_ok();
                                  other.internal_client = "192.168.77.21";
                                  return other;
                              }(),
                              soap_error(714, "NoSuchEntryInArray")}) {
        adds = 0;
        steps->entry_answer = entry;
        steps->deletes.clear();
        steps->natpmp_silence = "gateway refused the request";
        EXPECT_FALSE(map(48003).ok);
        EXPECT_TRUE(steps->deletes.empty());
        EXPECT_EQ(mapper().last_error().rfind(
                      "UPnP AddPortMapping: UPnP error 718 (ConflictInMappingEntry); ", 0),
                  0u);
    }
    // Ours, but the router refuses again after the delete.
    steps->entry_answer = ours;
    steps->add = [](const test::SoapCall&) { return soap_error(718, "Conflict"); };
    EXPECT_FALSE(map(48004).ok);
    EXPECT_EQ(mapper().last_error().rfind(
                  "UPnP AddPortMapping: UPnP conflict then retry: UPnP error 718 (Conflict); ", 0),
              0u);
}

// A lease can lapse (a renewal that never got through, a PC that slept) and the router give the
// port to another host: a release deletes only an entry the router cannot place elsewhere.
TEST_F(PortMapperTest, ReleaseLeavesAnotherHostsEntryAlone) {
    steps->igd = gateway_igd("100.128.0.2");
    const auto held_by = [](const char* client) {
        SoapResult entry = soap_ok();
        entry.internal_client = client;
        return entry;
    };
    const std::string released = "DirectPortMapper: released UDP 48002 via upnp";
    struct Case {
        SoapResult entry;
        bool deleted;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {held_by("192.168.77.20"), true, {released}},
        {soap_error(401, "Invalid Action"), true, {released}},
        // Still counts as released (the row goes), but the log says what really happened.
        {held_by("192.168.77.21"),
         false,
         {"DirectPortMapper: UDP 48002 via upnp belongs to another host (192.168.77.21) - left "
          "in place"}},
        {soap_error(714, "NoSuchEntryInArray"), false, {released}},
        {SoapResult{},
         false,
         {"DirectPortMapper: could not delete UDP 48002 mapping via upnp: no HTTP response "
          "(lease will expire)"}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(map(48002).ok);
        steps->entry_answer = c.entry;
        steps->deletes.clear();
        logs.clear();
        mapper().release(48002);
        EXPECT_EQ(steps->deletes.size(), c.deleted ? 1u : 0u) << c.lines.back();
        EXPECT_EQ(logs.lines(), c.lines);
        EXPECT_FALSE(mapper().mapping(48002));
    }
}

TEST_F(PortMapperTest, ReleaseAndDestructionDeleteByMethod) {
    steps->igd = gateway_igd("100.128.0.2");
    ASSERT_TRUE(map(48002).ok);
    ASSERT_TRUE(map(48004).ok);
    steps->delete_answer = soap_error(714, "NoSuchEntryInArray");  // already gone: fine
    mapper().release(48002);
    EXPECT_EQ(logs.count("DirectPortMapper: released UDP 48002 via upnp"), 1);
    EXPECT_FALSE(mapper().mapping(48002));
    mapper().release(48002);  // unknown now: ignored
    steps->delete_answer = soap_error(501, "ActionFailed");
    destroy();
    ASSERT_EQ(steps->deletes.size(), 2u);
    EXPECT_EQ(steps->deletes[1].external_port, 48004);
    EXPECT_EQ(logs.count("could not delete"), 0);  // destruction is silent about failures
}

TEST_F(PortMapperTest, RenewalFollowsTheGrantedLifetime) {
    steps->natpmp_answers = true;
    steps->natpmp_mapper = [](std::uint16_t port, NatPmpMapResponse& answer, std::string&) {
        answer = {0, 1, port, port, 20};  // max_lifetime=20 on the gateway
        return true;
    };
    ASSERT_TRUE(map(48002).ok);
    EXPECT_EQ(mapper().mapping(48002)->granted_lifetime_s, 20u);
    EXPECT_EQ(mapper().mapping(48002)->renew_due_us, clock.now_us() + 10 * kSecondUs);
    clock.advance_us(10 * kSecondUs);
    steps->natpmp_mapper = [](std::uint16_t port, NatPmpMapResponse& answer, std::string&) {
        answer = {0, 1, port, 50000, 86400};
        return true;
    };
    EXPECT_TRUE(mapper().renew(48002, 0));
    EXPECT_EQ(steps->natpmp_lifetimes.back(), 600u);
    const auto row = mapper().mapping(48002);
    EXPECT_EQ(row->renew_due_us, clock.now_us() + 240 * kSecondUs);
    EXPECT_EQ(row->external_port, 50000);
    EXPECT_EQ(logs.count("DirectPortMapper: NAT-PMP renewed UDP 48002 on a new external port "
                         "50000 (was 48002) - the published candidate still names the old port"),
              1);
    EXPECT_EQ(map(48002).port, 50000);

    steps->natpmp_mapper = [](std::uint16_t, NatPmpMapResponse&, std::string& error) {
        error = "NAT-PMP granted lifetime 0 (the mapping was deleted)";
        return false;
    };
    EXPECT_FALSE(mapper().renew(48002, 600));
    EXPECT_EQ(mapper().last_error(),
              "NAT-PMP renewal: NAT-PMP granted lifetime 0 (the mapping was deleted)");
    EXPECT_EQ(logs.count("DirectPortMapper: lease renewal failed for UDP 48002: NAT-PMP renewal: "),
              1);
    EXPECT_FALSE(mapper().renew(1, 600));
    EXPECT_EQ(mapper().last_error(), "no mapping for internal port 1");
}

TEST_F(PortMapperTest, UpnpRenewalUsesTheRowsOwnService) {
    steps->igd = gateway_igd("100.128.0.2", "http://192.168.77.1:5000/ctl/IPConn");
    ASSERT_TRUE(map(48002).ok);
    steps->igd = gateway_igd("100.128.0.2", "http://192.168.77.9:49000/other");
    std::string wan, error;
    ASSERT_TRUE(mapper().discover(wan, error));
    ASSERT_TRUE(mapper().renew(48002, 120));
    EXPECT_EQ(steps->adds.back().control_url, "http://192.168.77.1:5000/ctl/IPConn");
    EXPECT_EQ(steps->adds.back().external_port, 48002);
    EXPECT_EQ(mapper().mapping(48002)->renew_due_us, clock.now_us() + 60 * kSecondUs);
    EXPECT_EQ(logs.count("DirectPortMapper: renewed UDP 48002 via upnp for 120s"), 1);
    mapper().release(48002);
    EXPECT_EQ(steps->deletes.back().control_url, "http://192.168.77.1:5000/ctl/IPConn");
}

TEST_F(PortMapperTest, PcpServerThatAnswersMapsEveryPortOfThePass) {
    steps->pcp_grants([](std::uint16_t port) { return std::pair{"100.128.0.2", port}; }, 120);
    for (std::uint16_t port : {48002, 48000, 48003}) {
        const Mapped m = map(port);
        ASSERT_TRUE(m.ok) << port << ": " << mapper().last_error();
        EXPECT_EQ(m.method, "pcp");
    }
    EXPECT_EQ(steps->pcp_maps, (std::vector<std::uint16_t>{48002, 48000, 48003}));
    EXPECT_EQ(steps->adds.size(), 0u);
    EXPECT_EQ(mapper().mapping(48000)->renew_due_us, clock.now_us() + 60 * kSecondUs);
    mapper().release(48000);
    ASSERT_EQ(steps->pcp_delete_nonces.size(), 1u);
    EXPECT_EQ(steps->pcp_delete_nonces[0][0], 2);  // the nonce drawn for that mapping
}

TEST_F(PortMapperTest, PcpRenewalMovesTheRowWhenTheGatewayDoes) {
    int calls = 0;
    steps->pcp_grants([&calls](std::uint16_t port) {
        using Place = test::ScriptedSteps::PcpPlace;
        return ++calls == 1 ? Place{"100.128.0.2", port} : Place{"100.128.0.3", 40000};
    });
    ASSERT_TRUE(map(48002).ok);
    ASSERT_TRUE(mapper().renew(48002, 600));
    EXPECT_EQ(logs.count("DirectPortMapper: PCP renewed UDP 48002 on 100.128.0.3:40000 (was "
                         "100.128.0.2:48002) - the published candidate still names the old "
                         "endpoint"),
              1);
    EXPECT_EQ(mapper().mapping(48002)->external_ip, "100.128.0.3");
}

}  // namespace
}  // namespace vx::network
