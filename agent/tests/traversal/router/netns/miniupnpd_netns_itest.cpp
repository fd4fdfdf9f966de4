// The port mapper against a real router daemon (miniupnpd) in network namespaces: UPnP,
// NAT-PMP and PCP mappings visible in the router's table and gone after release, a datagram
// from the internet reaching a mapped port, and the daemon's variants.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/default_gateway.hpp"
#include "traversal/router/fake_gateway.hpp"
#include "traversal/router/netns/router_lab.hpp"
#include "traversal/router/port_mapper.hpp"
#include "traversal/router/ssdp_responder.hpp"

namespace vx::network {
namespace {

using vx::test::NetnsLab;
using vx::test::RouterConfig;
using vx::test::RouterLab;

// A PCP-only router sends no SSDP answer and leaves every NAT-PMP attempt unanswered: both
// waits are cut short.
constexpr DirectPortMapperOptions kPcpOnlyWaits{.ssdp_wait_ms = 200, .gateway_timeout_ms = 100};

class MiniupnpdLab : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = RouterLab::unavailable_reason();
        if (!reason.empty())
            GTEST_SKIP() << reason;
    }

    // Builds the lab and a mapper with the driver's options; every call runs in the LAN host.
    void start(const std::string& tag, const RouterConfig& config,
               DirectPortMapperOptions options = {}) {
        lab_ = std::make_unique<RouterLab>(tag, config);
        ASSERT_TRUE(lab_->ready) << "lab set-up failed: " << lab_->daemon_output();
        mapper_ = std::make_unique<DirectPortMapper>(options);
    }
    template <class F>
    auto in_lan(F work) {
        return NetnsLab::in_netns(lab_->lan, work);
    }
    bool map(std::uint16_t port, std::string& method, std::uint16_t* external = nullptr,
             std::uint32_t lease = 600) {
        return in_lan([&] {
            std::uint16_t out = 0;
            std::string ip;
            const bool ok = mapper_->map_port(port, out, ip, lease, method);
            if (external != nullptr)
                *external = out;
            return ok;
        });
    }
    void drop_mapper() {
        in_lan([&] {
            mapper_.reset();
            return 0;
        });
    }
    void TearDown() override {
        if (lab_ && mapper_)
            drop_mapper();
    }

    // A datagram from the internet host to the router's WAN port reaches the LAN host's socket.
    bool forwards(std::uint16_t port) {
        const int fd = in_lan([&] {
            const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in any{};
            any.sin_family = AF_INET;
            any.sin_port = htons(port);
            return ::bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 ? s : -1;
        });
        if (fd < 0)
            return false;
        NetnsLab::in_netns(lab_->internet, [&] {
            const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in wan{};
            wan.sin_family = AF_INET;
            wan.sin_port = htons(port);
            ::inet_pton(AF_INET, "100.128.0.2", &wan.sin_addr);
            ::sendto(s, "ping", 4, 0, reinterpret_cast<sockaddr*>(&wan), sizeof wan);
            ::close(s);
            return 0;
        });
        pollfd entry{fd, POLLIN, 0};
        char buffer[16];
        const bool arrived =
            ::poll(&entry, 1, 3000) == 1 && ::recv(fd, buffer, sizeof buffer, 0) == 4;
        ::close(fd);
        return arrived;
    }

    // The three media ports mapped on their own numbers by `method`, in the router's table and
    // forwarding; a renewal; then gone from the table after one release and the mapper's end.
    void media_ports_round_trip(const std::string& method) {
        for (std::uint16_t port : {48002, 48000, 48003}) {
            std::string used;
            std::uint16_t external = 0;
            ASSERT_TRUE(map(port, used, &external)) << port << ": " << mapper_->last_error();
            EXPECT_EQ(used, method);
            EXPECT_EQ(external, port);
        }
        const std::string rules = lab_->nat_rules();
        for (const char* port : {"48002", "48000", "48003"})
            EXPECT_NE(rules.find("dport " + std::string(port)), std::string::npos) << rules;
        EXPECT_NE(rules.find("192.168.77.20"), std::string::npos) << rules;
        EXPECT_TRUE(forwards(48002));
        EXPECT_TRUE(in_lan([&] { return mapper_->renew(48000, 600); })) << mapper_->last_error();
        in_lan([&] {
            mapper_->release(48002);
            return 0;
        });
        EXPECT_EQ(lab_->nat_rules().find("dport 48002"), std::string::npos);
        drop_mapper();
        EXPECT_EQ(lab_->nat_rules().find("dport"), std::string::npos) << lab_->nat_rules();
    }

    std::unique_ptr<RouterLab> lab_;
    std::unique_ptr<DirectPortMapper> mapper_;
};

