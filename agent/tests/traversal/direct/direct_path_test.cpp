#include "traversal/direct/direct_path.hpp"

#include "support/scoped_env.hpp"
#include "traversal/direct/direct_fixture.hpp"
#include "traversal/direct/media_ports.hpp"

namespace vx::network {
namespace {

using test::exact;

class DirectPathTest : public test::DirectPathFixture {
  protected:
    void setup(const DirectPathContext& c, std::string_view phase = "after-handshake") {
        setup_direct_path(c, result, phase);
    }
    DirectPathResult result;
};

TEST_F(DirectPathTest, RouterMappingIsPublishedAndStunIsNeverAsked) {
    upnp_router();
    const auto c = context();
    setup(c);
    ASSERT_EQ(sent.size(), 1u);
    expect_sent(0, "100.128.0.2", 48002, exact(48002));
    EXPECT_TRUE(result.published && result.video_mapped && result.input_mapped &&
                result.audio_mapped);
    EXPECT_EQ(result.via, "upnp");
    EXPECT_EQ(logs.count("Direct path (after-handshake): published srflx 100.128.0.2:48002 via "
                         "upnp - STUN was not queried"),
              1);
    EXPECT_EQ(logs.count("Direct path: mapped video=yes input=yes audio=yes"), 1);

    const int calls = steps->total_calls();
    setup(c, "post-ready");
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(steps->total_calls(), calls);  // the router is asked once per session
    EXPECT_EQ(logs.count("Direct path (post-ready): candidate already published via upnp"), 1);
    EXPECT_TRUE(video.asked.empty());
}

TEST_F(DirectPathTest, ForcedCandidateGoesOutAtEveryCallAndNothingElseIsAsked) {
    config.force_direct = "198.51.100.7";
    observed.address = "8.8.8.8";  // not consulted either
    const auto c = context();
    setup(c);
    setup(c, "post-ready");
    ASSERT_EQ(sent.size(), 2u);
    expect_sent(0, "198.51.100.7", 48002, exact(48002));
    expect_sent(1, "198.51.100.7", 48002, exact(48002));
    EXPECT_EQ(result.via, "forced-direct (TEST ONLY)");
    EXPECT_EQ(steps->total_calls(), 0);
    EXPECT_TRUE(video.asked.empty());
    EXPECT_FALSE(release_on_wan_mismatch(c, result));

    config.port_base = 65532;  // video would be 65536
    sent.clear();
    DirectPathResult out_of_range;
    setup_direct_path(context(), out_of_range, "after-handshake");
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(logs.count("TEST ONLY --force-direct: video port 65536 is out of range"), 1);
}

// A forced address is announced as it stands, whatever its class (a test tailnet hands out
// carrier-grade addresses), but text that is no IPv4 address would reach the launcher as its
// host: none is sent, and neither the router nor STUN stands in for it.
TEST_F(DirectPathTest, AForcedTextThatIsNoIPv4AddressIsNotSent) {
    upnp_router();
    video.endpoint = {{"100.128.0.2", 40000}};
    for (const char* forced : {"198.51.100.7:48002", "tailnet-host", "198.51.100", "198.51.100.7 ",
                               "198.51.100.256", "::1"}) {
        SCOPED_TRACE(forced);
        config.force_direct = forced;
        DirectPathResult r;
        setup_direct_path(context(), r, "after-handshake");
        EXPECT_TRUE(sent.empty());
        EXPECT_FALSE(r.published);
        EXPECT_EQ(logs.count(std::string("TEST ONLY --force-direct: '") + forced +
                             "' is not an IPv4 address - nothing published"),
                  1);
    }
    EXPECT_EQ(steps->total_calls(), 0);
    EXPECT_TRUE(video.asked.empty());

    config.force_direct = "100.101.102.103";
    setup(context());
    expect_sent(0, "100.101.102.103", 48002, exact(48002));
}

TEST_F(DirectPathTest, NothingHappensWithoutABackendOrASession) {
    upnp_router();
    video.endpoint = {{"100.128.0.2", 48002}};
    auto no_backend = context();
    no_backend.send = nullptr;
    setup(no_backend);
    auto no_session = context();
    no_session.session_id.clear();
    setup(no_session);
    EXPECT_EQ(steps->total_calls(), 0);
    EXPECT_TRUE(video.asked.empty());
    EXPECT_FALSE(result.attempted);
}

TEST_F(DirectPathTest, InputOnAnotherExternalPortIsReleasedAtOnce) {
    natpmp_router([](std::uint16_t port) -> std::uint16_t { return port == 48000 ? 48010 : port; });
    setup(context());
    EXPECT_TRUE(result.video_mapped);
    EXPECT_FALSE(result.input_mapped);
    EXPECT_TRUE(result.audio_mapped);
    EXPECT_EQ(steps->natpmp_deletes, std::vector<std::uint16_t>{48000});
    EXPECT_FALSE(mapper().mapping(48000));
    EXPECT_EQ(logs.count("Direct path: input UDP 48000 was mapped to external 48010 - the "
                         "launcher always dials the internal port, so input stays on the "
                         "relay/TURN path"),
              1);
    EXPECT_EQ(logs.count("Direct path: mapped video=yes input=no audio=yes"), 1);
    expect_sent(0, "100.128.0.2", 48002, exact(48002));
}

TEST_F(DirectPathTest, InputOnAnotherHostThanVideoIsReleased) {
    steps->pcp_grants([](std::uint16_t port) {
        return std::pair{port == 48000 ? "100.128.0.3" : "100.128.0.2", port};
    });
    setup(context());
    EXPECT_TRUE(result.video_mapped && result.audio_mapped);
    EXPECT_FALSE(result.input_mapped);
    EXPECT_EQ(steps->pcp_deletes, std::vector<std::uint16_t>{48000});
    EXPECT_EQ(logs.count("Direct path: input mapped to 100.128.0.3 but video to 100.128.0.2 - the "
                         "launcher only learns one host; releasing the input mapping and keeping "
                         "input on the relay"),
              1);
    EXPECT_EQ(result.via, "pcp");
}

// Port bases at the top of the range: a sum past 65535 is no port, and the guard's wrapped port
// releases nothing.
TEST_F(DirectPathTest, PortBasesAtTheTopOfTheRange) {
    struct Case {
        std::uint16_t base;
        std::vector<std::uint16_t> mapped;  // in mapping order
        const char* skipped;                // log line, or nullptr
    };
    const Case cases[] = {
        {65530, {65534, 65532, 65535}, nullptr},
        {65531,
         {65535, 65533},
         "Direct path: audio port 65536 is outside the UDP range - not mapped"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.base);
        auto script = std::make_shared<test::ScriptedSteps>();
        script->igd = test::gateway_igd("100.128.0.2");
        DirectPortMapper mapper(DirectPortMapperOptions{}, script, clock.fn());
        config.port_base = k.base;
        auto c = context();
        c.mapper = &mapper;
        DirectPathResult r;
        {
            PortMappingGuard guard(&mapper, k.base);
            setup_direct_path(c, r, "after-handshake");
            std::vector<std::uint16_t> added;
            for (const auto& add : script->adds)
                added.push_back(add.external_port);
            EXPECT_EQ(added, k.mapped);
            if (k.skipped != nullptr) {
                EXPECT_EQ(logs.count(k.skipped), 1);
            }
        }
        EXPECT_EQ(script->deletes.size(), k.mapped.size());  // the guard released each, once
        for (std::uint16_t port : k.mapped)
            EXPECT_FALSE(mapper.mapping(port)) << port;
    }
}

TEST_F(DirectPathTest, ObservedAddressOtherThanTheWanReleasesAndFallsBackToStun) {
    upnp_router();
    observed.address = "100.128.0.99";
    video.endpoint = {{"100.128.0.2", 48002}};
    setup(context());
    EXPECT_TRUE(result.wan_mismatch);
    EXPECT_FALSE(result.video_mapped || result.input_mapped || result.audio_mapped);
    EXPECT_EQ(steps->deletes.size(), 3u);
    EXPECT_EQ(logs.count("Direct path: router WAN 100.128.0.2 != backend observed 100.128.0.99 - "
                         "upstream NAT/CGNAT; releasing router mappings and falling back to STUN "
                         "srflx"),
              1);
    ASSERT_EQ(sent.size(), 2u);
    expect_sent(0, "100.128.0.2", 48002, std::nullopt);
    expect_sent(1, "100.128.0.2", 48002, exact(48002));
    EXPECT_EQ(result.via, "stun");
    EXPECT_EQ(video.arms, 1);
    EXPECT_EQ(logs.count("STUN: Wave1 profile eim published for 100.128.0.2:48002"), 1);
}

TEST_F(DirectPathTest, StunIsAskedAgainAfterTheKeysWhenTheFirstCallFoundNothing) {
    const auto c = context();  // no router answers
    setup(c);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(logs.count("Direct path (after-handshake): no router mapping for the video socket - "
                         "using STUN"),
              1);
    EXPECT_EQ(logs.count("STUN: no public endpoint discovered (after-handshake)"), 1);
    const int calls = steps->total_calls();

    video.endpoint = {{"100.128.0.2", 40000}};
    setup(c, "post-ready");
    EXPECT_EQ(steps->total_calls(), calls);
    EXPECT_EQ(video.asked.size(), 2u);
    expect_sent(0, "100.128.0.2", 40000, std::nullopt);
    EXPECT_EQ(logs.count("STUN: media endpoint is 100.128.0.2:40000"), 1);
    EXPECT_TRUE(result.published);
}

// A STUN server that names an address no launcher can reach (private, carrier-grade, loopback,
// unspecified) or port 0 gives no candidate: nothing is published, no profile is measured, and
// the next call asks again.
TEST_F(DirectPathTest, AStunAnswerThatIsNoPublicEndpointIsNotPublished) {
    const std::pair<std::string, std::uint16_t> answers[] = {
        {"192.168.1.20", 48002}, {"100.64.0.9", 48002}, {"127.0.0.1", 48002},
        {"0.0.0.0", 48002},      {"100.128.0.2", 0},
    };
    for (const auto& [address, port] : answers) {
        const std::string endpoint = address + ":" + std::to_string(port);
        SCOPED_TRACE(endpoint);
        video.endpoint = {{address, port}};
        DirectPathResult r;
        setup_direct_path(context(), r, "after-handshake");
        EXPECT_TRUE(sent.empty());
        EXPECT_FALSE(r.published);
        EXPECT_EQ(logs.count("STUN: the server named " + endpoint +
                             ", which is no public endpoint - nothing published (after-handshake)"),
                  1);
    }
    EXPECT_EQ(video.arms, 0);
    EXPECT_TRUE(video.secondaries.empty());

    video.endpoint = {{"100.128.0.2", 40000}};
    setup(context(), "post-ready");
    expect_sent(0, "100.128.0.2", 40000, std::nullopt);
}

TEST_F(DirectPathTest, AProfileOfUnknownKindIsNotPublished) {
    video.endpoint = {{"100.128.0.2", 40000}};
    video.measured = {0, 1, 0, 0, 0, 2};
    setup(context());
    ASSERT_EQ(sent.size(), 1u);
    expect_sent(0, "100.128.0.2", 40000, std::nullopt);

    sent.clear();
    DirectPathResult sequential;
    video.measured = {3, 4, 0, 0, 0, 2};  // pdm-seq, delta 4
    setup_direct_path(context(), sequential, "after-handshake");
    ASSERT_EQ(sent.size(), 2u);
    expect_sent(1, "100.128.0.2", 40000, natwave::Profile{3, 4, 40000, 40000, 40000, 2});
}

TEST_F(DirectPathTest, TheProfileAsksTheSecondaryServersOtherThanThePrimary) {
    const vx::test::ScopedEnv secondaries("VX_STUN_SECONDARY",
                                          "127.0.0.2:3478,127.0.0.3:3478,127.0.0.4:3478");
    config.stun = "127.0.0.3";
    video.endpoint = {{"100.128.0.2", 40000}};
    setup(context());
    ASSERT_EQ(video.asked.size(), 1u);
    EXPECT_EQ(video.asked[0].host, "127.0.0.3");
    EXPECT_EQ(video.asked[0].port, 3478);
    ASSERT_EQ(video.secondaries.size(), 1u);
    ASSERT_EQ(video.secondaries[0].size(), 2u);
    EXPECT_EQ(video.secondaries[0][0].host, "127.0.0.2");
    EXPECT_EQ(video.secondaries[0][1].host, "127.0.0.4");
}

TEST_F(DirectPathTest, AnObservedAddressArrivingLaterReleasesTheRouterMappings) {
    upnp_router();
    const auto c = context();
    setup(c);
    observed.address = "100.128.0.99";
    setup(c, "post-ready");
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_TRUE(release_on_wan_mismatch(c, result));
    EXPECT_EQ(steps->deletes.size(), 3u);
    EXPECT_TRUE(result.wan_mismatch);
    EXPECT_EQ(logs.count("Direct path: router WAN 100.128.0.2 != backend observed 100.128.0.99 - "
                         "suppressing the router address and releasing the mappings (the relay "
                         "carries this session)"),
              1);
    EXPECT_FALSE(release_on_wan_mismatch(c, result));  // once
}

TEST_F(DirectPathTest, AMatchingObservedAddressKeepsTheMappings) {
    upnp_router();
    observed.address = "100.128.0.2";
    const auto c = context();
    setup(c);
    EXPECT_FALSE(release_on_wan_mismatch(c, result));
    EXPECT_TRUE(steps->deletes.empty());
    EXPECT_EQ(result.via, "upnp");
}

TEST_F(DirectPathTest, LeaseFollowsTheSessionsMaximumDuration) {
    config.max_duration_sec = 120;
    EXPECT_EQ(media_lease_s(config), 120u);
    config.max_duration_sec = 7200;
    EXPECT_EQ(media_lease_s(config), 600u);
    config.max_duration_sec = 0;
    EXPECT_EQ(media_lease_s(config), 600u);
    config.max_duration_sec = 120;
    natpmp_router();
    setup(context());
    EXPECT_EQ(steps->natpmp_lifetimes, (std::vector<std::uint32_t>{120, 120, 120}));
}

TEST_F(DirectPathTest, RouterWanFromStartUpDiscovery) {
    upnp_router();
    EXPECT_EQ(discover_router_wan(mapper()).address, "100.128.0.2");
    EXPECT_EQ(logs.count("Direct path: router WAN address is 100.128.0.2 (via upnp)"), 1);
    steps->igd = test::gateway_igd("100.64.12.34");
    const RouterWan cgnat = discover_router_wan(mapper());
    EXPECT_EQ(cgnat.address, "");
    EXPECT_NE(cgnat.error.find("CGNAT"), std::string::npos);
    EXPECT_EQ(logs.count("Direct path: no automatic port mapping available: router WAN address "
                         "100.64.12.34 is cgnat (CGNAT/upstream NAT) - a port mapping cannot make "
                         "it reachable"),
              1);
}

}  // namespace
}  // namespace vx::network
