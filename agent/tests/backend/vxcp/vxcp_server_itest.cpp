// The control channel against the independent Python VXCP/1 server over loopback, optionally
// through the impairing UDP proxy.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "backend/udp_control_channel.hpp"
#include "peer_process.hpp"

namespace vx::test {
namespace {

using namespace vx::network;
using nlohmann::json;

constexpr const char* kServerId = "00000000-0000-4000-8000-000000000001";
constexpr const char* kAgentToken = "itest-agent-token";

struct Peers {
    explicit Peers(const std::string& script, std::vector<std::string> server_args = {},
                   std::vector<std::string> proxy_args = {}, bool with_proxy = true)
        : script_file(write_script(script)),
          server("vxcp_server.py", with_script(server_args, script_file)) {
        if (with_proxy) {
            proxy_args.push_back("--target");
            proxy_args.push_back("127.0.0.1:" + std::to_string(server.port()));
            proxy = std::make_unique<PeerProcess>("udp_proxy.py", proxy_args);
        }
    }

    std::uint16_t agent_port() const { return proxy ? proxy->port() : server.port(); }

    json stats() const { return json::parse(server.control(R"({"stats": true})")); }

    static std::string write_script(const std::string& script) {
        char tmpl[] = "/tmp/vx-vxcp-script-XXXXXX";
        const int fd = ::mkstemp(tmpl);
        const std::string text = R"({"connections": {"*": )" + script + "}}";
        EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
        return tmpl;
    }
    static std::vector<std::string> with_script(std::vector<std::string> args,
                                                const std::string& file) {
        args.insert(args.end(),
                    {"--script", file, "--server-id", kServerId, "--agent-token", kAgentToken});
        return args;
    }
    ~Peers() { std::filesystem::remove(script_file); }

    std::string script_file;
    PeerProcess server;
    std::unique_ptr<PeerProcess> proxy;
};

UdpControlChannelConfig config_for(std::uint16_t port) {
    UdpControlChannelConfig c;
    c.host = "127.0.0.1";
    c.port = port;
    c.token = kServerId;
    c.secret = kAgentToken;
    return c;
}

// Answers every ping with its pong, the way the dispatcher does, until `done` or the bound.
template <typename Done>
std::vector<std::int64_t> serve(UdpControlChannel& ch, Done done, int max_ticks = 3000) {
    std::vector<std::int64_t> pings;
    for (int i = 0; i < max_ticks && ch.alive() && !done(pings); ++i) {
        std::vector<std::string> got;
        ch.tick(20, got);
        for (const auto& text : got) {
            const auto m = json::parse(text, nullptr, false);
            if (m.is_object() && m.value("type", "") == "ping") {
                const auto ts = m["ts"].get<std::int64_t>();
                pings.push_back(ts);
                const std::string pong = R"({"type":"pong","ts":)" + std::to_string(ts) + "}";
                EXPECT_TRUE(ch.queue_message(as_bytes(pong)));
            }
        }
        ch.send();
    }
    return pings;
}

TEST(VxcpServer, FiveHundredPingsThroughLossJitterAndDuplication) {
    Peers peers(R"([{"wait": "register"}, {"pings": 500, "interval": 0.002}])", {},
                {"--seed", "7", "--loss", "0.2", "--delay-ms", "2", "--jitter-ms", "8",
                 "--duplicate", "0.05", "--reorder", "0.02"});
    UdpControlChannel ch(config_for(peers.agent_port()));
    std::string err;
    // With 20% loss each way a handshake round can fail; the channel repeats HELLO.
    ASSERT_TRUE(ch.connect(err)) << err;
    ASSERT_TRUE(ch.queue_message(as_bytes(R"({"type":"register"})")));
    ch.send();
    const auto pings = serve(ch, [](const auto& p) { return p.size() >= 500; });
    ASSERT_EQ(pings.size(), 500u) << ch.end_reason();
    for (std::size_t i = 0; i < pings.size(); ++i) {
        ASSERT_EQ(pings[i], static_cast<std::int64_t>(i + 1));
    }
    // Let the last pongs arrive, then check what the server saw.
    json st;
    for (int i = 0; i < 500; ++i) {
        serve(
            ch, [](const auto&) { return false; }, 5);
        st = peers.stats();
        if (st["connections"]["1"]["pongs_in_order"] == 500) {
            break;
        }
    }
    EXPECT_EQ(st["connections"]["1"]["pongs_in_order"], 500);
    EXPECT_EQ(st["connections"]["1"]["pongs_out_of_order"], 0);
    EXPECT_TRUE(st["violations"].empty()) << st["violations"].dump();
    EXPECT_GT(ch.stream()->counters().retransmitted, 0u);
    ch.close(1000, "agent stopping");
}

TEST(VxcpServer, RetryResetAndCloseCodes) {
    // The backend's clock runs 90 s ahead: the first HELLO gets a RETRY.
    Peers peers(R"([{"wait": "register"}, {"bad_reset": true}, {"ping": 1},
                    {"wait": "pong"}, {"close": 4009, "reason": "replaced"}])",
                {"--clock-offset-ms", "90000"}, {}, false);
    UdpControlChannel ch(config_for(peers.agent_port()));
    std::string err;
    ASSERT_TRUE(ch.connect(err)) << err;
    EXPECT_TRUE(ch.clock_retried());
    EXPECT_NEAR(static_cast<double>(ch.clock_offset_ms()), 90000.0, 2000.0);
    ASSERT_TRUE(ch.queue_message(as_bytes(R"({"type":"register"})")));
    ch.send();
    serve(ch, [](const auto&) { return false; });
    EXPECT_FALSE(ch.alive());
    EXPECT_EQ(ch.end_reason(), "closed by the backend (4009 replaced)");
    EXPECT_EQ(ch.backend_close_code(), 4009);
    EXPECT_GE(ch.dropped(), 1u);  // the bad RESET

    Peers resetting(R"([{"wait": "register"}, {"reset": true}])", {}, {}, false);
    UdpControlChannel second(config_for(resetting.agent_port()));
    ASSERT_TRUE(second.connect(err)) << err;
    ASSERT_TRUE(second.queue_message(as_bytes(R"({"type":"register"})")));
    second.send();
    serve(second, [](const auto&) { return false; });
    EXPECT_EQ(second.end_reason(), "server reset the connection (backend restarted)");
    EXPECT_FALSE(second.path_failure());
}

TEST(VxcpServer, AgentCloseReachesTheServer) {
    Peers peers(R"([{"wait": "register"}])", {}, {}, false);
    UdpControlChannel ch(config_for(peers.agent_port()));
    std::string err;
    ASSERT_TRUE(ch.connect(err)) << err;
    ASSERT_TRUE(ch.queue_message(as_bytes(std::string(R"({"pad":")") + std::string(30000, 'x') +
                                          R"(","type":"register"})")));
    ch.close(1000, "agent stopping");  // drains the 28 fragments first
    EXPECT_EQ(ch.end_reason(), "closed by the agent (1000)");
    json st;
    for (int i = 0; i < 200; ++i) {
        st = peers.stats();
        if (!st["connections"]["1"]["agent_close"].is_null()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(st["connections"]["1"]["messages"], json::array({"register"}));
    EXPECT_EQ(st["connections"]["1"]["agent_close"], 1000);
    EXPECT_TRUE(st["violations"].empty()) << st["violations"].dump();
}

}  // namespace
}  // namespace vx::test
