#include "traversal/stun/stun_binding.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "support/log_lines.hpp"
#include "traversal/stun/nat_profile.hpp"
#include "traversal/turn/scripted_udp_peer.hpp"

namespace vx::network {
namespace {

using test::Bytes;

Bytes mapped_attribute(std::uint16_t type, std::uint8_t family, const Ipv4Bytes& ip,
                       std::uint16_t port) {
    Bytes value = test::xor_address_value(ip, port);
    value[1] = family;
    if (type == kAttrMappedAddress) {
        value = {0,
                 family,
                 static_cast<std::uint8_t>(port >> 8),
                 static_cast<std::uint8_t>(port),
                 ip[0],
                 ip[1],
                 ip[2],
                 ip[3]};
    }
    Bytes attribute;
    append_stun_attribute(attribute, type, value.data(), value.size());
    return attribute;
}

Bytes response(const StunTransactionId& id, std::uint16_t type, const std::vector<Bytes>& attrs) {
    return test::build_stun(type, id, [&](Bytes& out) {
        for (const auto& a : attrs)
            out.insert(out.end(), a.begin(), a.end());
    });
}

// Answers every Binding request with the XOR-mapped source address, plus `port_offset`.
test::ScriptedUdpPeer::Script reflect(int port_offset = 0) {
    return [port_offset](const Bytes& request, const asio::ip::udp::endpoint& from) {
        const auto ip = from.address().to_v4().to_bytes();
        return std::vector<Bytes>{
            response(test::transaction_id_of(request), 0x0101,
                     {mapped_attribute(kAttrXorMappedAddress, 1, {ip[0], ip[1], ip[2], ip[3]},
                                       static_cast<std::uint16_t>(from.port() + port_offset))})};
    };
}

TEST(NatMappingClass, Table) {
    const struct {
        std::uint16_t p1, p2;
        std::uint8_t kind, delta;
    } rows[] = {
        {40000, 40032, 3, 32}, {40032, 40000, 3, 32}, {40000, 40033, 4, 1}, {40000, 42048, 4, 1},
        {40000, 42049, 5, 1},  {40000, 40000, 1, 1},  {40000, 40001, 3, 1}, {42049, 40000, 5, 1},
    };
    for (const auto& r : rows) {
        const auto c = classify_mapping("198.51.100.7", r.p1, "198.51.100.7", r.p2);
        EXPECT_EQ(c.kind, r.kind) << r.p1 << " " << r.p2;
        EXPECT_EQ(c.delta, r.delta) << r.p1 << " " << r.p2;
    }
    EXPECT_EQ(classify_mapping("198.51.100.7", 40000, "198.51.100.8", 40000).kind, 0);
    EXPECT_EQ(classify_mapping("", 40000, "", 40000).kind, 0);
    EXPECT_EQ(classify_mapping("a", 0, "a", 0).kind, 0);
}

TEST(NatSecondaryServers, ListParsingAndEnvironment) {
    const auto list = parse_stun_server_list("127.0.0.2:3478,bad,host:0,stun.example:19302,x:");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].host, "stun.example");
    EXPECT_EQ(list[1].port, 19302);
    const auto defaults = default_secondary_stun_servers();
    ASSERT_EQ(defaults.size(), 3u);
    EXPECT_EQ(defaults[0].port, 3478);
    EXPECT_EQ(defaults[1].port, 19302);
    EXPECT_EQ(defaults[2].port, 19302);
    EXPECT_EQ(without_primary(defaults, defaults[0].host, 3478).size(), 2u);
    ::setenv(kSecondaryStunEnv, "127.0.0.5:1000,127.0.0.6:2000", 1);
    EXPECT_EQ(secondary_stun_servers().size(), 2u);
    ::setenv(kSecondaryStunEnv, "garbage", 1);
    EXPECT_EQ(secondary_stun_servers().size(), 3u);
    ::unsetenv(kSecondaryStunEnv);
}