TEST_F(MiniupnpdLab, UpnpMapsRenewsAndReleases) {
    start("up", {});
    std::string wan, error;
    ASSERT_TRUE(in_lan([&] { return mapper_->discover(wan, error); })) << error;
    EXPECT_EQ(wan, "100.128.0.2");
    EXPECT_EQ(mapper_->discovery_method(), "upnp");
    media_ports_round_trip("upnp");
}

TEST_F(MiniupnpdLab, NatPmpWhenUpnpIsOff) {
    start("np", {.upnp = false}, {.ssdp_wait_ms = 200});
    media_ports_round_trip("natpmp");
}

TEST_F(MiniupnpdLab, PcpOnlyRouterMapsEveryMediaPort) {
    start("pc", {.upnp = false, .pcp_only = true}, kPcpOnlyWaits);
    media_ports_round_trip("pcp");
}

// miniupnpd cuts PCP lifetimes to max_lifetime (its NAT-PMP grants what was asked).
TEST_F(MiniupnpdLab, ShortGrantsAreKeptAndRenewedInTime) {
    start("ml", {.upnp = false, .pcp_only = true, .min_lifetime = 10, .max_lifetime = 20},
          kPcpOnlyWaits);
    std::string method;
    ASSERT_TRUE(map(48002, method)) << mapper_->last_error();
    const auto row = mapper_->mapping(48002);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->granted_lifetime_s, 20u);
    EXPECT_LE(row->renew_due_us - util::steady_now_us(), 10'000'000);
}

TEST_F(MiniupnpdLab, AnotherHostsMappingSurvivesAConflict) {
    if (::access(vx::test::kUpnpc, X_OK) != 0)
        GTEST_SKIP() << "upnpc is not installed (package miniupnpc)";
    // Only UPnP may answer, so the conflict decides.
    start("cf", {.natpmp = false, .secure = false}, {.gateway_timeout_ms = 100});
    ASSERT_TRUE(lab_->run_in(lab_->lan, std::string(vx::test::kUpnpc) +
                                            " -u http://192.168.77.1:5000/rootDesc.xml -a "
                                            "192.168.77.21 48002 48002 UDP 600 >/dev/null"));
    ASSERT_NE(lab_->nat_rules().find("192.168.77.21"), std::string::npos) << lab_->nat_rules();
    std::string method;
    EXPECT_FALSE(map(48002, method));
    EXPECT_EQ(mapper_->last_error().rfind(
                  "UPnP AddPortMapping: UPnP error 718 (ConflictInMappingEntry); ", 0),
              0u)
        << mapper_->last_error();
    const std::string rules = lab_->nat_rules();
    EXPECT_NE(rules.find("192.168.77.21"), std::string::npos) << rules;
    EXPECT_EQ(rules.find("192.168.77.20"), std::string::npos) << rules;
    EXPECT_TRUE(map(48004, method)) << mapper_->last_error();  // a free port still maps

    // That mapping lapses and the other host takes its port: our release leaves it standing.
    const std::string upnpc =
        std::string(vx::test::kUpnpc) + " -u http://192.168.77.1:5000/rootDesc.xml ";
    ASSERT_TRUE(lab_->run_in(lab_->lan, upnpc + "-d 48004 UDP >/dev/null"));
    ASSERT_TRUE(lab_->run_in(lab_->lan, upnpc + "-a 192.168.77.21 48004 48004 UDP 600 >/dev/null"));
    in_lan([&] {
        mapper_->release(48004);
        return 0;
    });
    EXPECT_NE(lab_->nat_rules().find("192.168.77.21:48004"), std::string::npos)
        << lab_->nat_rules();
}

// A device that answers the search at once with a LOCATION nobody serves (an ISP box in bridge
// mode), and the real gateway answering later: the gateway is still found, and maps, with the
// driver's options. The SSDP answers come from a scripted responder beside miniupnpd, which
// serves the description and the SOAP actions behind the later answer.
TEST_F(MiniupnpdLab, AGatewayAnsweringAfterADeadOneIsFound) {
    struct Case {
        const char* dead_location;
        int gateway_answers_ms;
    };
    const Case cases[] = {
        {"http://192.168.77.1:9/rootDesc.xml", 450},     // the box refuses the connection
        {"http://192.168.77.3:5000/rootDesc.xml", 700},  // nobody has that address
    };
    start("tg", {.natpmp = false});  // only UPnP can map: NAT-PMP would hide a missed gateway
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dead_location);
        using Answer = test::ScriptedSsdpResponder::Answer;
        const std::vector<Answer> script = {
            {std::chrono::milliseconds(50), test::igd_answer(c.dead_location)},
            {std::chrono::milliseconds(c.gateway_answers_ms),
             test::igd_answer("http://192.168.77.1:5000/rootDesc.xml")},
        };
        const auto responder = NetnsLab::in_netns(lab_->router, [&] {
            return std::make_unique<test::ScriptedSsdpResponder>(script, "192.168.77.1");
        });
        RouterScope scope;
        scope.ssdp_destinations = {responder->endpoint()};
        drop_mapper();
        mapper_ = std::make_unique<DirectPortMapper>(
            DirectPortMapperOptions{}, network_port_mapper_steps(scope), util::steady_now_us);
        std::string wan, error, method;
        ASSERT_TRUE(in_lan([&] { return mapper_->discover(wan, error); })) << error;
        EXPECT_EQ(wan, "100.128.0.2");
        EXPECT_EQ(mapper_->discovery_method(), "upnp");
        EXPECT_TRUE(map(48002, method)) << mapper_->last_error();
        EXPECT_EQ(method, "upnp");
    }
}

