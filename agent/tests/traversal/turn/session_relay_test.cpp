#include "traversal/turn/session_relay.hpp"

#include <gtest/gtest.h>

#include <future>

#include "fake_turn_server.hpp"
#include "support/fake_clock.hpp"
#include "traversal/turn/turn_credentials.hpp"

namespace vx::network {
namespace {

using test::Bytes;

std::vector<StunMessage> parsed(const std::vector<test::Received>& got,
                                std::vector<Bytes>& storage) {
    storage.clear();
    for (const auto& r : got)
        storage.push_back(r.bytes);
    std::vector<StunMessage> out;
    for (const auto& b : storage) {
        StunMessage m;
        if (parse_stun_message(b.data(), b.size(), m))
            out.push_back(m);
    }
    return out;
}

TEST(SessionRelay, AllocatesPermitsPollsAndReleases) {
    test::FakeTurnLogic logic;
    logic.set([](test::FakeTurnLogic& l) { l.granted_lifetime = 70; });
    test::ScriptedUdpPeer server(
        [&](const Bytes& b, const asio::ip::udp::endpoint&) { return logic.handle(b); });
    test::FakeClock clock;
    SessionRelay relay(TurnTiming{clock.fn(), 50});

    std::promise<std::string> delivered;
    SessionRelayOptions options;
    options.credentials_json = build_ice_servers_json(
        "turn:127.0.0.1:" + std::to_string(server.port()), logic.user, logic.pass);
    options.launcher_address = "127.0.0.20";
    options.maintain_interval = std::chrono::milliseconds(0);
    options.on_datagram = [&](const std::string& peer, std::uint16_t port, const std::uint8_t* data,
                              std::size_t size) {
        delivered.set_value(peer + ":" + std::to_string(port) + " " +
                            std::string(data, data + size));
    };
    std::string err;
    ASSERT_TRUE(relay.start(options, err)) << err;
    EXPECT_TRUE(relay.active());
    EXPECT_EQ(relay.relayed_address(), "127.0.0.1");
    EXPECT_EQ(relay.relayed_port(), 50000);

    // The server relays a datagram from the launcher: the poller hands it on.
    const Bytes peer = test::xor_address_value({127, 0, 0, 20}, 6000);
    server.send_to(
        test::build_stun(0x0017, StunTransactionId{},
                         [&](Bytes& out) {
                             append_stun_attribute(out, kAttrXorPeerAddress, peer.data(),
                                                   peer.size());
                             append_stun_attribute(out, kAttrData, "hi");
                         }),
        asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), relay.client().local_port()));
    auto future = delivered.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(future.get(), "127.0.0.20:6000 hi");

    // Within a minute of the end of its 70 s the poller refreshes the allocation.
    clock.advance_ms(15'000);
    ASSERT_TRUE(server.wait_for(4));  // Allocate x2, CreatePermission, Refresh
    relay.stop();
    relay.stop();
    EXPECT_FALSE(relay.active());
    std::vector<Bytes> storage;
    const auto messages = parsed(server.received(), storage);
    ASSERT_GE(messages.size(), 5u);
    EXPECT_EQ(messages[2].method(), kMethodCreatePermission);
    EXPECT_EQ(messages[3].method(), kMethodRefresh);
    std::uint32_t lifetime = 1;
    ASSERT_TRUE(read_u32_attribute(messages.back(), kAttrLifetime, lifetime));
    EXPECT_EQ(lifetime, 0u);  // released at stop
}

TEST(SessionRelay, DefaultUpkeepComesWellInsideThePermissionMargin) {
    // maintain() renews a permission only in the last 30 s of its 300 s; a poller that looks
    // every 30 s or more may find it with no time left, or already gone.
    EXPECT_LE(SessionRelayOptions{}.maintain_interval * 2, std::chrono::seconds(30));
}

TEST(SessionRelay, FailuresLeaveNothingAllocated) {
    SessionRelay relay;
    SessionRelayOptions options;
    std::string err;
    options.credentials_json = "";
    EXPECT_FALSE(relay.start(options, err));
    EXPECT_EQ(err, "TURN: credentials are not valid JSON");
    options.credentials_json = R"({"urls":"turns:h","username":"u","password":"p"})";
    EXPECT_FALSE(relay.start(options, err));
    EXPECT_FALSE(relay.active());

    test::FakeTurnLogic logic;
    test::ScriptedUdpPeer server(
        [&](const Bytes& b, const asio::ip::udp::endpoint&) { return logic.handle(b); });
    options.credentials_json = build_ice_servers_json(
        "turn:127.0.0.1:" + std::to_string(server.port()), logic.user, logic.pass);
    options.launcher_address = "not-an-address";
    EXPECT_FALSE(relay.start(options, err));
    EXPECT_EQ(err, "TURN: create_permission needs an IPv4 peer address (got 'not-an-address')");
    EXPECT_FALSE(relay.client().is_allocated());
    relay.stop();
}

}  // namespace
}  // namespace vx::network