TEST(StunBindingAnswer, AttributeRules) {
    const StunTransactionId id = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const auto xor_v4 = mapped_attribute(kAttrXorMappedAddress, 1, {203, 0, 113, 5}, 40000);
    const auto xor_v6 = mapped_attribute(kAttrXorMappedAddress, 2, {203, 0, 113, 5}, 40000);
    const auto plain_v4 = mapped_attribute(kAttrMappedAddress, 1, {198, 51, 100, 1}, 1234);
    const auto plain_v6 = mapped_attribute(kAttrMappedAddress, 2, {198, 51, 100, 1}, 1234);

    auto check = [&](const Bytes& b) { return check_binding_answer(b.data(), b.size(), id); };
    EXPECT_EQ(check(response(id, 0x0111, {xor_v4})).verdict, BindingVerdict::not_success);
    EXPECT_EQ(check(response(id, 0x0101, {xor_v6})).verdict, BindingVerdict::no_mapping);
    EXPECT_EQ(check(response(id, 0x0101, {plain_v6})).verdict, BindingVerdict::no_mapping);
    auto a = check(response(id, 0x0101, {plain_v4, xor_v4}));
    EXPECT_EQ(a.verdict, BindingVerdict::accepted);
    EXPECT_EQ(a.address, "198.51.100.1");
    EXPECT_EQ(a.port, 1234);
    a = check(response(id, 0x0101, {xor_v6, xor_v4, plain_v4}));
    EXPECT_EQ(a.address, "203.0.113.5");
    EXPECT_EQ(a.port, 40000);

    StunTransactionId other = id;
    other[11] ^= 1;
    a = check_binding_answer(response(other, 0x0101, {xor_v4}).data(), 32, id);
    EXPECT_EQ(a.verdict, BindingVerdict::unauthenticated);
    EXPECT_TRUE(a.cookie_ok);
    EXPECT_FALSE(a.txid_ok);

    // An attribute running past the datagram drops it, unless a usable mapping came first.
    Bytes broken = response(id, 0x0101, {xor_v4});
    broken.resize(broken.size() - 1);
    EXPECT_EQ(check(broken).verdict, BindingVerdict::no_mapping);
    Bytes first_ok = response(id, 0x0101, {plain_v4, xor_v4});
    first_ok.resize(first_ok.size() - 2);
    EXPECT_EQ(check(first_ok).verdict, BindingVerdict::accepted);
    for (std::size_t n = 0; n < first_ok.size(); ++n) {
        const Bytes prefix(first_ok.begin(), first_ok.begin() + static_cast<std::ptrdiff_t>(n));
        check_binding_answer(prefix.data(), prefix.size(), id);
    }
}

struct Client {
    asio::io_context io;
    asio::ip::udp::socket socket{io,
                                 asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};
};

TEST(StunBindingRequest, ScriptedServerEdgeCases) {
    test::ScriptedUdpPeer stranger(
        [](const Bytes&, const asio::ip::udp::endpoint&) { return std::vector<Bytes>{}; });
    // The stranger answers first with a valid-looking response; then the server sends an error
    // response and only then the real success.
    test::ScriptedUdpPeer server([&](const Bytes& request, const asio::ip::udp::endpoint& from) {
        const auto id = test::transaction_id_of(request);
        stranger.send_to(
            response(id, 0x0101, {mapped_attribute(kAttrXorMappedAddress, 1, {1, 1, 1, 1}, 1111)}),
            from);
        return std::vector<Bytes>{
            response(id, 0x0111, {}),
            response(id, 0x0101,
                     {mapped_attribute(kAttrXorMappedAddress, 1, {203, 0, 113, 9}, 40123)})};
    });
    Client c;
    std::string address = "unchanged";
    std::uint16_t port = 7;
    ASSERT_TRUE(
        stun_binding_request(c.io, c.socket, "127.0.0.1", server.port(), address, port, 2000));
    EXPECT_EQ(address, "203.0.113.9");
    EXPECT_EQ(port, 40123);
    EXPECT_FALSE(c.socket.non_blocking());

    test::ScriptedUdpPeer silent(
        [](const Bytes&, const asio::ip::udp::endpoint&) { return std::vector<Bytes>{}; });
    address = "unchanged";
    EXPECT_FALSE(
        stun_binding_request(c.io, c.socket, "127.0.0.1", silent.port(), address, port, 40));
    EXPECT_EQ(address, "unchanged");
    ASSERT_TRUE(silent.wait_for(1));
    EXPECT_EQ(silent.received().size(), 1u);  // never retransmitted
    EXPECT_EQ(silent.received()[0].bytes.size(), 20u);

    asio::ip::udp::socket closed(c.io);
    EXPECT_FALSE(stun_binding_request(c.io, closed, "127.0.0.1", silent.port(), address, port));
    EXPECT_FALSE(
        stun_binding_request(c.io, c.socket, "no-such-host.invalid", 3478, address, port, 10));
}

// A server (or whoever sends from its address) that floods answers of another transaction costs
// one warning per request, not one per datagram: the log before it is not rotated away.
TEST(StunBindingRequest, FloodOfForeignAnswersLogsOneWarning) {
    constexpr int kFlood = 100;  // what the socket's receive buffer holds on any machine
    test::ScriptedUdpPeer server([&](const Bytes& request, const asio::ip::udp::endpoint& from) {
        StunTransactionId other = test::transaction_id_of(request);
        other[3] ^= 0x5A;
        std::vector<Bytes> replies(kFlood, response(other, 0x0101, {}));
        replies.push_back(reflect()(request, from).front());
        return replies;
    });
    test::LogLines log;
    Client c;
    std::string address;
    std::uint16_t port = 0;
    ASSERT_TRUE(
        stun_binding_request(c.io, c.socket, "127.0.0.1", server.port(), address, port, 5000));
    EXPECT_EQ(log.count("STUN: ignoring unauthenticated binding response"), 1);
    EXPECT_EQ(log.count(" more unauthenticated binding responses from 127.0.0.1:" +
                        std::to_string(server.port())),
              1);
}

