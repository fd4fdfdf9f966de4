// Discovery and the port mapper over the network steps, against the fake gateway on loopback.
#include <gtest/gtest.h>

#include "traversal/router/fake_gateway.hpp"
#include "traversal/router/igd_discovery.hpp"
#include "traversal/router/port_mapper.hpp"

namespace vx::network {
namespace {

using test::FakeGateway;

// A gateway that answers SSDP ends the search by its success, or, with a dead gateway answering
// before it, by the failure of both: the long wait is only a bound, so a loaded machine that
// answers late changes nothing. Without an answering gateway the search waits out 200 ms.
DirectPortMapperOptions quick_options(bool upnp_answers = true) {
    DirectPortMapperOptions options;
    options.ssdp_wait_ms = upnp_answers ? 10'000 : 200;
    options.request_timeout_ms = 2000;
    options.gateway_timeout_ms = 100;
    options.attempts = 2;
    return options;
}

// A gateway that answers first but refuses every connection.
std::string dead_gateway() {
    return test::igd_answer("http://127.0.0.2:1/desc.xml");
}

TEST(IgdDiscoveryLoopback, FindsTheServiceAndTheWanAddress) {
    FakeGateway gateway({});
    std::string error;
    const IgdInfo info = discover_igd(quick_options(), gateway.scope(), error);
    ASSERT_TRUE(info.found) << error;
    EXPECT_EQ(info.control_url,
              "http://127.0.0.1:" + gateway.location().substr(17, 5) + "/ctl/IPConn");
    EXPECT_EQ(info.service_type, "urn:schemas-upnp-org:service:WANIPConnection:2");
    EXPECT_EQ(info.lan_address, "127.0.0.1");
    EXPECT_EQ(info.wan_address, "100.128.0.2");
}

// Every address the router names is checked before the agent connects to it, and the WAN
// address before it is used: an address off the LAN is never asked for the WAN address.
TEST(IgdDiscoveryLoopback, WhatTheRouterNamesIsCheckedFirst) {
    struct Case {
        std::string control_url;
        bool gateway_on_loopback;
        const char* error;
        const char* wan = "100.128.0.2";
        int asked_wan = 0;
    };
    const Case cases[] = {
        {"/ctl/IPConn", false, "SSDP LOCATION is not a LAN address"},
        {"http://8.8.8.8:5000/ctl", true, "controlURL is not a LAN address"},
        {"https://127.0.0.1:5000/ctl", true,
         "GetExternalIPAddress: https router control URL is not supported"},
        {"http:///ctl", true, "router description has an invalid controlURL"},
        {"/ctl/IPConn", true, "GetExternalIPAddress returned ''", "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        FakeGateway::Options options;
        options.control_url = c.control_url;
        options.wan = c.wan;
        options.lan_noise = {dead_gateway()};
        FakeGateway gateway(options);
        RouterScope scope = gateway.scope();
        scope.gateway_on_loopback = c.gateway_on_loopback;
        std::string error;
        const IgdInfo info = discover_igd(quick_options(), scope, error);
        EXPECT_FALSE(info.found);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(gateway.counters().get_external.load(), c.asked_wan);
    }
}

TEST(IgdDiscoveryLoopback, OnlyTheFirstTwoGatewaysAreTried) {
    // Two gateways that answer SSDP first but refuse connections, then the real one.
    FakeGateway::Options options;
    for (const char* host : {"127.0.0.2", "127.0.0.3"})
        options.lan_noise.push_back(
            test::igd_answer(std::string("http://") + host + ":1/desc.xml"));
    FakeGateway gateway(options);
    std::string error;
    EXPECT_FALSE(discover_igd(quick_options(), gateway.scope(), error).found);
    EXPECT_EQ(error.rfind("description fetch failed: connect: ", 0), 0u) << error;
    EXPECT_EQ(gateway.counters().descriptions.load(), 0);
}

class MapperLoopback : public ::testing::Test {
  protected:
    std::unique_ptr<DirectPortMapper> mapper_for(FakeGateway& gateway, bool upnp_answers = true) {
        return std::make_unique<DirectPortMapper>(quick_options(upnp_answers),
                                                  network_port_mapper_steps(gateway.scope()),
                                                  util::steady_now_us);
    }
    static bool map(DirectPortMapper& mapper, std::uint16_t port, std::string& method) {
        std::uint16_t external = 0;
        std::string ip;
        return mapper.map_port(port, external, ip, 600, method);
    }
};

// Each protocol alone maps the three media ports on their own numbers, keeps what the gateway
// granted, renews and releases them, and the mapper's end leaves the gateway's table empty.
TEST_F(MapperLoopback, EachProtocolMapsTheMediaPortsAndLeavesNothingBehind) {
    struct Case {
        const char* method;
        bool upnp, natpmp, pcp;
        std::uint32_t granted;  // the gateway cuts NAT-PMP and PCP grants to 20 s
    };
    const Case cases[] = {
        {"upnp", true, true, true, 600},
        {"natpmp", false, true, false, 20},
        {"pcp", false, false, true, 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        FakeGateway::Options options;
        options.upnp = c.upnp;
        options.natpmp = c.natpmp;
        options.pcp = c.pcp;
        options.max_lifetime = 20;
        FakeGateway gateway(options);
        const auto table = [&] { return c.upnp ? gateway.upnp_table() : gateway.gateway_table(); };
        auto mapper = mapper_for(gateway, c.upnp);
        std::string method;
        for (std::uint16_t port : {48002, 48000, 48003}) {
            ASSERT_TRUE(map(*mapper, port, method)) << port << ": " << mapper->last_error();
            EXPECT_EQ(method, c.method);
            EXPECT_EQ(mapper->mapping(port)->granted_lifetime_s, c.granted);
        }
        EXPECT_EQ(table().size(), 3u);
        EXPECT_TRUE(mapper->renew(48000, 120)) << mapper->last_error();
        mapper->release(48002);
        EXPECT_EQ(table().count(48002), 0u);
        mapper.reset();  // the rest goes with the mapper
        EXPECT_TRUE(table().empty());
    }
}

TEST_F(MapperLoopback, AnotherHostsForwardingSurvivesAConflict) {
    FakeGateway::Options options;
    options.natpmp = options.pcp = false;
    FakeGateway gateway(options);
    gateway.hold(48002, "192.168.77.21");
    auto mapper = mapper_for(gateway);
    std::string method;
    EXPECT_FALSE(map(*mapper, 48002, method));
    EXPECT_EQ(mapper->last_error().rfind(
                  "UPnP AddPortMapping: UPnP error 718 (ConflictInMappingEntry); ", 0),
              0u)
        << mapper->last_error();
    EXPECT_EQ(gateway.upnp_table().at(48002).client, "192.168.77.21");
    EXPECT_EQ(gateway.counters().entries.load(), 1);

    // Our lease on another port lapses and that host takes the port: the release leaves it.
    ASSERT_TRUE(map(*mapper, 48004, method)) << mapper->last_error();
    gateway.hold(48004, "192.168.77.21");
    mapper->release(48004);
    EXPECT_EQ(gateway.upnp_table().at(48004).client, "192.168.77.21");
    EXPECT_EQ(gateway.counters().deletes.load(), 0);
}

}  // namespace
}  // namespace vx::network
