// The TURN client against a real coturn on loopback.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <gtest/gtest.h>

#include <ctime>

#include "coturn_process.hpp"
#include "scripted_udp_peer.hpp"
#include "support/fake_clock.hpp"
#include "traversal/stun/relay_rtt_probe.hpp"
#include "traversal/turn/turn_client.hpp"
#include "udp_proxy.hpp"

namespace vx::network {
namespace {

using test::Bytes;

class Coturn : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::coturn_available()) {
            GTEST_SKIP() << "coturn is not installed (" << test::kTurnServerBinary << ")";
        }
    }

    // Starts coturn with these extra options and waits until it answers.
    std::unique_ptr<test::CoturnProcess> start(std::vector<std::string> extra = {},
                                               bool long_term = true) {
        test::CoturnProcess::Options options;
        options.extra = std::move(extra);
        options.long_term = long_term;
        auto server = std::make_unique<test::CoturnProcess>(options);
        if (!server->wait_ready()) {
            ADD_FAILURE() << "coturn did not start:\n" << server->log();
            return nullptr;
        }
        return server;
    }

    static TurnConfig config(std::uint16_t port, const std::string& user = "vxuser",
                             const std::string& pass = "vxpass") {
        TurnConfig c;
        c.server = "turn:127.0.0.1:" + std::to_string(port) + "?transport=udp";
        c.username = user;
        c.password = pass;
        c.timeout_ms = 500;
        c.attempts = 3;
        return c;
    }
};

// Waits for one relayed datagram (bounded by the receive timeout).
std::string receive_text(TurnClient& client, std::string& peer, std::uint16_t& port) {
    std::uint8_t buf[1500];
    const auto n = client.receive(buf, sizeof buf, peer, port, 3000);
    return n > 0 ? std::string(buf, buf + n) : std::string();
}

TEST_F(Coturn, AllocatePermissionChannelAndDataBothWays) {
    auto server = start();
    ASSERT_TRUE(server);
    // The echo peer answers every datagram with "echo:" + the datagram.
    test::ScriptedUdpPeer echo([](const Bytes& b, const asio::ip::udp::endpoint&) {
        Bytes reply = {'e', 'c', 'h', 'o', ':'};
        reply.insert(reply.end(), b.begin(), b.end());
        return std::vector<Bytes>{reply};
    });
    TurnClient client;
    std::string err;
    ASSERT_TRUE(client.allocate(config(server->port()), err)) << err;
    EXPECT_EQ(client.relayed_address(), "127.0.0.1");
    EXPECT_NE(client.relayed_port(), 0);
    ASSERT_TRUE(client.create_permission("127.0.0.1", err)) << err;

    // Before a channel exists: Send indication out, Data indication back.
    const std::string first = "via-indication";
    ASSERT_TRUE(client.send("127.0.0.1", echo.port(),
                            reinterpret_cast<const std::uint8_t*>(first.data()), first.size()));
    std::string peer;
    std::uint16_t port = 0;
    EXPECT_EQ(receive_text(client, peer, port), "echo:" + first);
    EXPECT_EQ(peer, "127.0.0.1");
    EXPECT_EQ(port, echo.port());
    ASSERT_TRUE(echo.wait_for(1));
    EXPECT_EQ(echo.received()[0].from.port(), client.relayed_port());

    ASSERT_TRUE(client.bind_channel("127.0.0.1", echo.port(), err)) << err;
    const std::string second = "via-channel";
    ASSERT_TRUE(client.send("127.0.0.1", echo.port(),
                            reinterpret_cast<const std::uint8_t*>(second.data()), second.size()));
    EXPECT_EQ(receive_text(client, peer, port), "echo:" + second);
    EXPECT_EQ(client.bytes_sent(), first.size() + second.size());
    client.close();
    EXPECT_FALSE(client.is_allocated());
}

