#include "traversal/direct/check_direct_report.hpp"

#include "traversal/direct/direct_fixture.hpp"
#include "traversal/direct/media_ports.hpp"
#include "traversal/router/fake_gateway.hpp"

namespace vx::network {
namespace {

class CheckDirectReportTest : public test::DirectPathFixture {
  protected:
    int report(std::uint16_t port_base = 47998) {
        text.clear();
        return check_direct_report(port_base, mapper(),
                                   [this](std::string_view line) { text += line; });
    }
    void expect_nothing_left(std::uint16_t port_base = 47998) {
        for (const MediaPort& media : media_ports(port_base)) {
            if (media.port <= kMaxUdpPort) {
                EXPECT_FALSE(mapper().mapping(static_cast<std::uint16_t>(media.port)));
            }
        }
    }
    std::string text;
};

TEST_F(CheckDirectReportTest, UpnpRouterMapsEveryPort) {
    upnp_router();
    EXPECT_EQ(report(), 0);
    EXPECT_EQ(text,
              "Velmora direct path check\n"
              "  discover: OK via upnp, router WAN 100.128.0.2\n"
              "  cgnat_verdict: public (a mapping is reachable)\n"
              "  video: OK UDP 48002 -> 100.128.0.2:48002 via upnp\n"
              "  input: OK UDP 48000 -> 100.128.0.2:48000 via upnp\n"
              "  audio: OK UDP 48003 -> 100.128.0.2:48003 via upnp\n"
              "  result: direct video path available (STUN not needed)\n"
              "  input: direct (external port == internal)\n");
    EXPECT_EQ(steps->deletes.size(), 3u);
    expect_nothing_left();
}

// Only video decides the exit code; an input on another external port is reported, not used.
TEST_F(CheckDirectReportTest, InputOnAnotherExternalPort) {
    natpmp_router([](std::uint16_t port) -> std::uint16_t { return port == 48000 ? 51000 : port; });
    EXPECT_EQ(report(), 0);
    EXPECT_EQ(text,
              "Velmora direct path check\n"
              "  discover: OK via natpmp, router WAN 100.128.0.2\n"
              "  cgnat_verdict: public (a mapping is reachable)\n"
              "  video: OK UDP 48002 -> 100.128.0.2:48002 via natpmp\n"
              "  input: OK UDP 48000 -> 100.128.0.2:51000 via natpmp (external != internal; the "
              "launcher dials 48000, so input stays on the relay)\n"
              "  audio: OK UDP 48003 -> 100.128.0.2:48003 via natpmp\n"
              "  result: direct video path available (STUN not needed)\n"
              "  input: relay/TURN (not reachable on the internal port)\n");
    EXPECT_EQ(steps->natpmp_deletes, (std::vector<std::uint16_t>{48002, 48000, 48003}));
    expect_nothing_left();
}

// The verdicts of a failed discovery: each failed port on its own line, exit code 1.
TEST_F(CheckDirectReportTest, RoutersThatCannotHelp) {
    const std::string cgnat =
        "router WAN address 100.64.12.34 is cgnat (CGNAT/upstream NAT) - a port mapping cannot "
        "make it reachable";
    const std::string loopback =
        "router WAN address 127.0.0.9 is loopback (not globally routable) - a port mapping "
        "cannot make it reachable";
    struct Case {
        const char* wan;  // nullptr: no router answers at all
        std::string discover;
        const char* verdict;
        std::string video, input;  // each port's failure text
    };
    const std::string nothing = "UPnP: not discovered; NAT-PMP: unavailable at discovery; ";
    const Case cases[] = {
        {"100.64.12.34", cgnat, "cgnat/private - a mapping cannot help", cgnat, cgnat},
        {"127.0.0.9", loopback, "router WAN is not globally routable", loopback, loopback},
        {nullptr,
         "UPnP: no SSDP response from an InternetGatewayDevice; NAT-PMP: no response from "
         "gateway; ",
         "unknown (no IGD/NAT-PMP/PCP router answered)",
         nothing + "PCP map: no response from gateway; ", nothing + "PCP: not attempted; "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verdict);
        destroy();
        steps->igd = c.wan != nullptr ? test::gateway_igd(c.wan) : IgdInfo{};
        EXPECT_EQ(report(), 1);
        EXPECT_EQ(text,
                  "Velmora direct path check\n"
                  "  discover: FAILED - " +
                      c.discover +
                      "\n"
                      "  cgnat_verdict: " +
                      c.verdict +
                      "\n"
                      "  video: FAILED UDP 48002 - " +
                      c.video +
                      "\n"
                      "  input: FAILED UDP 48000 - " +
                      c.input +
                      "\n"
                      "  audio: FAILED UDP 48003 - " +
                      c.input +
                      "\n"
                      "  result: direct path unavailable - STUN/TURN fallback\n"
                      "  input: relay/TURN (not reachable on the internal port)\n");
    }
    EXPECT_TRUE(steps->adds.empty());
}

TEST_F(CheckDirectReportTest, AudioPortPastTheRange) {
    upnp_router();
    EXPECT_EQ(report(65531), 0);
    EXPECT_NE(text.find("  video: OK UDP 65535 -> 100.128.0.2:65535 via upnp\n"
                        "  input: OK UDP 65533 -> 100.128.0.2:65533 via upnp\n"
                        "  audio: port 65536 out of range\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(steps->adds.size(), 2u);
    EXPECT_EQ(steps->deletes.size(), 2u);
    expect_nothing_left(65531);
}

// A router's own words reach the report defused: a SOAP fault written to retitle the terminal,
// clear the screen and forge a result line stays inside the discovery line, defused.
TEST(CheckDirectReportRouterText, AFaultCannotSteerTheTerminal) {
    test::FakeGateway::Options options;
    options.natpmp = options.pcp = false;
    options.wan_fault = "&#27;]0;OWNED&#7;&#27;[2J&#10;  result: direct video path available";
    // A dead gateway answers first: with both tried the search ends without waiting out its time.
    options.lan_noise.push_back(test::igd_answer("http://127.0.0.2:1/desc.xml"));
    test::FakeGateway gateway(options);
    DirectPortMapperOptions quick;
    quick.ssdp_wait_ms = 10'000;  // only a bound: the two failures end the search
    quick.gateway_timeout_ms = 50;
    quick.attempts = 1;
    DirectPortMapper mapper(quick, network_port_mapper_steps(gateway.scope()), util::steady_now_us);
    std::string text;
    EXPECT_EQ(check_direct_report(47998, mapper, [&](std::string_view line) { text += line; }), 1);
    EXPECT_NE(text.find("  discover: FAILED - UPnP: GetExternalIPAddress: UPnP error 501 "
                        "(?]0;OWNED??[2J\\n  result: direct video path available); NAT-PMP: "),
              std::string::npos)
        << text;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(c == '\n' || (byte >= 0x20 && byte != 0x7F)) << static_cast<int>(byte);
    }
    EXPECT_EQ(text.find("\n  result: direct video"), std::string::npos) << text;
}

}  // namespace
}  // namespace vx::network