// A LAN device cannot point the agent at this PC's own services: a LOCATION or a controlURL that
// names one of this PC's addresses is refused as a loopback one is, before anything is asked.
TEST_F(MiniupnpdLab, ThisPcIsNeverTakenForTheRouter) {
    start("me", {.daemon = false});
    struct Case {
        std::string ns;
        std::string address;
        std::string control_url;
        const char* error;
    };
    const Case cases[] = {
        {lab_->lan, "192.168.77.20", "/ctl/IPConn", "SSDP LOCATION is not a LAN address"},
        {lab_->lan, "192.168.77.21", "/ctl/IPConn", "SSDP LOCATION is not a LAN address"},
        {lab_->router, "192.168.77.1", "http://192.168.77.20:5000/ctl",
         "controlURL is not a LAN address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address + " " + c.control_url);
        test::FakeGateway::Options options;
        options.address = c.address;
        options.control_url = c.control_url;
        options.natpmp = options.pcp = false;
        // A dead gateway answers first: with both tried the search ends without waiting.
        options.lan_noise = {test::igd_answer("http://192.168.77.1:9/rootDesc.xml")};
        const auto gateway =
            NetnsLab::in_netns(c.ns, [&] { return std::make_unique<test::FakeGateway>(options); });
        RouterScope scope;
        scope.ssdp_destinations = {{asio::ip::make_address_v4(c.address), 1900}};
        const DirectPortMapperOptions bounded{.ssdp_wait_ms = 10'000};
        std::string error;
        EXPECT_FALSE(in_lan([&] { return discover_igd(bounded, scope, error).found; }));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(gateway->counters().get_external.load(), 0);
    }
}

TEST_F(MiniupnpdLab, NoDaemonMeansTheGatewayRefuses) {
    start("nd", {.daemon = false}, {.ssdp_wait_ms = 200});
    std::string wan, error, method;
    EXPECT_FALSE(in_lan([&] { return mapper_->discover(wan, error); }));
    EXPECT_EQ(error,
              "UPnP: no SSDP response from an InternetGatewayDevice; NAT-PMP: gateway refused "
              "the request; ");
    EXPECT_FALSE(map(48002, method));
    EXPECT_EQ(mapper_->last_error(),
              "UPnP: not discovered; NAT-PMP: unavailable at discovery; PCP map: gateway "
              "refused the request; ");
}

TEST_F(MiniupnpdLab, NoDefaultRoute) {
    start("nr", {.default_route = false}, {.ssdp_wait_ms = 200});
    EXPECT_EQ(in_lan([] { return platform::default_gateway(); }), "");
    std::string method;
    EXPECT_FALSE(map(48002, method));
    EXPECT_EQ(mapper_->last_error(),
              "UPnP: not discovered; NAT-PMP: no default gateway; PCP: no default gateway; ");
}

TEST_F(MiniupnpdLab, DefaultGatewayIsTheRouter) {
    start("gw", {.daemon = false});
    EXPECT_EQ(in_lan([] { return platform::default_gateway(); }), "192.168.77.1");
}

// miniupnpd refuses a carrier-grade WAN address, so a small fake IGD plays that router.
TEST_F(MiniupnpdLab, CarrierGradeWanIsNotMapped) {
    start("cg", {.daemon = false}, {.gateway_timeout_ms = 100});
    auto gateway = NetnsLab::in_netns(lab_->router, [] {
        return std::make_unique<test::FakeGateway>(test::carrier_grade_lan_router());
    });
    const std::string text =
        "router WAN address 100.64.12.34 is cgnat (CGNAT/upstream NAT) - a port mapping cannot "
        "make it reachable";
    std::string wan, error, method;
    EXPECT_FALSE(in_lan([&] { return mapper_->discover(wan, error); }));
    EXPECT_EQ(error, text);
    EXPECT_FALSE(map(48002, method));
    EXPECT_EQ(mapper_->last_error(), text);
    EXPECT_EQ(gateway->counters().get_external.load(), 1);
    EXPECT_EQ(gateway->counters().adds.load(), 0);
}

}  // namespace
}  // namespace vx::network
