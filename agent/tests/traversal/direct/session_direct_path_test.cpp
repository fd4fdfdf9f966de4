#include "traversal/direct/session_direct_path.hpp"

#include "traversal/direct/direct_fixture.hpp"

namespace vx::network {
namespace {

// The driver's side: two calls per session, the renewal started only for mappings that stay,
// and every mapping released when the session ends.
class SessionDirectPathTest : public test::DirectPathFixture {
  protected:
    std::unique_ptr<SessionDirectPath> session() {
        const DirectPathContext c = context();
        auto probe = std::make_unique<test::FakeVideoSocket>();
        probe->endpoint = video.endpoint;
        probe_ = probe.get();
        return std::make_unique<SessionDirectPath>(
            SessionDirectPath::Deps{
                .mapper = c.mapper, .send = c.send, .observed = c.observed, .now = clock.fn()},
            "s-1", config, std::move(probe));
    }
    test::FakeVideoSocket* probe_ = nullptr;
};

TEST_F(SessionDirectPathTest, RouterMappingsAreRenewedDuringTheSessionAndReleasedAfter) {
    upnp_router();
    auto direct = session();
    direct->after_handshake();
    EXPECT_EQ(probe_->arms, 1);  // the launcher's probes are listened for at once
    direct->post_ready();
    EXPECT_TRUE(direct->renewing());
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_TRUE(mapper().mapping(48002));
    direct.reset();
    EXPECT_EQ(steps->deletes.size(), 3u);
    for (std::uint16_t port : {48002, 48000, 48003})
        EXPECT_FALSE(mapper().mapping(port)) << port;
}

TEST_F(SessionDirectPathTest, NoRenewalForMappingsTheBackendContradicts) {
    upnp_router();
    video.endpoint = {{"100.128.0.2", 48002}};
    auto direct = session();
    direct->after_handshake();
    observed.address = "100.128.0.99";
    direct->post_ready();
    EXPECT_FALSE(direct->renewing());
    EXPECT_TRUE(direct->result().wan_mismatch);
    EXPECT_EQ(steps->deletes.size(), 3u);
}

TEST_F(SessionDirectPathTest, NoRenewalWithoutRouterMappings) {
    config.force_direct = "198.51.100.7";
    auto forced = session();
    forced->after_handshake();
    forced->post_ready();
    EXPECT_FALSE(forced->renewing());
    EXPECT_EQ(sent.size(), 2u);

    config.force_direct.clear();
    video.endpoint = {{"100.128.0.2", 40000}};
    auto stun_only = session();
    stun_only->after_handshake();
    stun_only->post_ready();
    EXPECT_FALSE(stun_only->renewing());
    EXPECT_EQ(probe_->arms, 2);  // by the binding's publication and by the driver's re-arm
}

}  // namespace
}  // namespace vx::network
