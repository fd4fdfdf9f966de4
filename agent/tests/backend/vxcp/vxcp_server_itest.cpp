// The control channel against the independent Python VXCP/1 server over loopback, optionally
// through the impairing UDP proxy.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include <nlohmann/json.hpp>

#include "backend/vxcp/udp_control_channel.hpp"
#include "peer_process.hpp"
#include "util/clock.hpp"
#include "vxcp_test_backend.hpp"

namespace vx::test {
namespace {

using namespace vx::network;
using nlohmann::json;

constexpr const char* kServerId = "00000000-0000-4000-8000-000000000001";
constexpr const char* kAgentToken = "itest-agent-token";

struct Peers {
    explicit Peers(const std::string& script, std::vector<std::string> server_args = {},
                   std::vector<std::string> proxy_args = {}, bool with_proxy = true)
        : script_file(script), server("vxcp_server.py", with_script(server_args, script_file)) {
        if (with_proxy) {
            proxy_args.push_back("--target");
            proxy_args.push_back("127.0.0.1:" + std::to_string(server.port()));
            proxy = std::make_unique<PeerProcess>("udp_proxy.py", proxy_args);
        }
    }

    std::uint16_t agent_port() const { return proxy ? proxy->port() : server.port(); }

    json stats() const { return json::parse(server.control(R"({"stats": true})")); }

    static std::vector<std::string> with_script(std::vector<std::string> args,
                                                const ScriptFile& file) {
        args.insert(args.end(), {"--script", file.path(), "--server-id", kServerId, "--agent-token",
                                 kAgentToken});
        return args;
    }

    ScriptFile script_file;
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

// The server's own checks must catch what they are there for, or every test that relies on them
// passes vacuously: an over-long datagram, and one packet number used for two different DATA
// datagrams (an identical copy is fine).
TEST(VxcpServer, ItsChecksCatchAnOversizeDatagramAndAReusedPacketNumber) {
    ASSERT_TRUE(vxcp_sodium_ready());
    Peers peers(R"([])", {}, {}, false);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    timeval tv{0, 100'000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(peers.agent_port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto send_to = [&](const Bytes& d) {
        ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };

    const ConnectionId id{9, 9, 9, 9, 1, 2, 3, 4};
    Key32 secret{};
    secret.fill(0x44);
    const HelloNonce nonce{};
    const Bytes hello =
        vxcp_build_hello(HelloFields{id, kServerId, public_of(secret), nonce,
                                     static_cast<std::uint64_t>(util::wall_now_ms())},
                         vxcp_hello_key(as_bytes(kAgentToken)));
    std::array<std::uint8_t, 2048> buf{};
    ssize_t n = -1;
    for (int i = 0; i < 50 && n != static_cast<ssize_t>(kVxcpWelcomeSize); ++i) {
        send_to(hello);
        n = ::recv(fd, buf.data(), buf.size(), 0);
    }
    ASSERT_EQ(n, static_cast<ssize_t>(kVxcpWelcomeSize));
    const Bytes welcome(buf.begin(), buf.begin() + n);
    const auto keys =
        vxcp_derive_keys(VxcpKeyInputs{as_bytes(kAgentToken), id, secret, public_of(secret),
                                       *vxcp_welcome_public_key(welcome, id), nonce});
    ASSERT_TRUE(keys);

    const Bytes one_ping = vxcp_seal_data(id, 1, keys->c2s, "c2s", Bytes{1});
    send_to(one_ping);
    send_to(one_ping);                                              // a copy: fine
    send_to(vxcp_seal_data(id, 1, keys->c2s, "c2s", Bytes{1, 1}));  // reused number
    send_to(Bytes(kVxcpMaxDatagram, 0));                            // 1200: fine
    send_to(Bytes(kVxcpMaxDatagram + 1, 0));                        // over the limit
    json st;
    for (int i = 0; i < 500 && (st.is_null() || st["violations"].size() < 2); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        st = peers.stats();
    }
    ::close(fd);
    std::vector<std::string> kinds;
    for (const auto& v : st["violations"]) {
        kinds.push_back(v["kind"].get<std::string>());
    }
    std::sort(kinds.begin(), kinds.end());
    EXPECT_EQ(kinds, (std::vector<std::string>{"oversize", "pn_reuse"})) << st.dump();
}

}  // namespace
}  // namespace vx::test