// The socket's own asynchronous reader sees every datagram first and hands STUN to the request.
TEST(StunBindingRequest, HandoffFromTheSocketsReader) {
    // Another transaction's STUN message comes first: it stays with the socket's reader.
    const auto answer = reflect(5);
    test::ScriptedUdpPeer server([&](const Bytes& request, const asio::ip::udp::endpoint& from) {
        StunTransactionId other = test::transaction_id_of(request);
        other[0] ^= 0xFF;
        auto replies = answer(request, from);
        replies.insert(replies.begin(), response(other, 0x0101, {}));
        return replies;
    });
    Client c;
    StunResponseHandoff handoff;
    std::atomic<int> other_datagrams{0};
    std::promise<void> other_seen;
    const std::uint16_t local_port = c.socket.local_endpoint().port();
    std::array<std::uint8_t, 1500> buffer{};
    asio::ip::udp::endpoint from;
    std::function<void()> arm = [&] {
        c.socket.async_receive_from(asio::buffer(buffer), from,
                                    [&](std::error_code ec, std::size_t n) {
                                        if (ec)
                                            return;
                                        if (!handoff.offer(buffer.data(), n, from)) {
                                            // The stray answer and the non-STUN datagram.
                                            if (++other_datagrams == 2)
                                                other_seen.set_value();
                                        }
                                        arm();
                                    });
    };
    arm();
    std::thread io_thread([&] { c.io.run(); });
    EXPECT_FALSE(handoff.waiting());
    std::string address;
    std::uint16_t port = 0;
    const bool ok = stun_binding_request(c.io, c.socket, "127.0.0.1", server.port(), address, port,
                                         2000, &handoff);
    // A datagram that is not STUN reaches the reader too.
    server.send_to(Bytes{1, 2, 3, 4}, c.socket.local_endpoint());
    const bool seen =
        other_seen.get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    asio::post(c.io, [&] { c.socket.close(); });
    io_thread.join();
    ASSERT_TRUE(ok);
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, local_port + 5);
    EXPECT_TRUE(seen);
    EXPECT_EQ(other_datagrams.load(), 2);
    EXPECT_FALSE(handoff.waiting());
}

TEST(NatMappingProfile, SecondaryServersOnLoopback) {
    test::ScriptedUdpPeer silent(
        [](const Bytes&, const asio::ip::udp::endpoint&) { return std::vector<Bytes>{}; });
    test::ScriptedUdpPeer b(reflect(0));
    test::ScriptedUdpPeer c(reflect(40));  // a NAT that moved the port by 40 for this server
    asio::io_context io;
    natwave::Profile profile;
    EXPECT_FALSE(probe_mapping_profile(io, "", 5000, {}, profile));
    EXPECT_EQ(profile.delta, 1);
    EXPECT_EQ(profile.conf, 0);

    ASSERT_TRUE(probe_mapping_profile(io, "203.0.113.1", 5000, {{"127.0.0.1", b.port()}}, profile));
    EXPECT_EQ(profile.conf, 1);
    EXPECT_EQ(profile.base, 5000);
    EXPECT_EQ(profile.min_port, 5000);
    EXPECT_EQ(b.received().size(), 0u);

    const std::vector<StunServer> servers = {
        {"127.0.0.1", silent.port()}, {"127.0.0.1", b.port()}, {"127.0.0.1", b.port()}};
    ASSERT_TRUE(probe_mapping_profile(io, "203.0.113.1", 5000, servers, profile, 50));
    EXPECT_EQ(profile.kind, 1);  // eim
    EXPECT_EQ(profile.conf, 2);
    EXPECT_EQ(profile.base, 5000);

    ASSERT_TRUE(probe_mapping_profile(
        io, "203.0.113.1", 5000, {{"127.0.0.1", b.port()}, {"127.0.0.1", c.port()}}, profile, 50));
    EXPECT_EQ(profile.kind, 4);  // pdm-pba: 40 ports apart

    ASSERT_TRUE(probe_mapping_profile(io, "203.0.113.1", 5000,
                                      {{"127.0.0.1", b.port()}, {"127.0.0.1", silent.port()}},
                                      profile, 50));
    EXPECT_EQ(profile.conf, 1);
    EXPECT_EQ(profile.kind, 0);
}

}  // namespace
}  // namespace vx::network