TEST_F(Coturn, RefreshWithShortLifetime) {
    auto server = start({"--max-allocate-lifetime=70"});
    ASSERT_TRUE(server);
    test::FakeClock clock;
    TurnClient client(TurnTiming{clock.fn(), 250});
    std::string err;
    ASSERT_TRUE(client.allocate(config(server->port()), err)) << err;
    EXPECT_EQ(client.allocation_lifetime(), 70u);
    // Protocol time runs on the fake clock: 11 s later the allocation is within a minute of its
    // end and maintain() refreshes it now instead of after a real wait.
    clock.advance_ms(11'000);
    ASSERT_TRUE(client.maintain(err)) << err;
    EXPECT_EQ(client.allocation_lifetime(), 70u);
    EXPECT_TRUE(client.is_allocated());
}

TEST_F(Coturn, WrongPasswordIsRejected) {
    auto server = start();
    ASSERT_TRUE(server);
    TurnClient client;
    std::string err;
    EXPECT_FALSE(client.allocate(config(server->port(), "vxuser", "not-the-password"), err));
    EXPECT_EQ(err,
              "TURN: authentication rejected (401 Unauthorized); check the TURN "
              "username/password/realm");
    EXPECT_FALSE(client.is_allocated());
}

TEST_F(Coturn, StaleNonceIsAnsweredWithTheNewNonce) {
    auto server = start({"--stale-nonce=1"});
    ASSERT_TRUE(server);
    test::UdpProxy proxy(
        asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), server->port()), nullptr);
    TurnClient client;
    std::string err;
    ASSERT_TRUE(client.allocate(config(proxy.port()), err)) << err;
    // The server's nonce lives one second; wait until it is stale (server time cannot be faked).
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    ASSERT_TRUE(client.create_permission("127.0.0.1", err)) << err;
    int stale = 0;
    for (const auto& d : proxy.from_server()) {
        StunMessage m;
        if (parse_stun_message(d.data(), d.size(), m) && m.message_class() == kStunError &&
            read_error_code(m).code == 438) {
            ++stale;
        }
    }
    EXPECT_GE(stale, 1);
}

std::string rest_password(const std::string& secret, const std::string& user) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(user.data()), user.size(), mac, &length);
    unsigned char text[64];
    const int n = EVP_EncodeBlock(text, mac, static_cast<int>(length));
    return std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(n));
}

TEST_F(Coturn, RestApiCredentials) {
    auto server = start({"--use-auth-secret", "--static-auth-secret=vx-secret"}, false);
    ASSERT_TRUE(server);
    const std::string user = std::to_string(std::time(nullptr) + 600) + ":session-1";
    TurnClient client;
    std::string err;
    ASSERT_TRUE(
        client.allocate(config(server->port(), user, rest_password("vx-secret", user)), err))
        << err;
    TurnClient wrong;
    EXPECT_FALSE(wrong.allocate(config(server->port(), user, rest_password("other", user)), err));
}

TEST_F(Coturn, RetriedAllocateKeepsItsTransactionId) {
    auto server = start();
    ASSERT_TRUE(server);
    // Lose the first Allocate success: the client's retransmission must get the server's cached
    // answer (a new transaction id would get 437 Allocation Mismatch).
    std::atomic<int> dropped{0};
    test::UdpProxy proxy(
        asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), server->port()),
        [&](const Bytes& d) {
            StunMessage m;
            if (parse_stun_message(d.data(), d.size(), m) && m.type == 0x0103 && dropped == 0) {
                ++dropped;
                return true;
            }
            return false;
        });
    TurnClient client;
    std::string err;
    TurnConfig c = config(proxy.port());
    c.timeout_ms = 300;
    ASSERT_TRUE(client.allocate(c, err)) << err;
    EXPECT_EQ(dropped.load(), 1);
    std::vector<Bytes> allocates;
    for (const auto& d : proxy.to_server()) {
        StunMessage m;
        if (parse_stun_message(d.data(), d.size(), m) && m.type == 0x0003 &&
            m.find(kAttrMessageIntegrity) != nullptr) {
            allocates.push_back(d);
        }
    }
    ASSERT_EQ(allocates.size(), 2u);
    EXPECT_EQ(allocates[0], allocates[1]);
}

TEST_F(Coturn, RelayProbeMeasuresLiveNodeAndSkipsSilentOne) {
    auto server = start();
    ASSERT_TRUE(server);
    const auto rtt = stun_binding_probe("127.0.0.1", server->port(), kRelayProbeTimeout);
    ASSERT_TRUE(rtt.has_value());
    EXPECT_GE(*rtt, 0);
    test::ScriptedUdpPeer silent(
        [](const Bytes&, const asio::ip::udp::endpoint&) { return std::vector<Bytes>{}; });
    EXPECT_FALSE(stun_binding_probe("127.0.0.1", silent.port(), kRelayProbeTimeout).has_value());
}

}  // namespace
}  // namespace vx::network
