#include "backend/vxcp/loop/vxcp_control_loop.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "backend/vxcp/fake_vxcp_backend.hpp"
#include "support/log_lines.hpp"

namespace vx::test {
namespace {

// The connector around the loop, for as long as the fake clock is before `until_us`.
struct IdleHooks : VxcpLoopHooks {
    explicit IdleHooks(FakeClock& clock, std::int64_t until_us) : clock(clock), until(until_us) {}
    bool running() const override { return clock.now_us() < until; }
    std::vector<RelayNode> control_relays() const override { return {}; }
    std::map<std::string, std::uint32_t> relay_rtts() const override { return {}; }
    void on_connected(std::shared_ptr<ControlTransport>, const std::string&,
                      std::int64_t) override {
        ++connections;
    }
    void resend_after_reconnect() override {}
    void on_moved_to_relay() override {}
    void on_disconnected() override {}
    std::vector<std::string> take_outgoing() override { return {}; }
    void send_heartbeat() override { ++heartbeats; }
    void send_next_paced_part(std::size_t) override {}
    void on_message(const std::string&) override {}

    FakeClock& clock;
    std::int64_t until;
    int connections = 0;
    int heartbeats = 0;
};

// An idle live connection sleeps until its next timer (the stream's keep-alive every second and
// the acknowledgement it elicits, the heartbeat, the health gate): a couple of waits a second,
// where a fixed 20 ms tick waited 3000 times a minute.
TEST(VxcpControlLoop, AnIdleConnectionWakesOnlyForItsTimers) {
    LogLines log;
    FakeClock clock{5'000'000};
    FakeNetwork net{clock};
    FakeBackend backend{net};
    // The backend acknowledges what it gets at once, so the connection stays healthy.
    net.backend = [&](const Bytes& d) {
        backend.on_agent_datagram(d);
        if (backend.stream) {
            backend.flush();
        }
    };
    SaasConfig config;
    config.control_udp_host = "127.0.0.1";
    config.control_udp_port = 40001;
    config.server_id = std::string(kTestServerId);
    config.agent_token = std::string(kTestAgentToken);
    constexpr std::int64_t kMinuteUs = 60'000'000;
    IdleHooks hooks(clock, clock.now_us() + kMinuteUs);
    VxcpSeams seams = fake_seams(net);
    VxcpControlLoop loop(hooks, config, VxcpLoopTimings{}, seams.steady_us, seams.wall_ms, {},
                         seams);
    const auto pass = loop.run_pass();
    EXPECT_FALSE(pass.use_websocket);
    EXPECT_EQ(hooks.connections, 1);
    EXPECT_EQ(hooks.heartbeats, 11) << "one every 5 s";
    EXPECT_GE(net.waits, 60);
    EXPECT_LE(net.waits, 3 * 60) << "woken more often than its timers ask";
    EXPECT_EQ(log.count("UDP control channel ended (closed by the agent (1000))"), 1);
}

// A message queued just as the channel dies (here: an answer to the message that came with the
// backend's RESET) stays in the queue, where the next reconnect counts it among the stale drops,
// instead of being taken by the dead connection and lost without a line.
TEST(VxcpControlLoop, WhatIsQueuedAsTheChannelDiesStaysQueued) {
    FakeClock clock{5'000'000};
    FakeNetwork net{clock};
    FakeBackend backend{net};
    backend.attach();
    struct Hooks : IdleHooks {
        using IdleHooks::IdleHooks;
        void resend_after_reconnect() override { replay(); }
        std::vector<std::string> take_outgoing() override { return std::exchange(queue, {}); }
        void on_message(const std::string& text) override { queue.push_back("answer to " + text); }
        std::function<void()> replay;
        std::vector<std::string> queue;
    } hooks(clock, clock.now_us() + 60'000'000);
    hooks.replay = [&] {
        backend.stream->queue_message(as_bytes("order"));
        backend.flush();
        net.to_agent.push_back(build_reset(backend.id, backend.welcome.reset_token));
    };
    SaasConfig config;
    config.control_udp_host = "127.0.0.1";
    config.control_udp_port = 40001;
    config.server_id = std::string(kTestServerId);
    config.agent_token = std::string(kTestAgentToken);
    VxcpSeams seams = fake_seams(net);
    VxcpControlLoop loop(hooks, config, VxcpLoopTimings{}, seams.steady_us, seams.wall_ms, {},
                         seams);
    loop.run_pass();
    EXPECT_EQ(hooks.connections, 1);
    EXPECT_EQ(hooks.queue, std::vector<std::string>{"answer to order"});
}

}  // namespace
}  // namespace vx::test
