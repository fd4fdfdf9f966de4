#include <gtest/gtest.h>

#include "driver/session_config.hpp"
#include "driver/setup_failure_reporter.hpp"
#include "support/fake_clock.hpp"

namespace vx {
namespace {

TEST(SessionConfig, ResolutionSplitsAtXOrFallsBack) {
    using R = std::pair<std::uint32_t, std::uint32_t>;
    EXPECT_EQ(parse_resolution("1280x720"), (R{1280, 720}));
    EXPECT_EQ(parse_resolution("3840x2160"), (R{3840, 2160}));
    EXPECT_EQ(parse_resolution("16384x1"), (R{16384, 1}));
    for (const char* bad :
         {"", "x", "1280", "1280x", "x720", "1280X720", "1280x720x5", "0x720", "1280x0",
          "-1280x720", "1280x 720", "16385x100", "99999999999x1", "12a0x720"}) {
        EXPECT_EQ(parse_resolution(bad), (R{1920, 1080})) << bad;
    }
}

TEST(SessionConfig, FpsBitrateAndDurationClamps) {
    EXPECT_EQ(clamp_session_fps(0), 1u);
    EXPECT_EQ(clamp_session_fps(-5), 1u);
    EXPECT_EQ(clamp_session_fps(60), 60u);
    EXPECT_EQ(clamp_session_fps(241), 240u);
    EXPECT_EQ(session_bitrate_bps(0, 30'000'000), 30'000'000u);
    EXPECT_EQ(session_bitrate_bps(-1, 30'000'000), 30'000'000u);
    EXPECT_EQ(session_bitrate_bps(1, 30'000'000), 500'000u);
    EXPECT_EQ(session_bitrate_bps(15000, 30'000'000), 15'000'000u);
    EXPECT_EQ(session_bitrate_bps(2'000'000'000, 30'000'000), 200'000'000u);
    EXPECT_EQ(session_max_duration(0), 0u);
    EXPECT_EQ(session_max_duration(-3600), 0u);  // signed in the order: below 0 is no limit too
    EXPECT_EQ(session_max_duration(3600), 3600u);
}

TEST(SessionConfig, OrderOverlaysTheAgentConfiguration) {
    AgentConfig agent;
    agent.port_base = 50000;
    agent.client_idle_timeout_sec = 7;
    network::PrepareSessionParams order;
    order.session_id = "s-1";
    order.resolution = "1280x720";
    order.max_fps = 500;
    order.bitrate_kbps = 100;
    order.max_duration_sec = -1;
    order.codec = "hevc";
    order.session_token_sha256 = std::string(64, 'a');
    order.encryption_key.assign(32, 7);
    const SessionConfig s = session_config_from_order(agent, order);
    EXPECT_EQ(s.agent.width, 1280u);
    EXPECT_EQ(s.agent.height, 720u);
    EXPECT_EQ(s.agent.fps, 240u);
    EXPECT_EQ(s.agent.bitrate, 500'000u);
    EXPECT_EQ(s.agent.max_duration_sec, 0u);
    EXPECT_EQ(s.agent.port_base, 50000);
    EXPECT_EQ(s.agent.client_idle_timeout_sec, 7u);
    EXPECT_EQ(s.session_id, "s-1");
    EXPECT_EQ(s.token_sha256, order.session_token_sha256);
    EXPECT_EQ(s.encryption_key.size(), 32u);
    EXPECT_TRUE(s.from_backend);
    EXPECT_EQ(codec_display_name(s.agent.codec), "HEVC");
    EXPECT_EQ(codec_display_name("h264"), "H.264");
}

TEST(SessionConfig, StandaloneHasNoTokenHashAndACappedBitrate) {
    AgentConfig agent;
    agent.bitrate = 900'000'000;
    agent.fps = 1000;
    const SessionConfig s = standalone_session_config(agent);
    EXPECT_TRUE(s.token_sha256.empty());
    EXPECT_TRUE(s.encryption_key.empty());
    EXPECT_FALSE(s.from_backend);
    EXPECT_EQ(s.agent.bitrate, 200'000'000u);
    EXPECT_EQ(s.agent.fps, 240u);
    EXPECT_EQ(s.agent.max_duration_sec, 0u);
}

TEST(SetupFailureReporter, OncePerMinuteAndOncePerSession) {
    test::FakeClock clock;
    SetupFailureReporter reporter(clock.fn());
    std::string reason;
    EXPECT_FALSE(reporter.report("", SessionFailure::handshake_failed, "x", reason));
    EXPECT_TRUE(
        reporter.report("a", SessionFailure::handshake_failed, "refused (AUTH_REJECTED)", reason));
    EXPECT_EQ(reason, "handshake_failed: refused (AUTH_REJECTED)");
    clock.advance_ms(59'999);
    EXPECT_FALSE(reporter.report("b", SessionFailure::video_socket_failed, "", reason));
    EXPECT_EQ(reason, "video_socket_failed");
    clock.advance_ms(1);
    EXPECT_FALSE(reporter.report("a", SessionFailure::session_setup_failed, "",
                                 reason));  // id already reported
    EXPECT_EQ(reason, "session_setup_failed");
    EXPECT_TRUE(reporter.report("b", SessionFailure::video_socket_failed, "", reason));
}

}  // namespace
}  // namespace vx
