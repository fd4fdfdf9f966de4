#include "traversal/stun/relay_rtt_probe.hpp"

#include <gtest/gtest.h>

#include "traversal/turn/scripted_udp_peer.hpp"

namespace vx::network {
namespace {

using test::Bytes;

Bytes success(const StunTransactionId& id, bool with_mapping = true) {
    return test::build_stun(0x0101, id, [&](Bytes& out) {
        if (with_mapping) {
            const Bytes v = test::xor_address_value({192, 0, 2, 1}, 32853);
            out.push_back(0x00);
            out.push_back(0x20);
            out.push_back(0x00);
            out.push_back(0x08);
            out.insert(out.end(), v.begin(), v.end());
        }
    });
}

TEST(RelayRttProbe, RoundingAndHeaderCodes) {
    EXPECT_EQ(round_to_ms(1499), 1);
    EXPECT_EQ(round_to_ms(1500), 2);
    EXPECT_EQ(round_to_ms(0), 0);
    EXPECT_EQ(round_to_ms(-5), 0);

    const ProbeTransactionId id = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    Bytes ok = success(id);
    StunHeader header;
    EXPECT_EQ(parse_stun_header(ok.data(), 19, id, header), 1u);
    EXPECT_EQ(parse_stun_header(ok.data(), ok.size(), id, header), 0u);
    EXPECT_EQ(header.message_class, 2);
    EXPECT_EQ(header.method, 1);
    Bytes bad = ok;
    bad[0] = 0x40;
    EXPECT_EQ(parse_stun_header(bad.data(), bad.size(), id, header), 2u);
    bad = ok;
    bad[4] = 0;
    EXPECT_EQ(parse_stun_header(bad.data(), bad.size(), id, header), 3u);
    bad = ok;
    bad[3] = 6;
    EXPECT_EQ(parse_stun_header(bad.data(), bad.size(), id, header), 4u);
    EXPECT_EQ(parse_stun_header(ok.data(), ok.size() - 4, id, header), 4u);
    bad = ok;
    bad[19] ^= 1;
    EXPECT_EQ(parse_stun_header(bad.data(), bad.size(), id, header), 5u);

    const auto parsed = parse_binding_response(ok.data(), ok.size(), id);
    EXPECT_TRUE(parsed.is_success);
    ASSERT_TRUE(parsed.mapped.has_value());
    EXPECT_EQ(parsed.mapped->first, "192.0.2.1");
    EXPECT_EQ(parsed.mapped->second, 32853);
    EXPECT_EQ(parsed.attribute_count, 1u);

    const Bytes error = test::build_stun(0x0111, id, [](Bytes& out) {
        const Bytes v = test::error_value(420);
        append_stun_attribute(out, kAttrErrorCode, v.data(), v.size());
    });
    const auto refused = parse_binding_response(error.data(), error.size(), id);
    EXPECT_TRUE(refused.is_ours);
    EXPECT_FALSE(refused.is_success);
    EXPECT_EQ(refused.error_code, 420u);
    for (std::size_t n = 0; n <= ok.size(); ++n) {
        const Bytes prefix(ok.begin(), ok.begin() + static_cast<std::ptrdiff_t>(n));
        parse_binding_response(prefix.data(), prefix.size(), id);
    }
}

TEST(RelayRttProbe, AnsweredIgnoredAndRefused) {
    test::ScriptedUdpPeer stranger(
        [](const Bytes&, const asio::ip::udp::endpoint&) { return std::vector<Bytes>{}; });
    // Another transaction's answer first (ignored), then ours from a different address.
    test::ScriptedUdpPeer node([&](const Bytes& request, const asio::ip::udp::endpoint& from) {
        StunTransactionId other = test::transaction_id_of(request);
        other[0] ^= 0xFF;
        stranger.send_to(success(other), from);
        stranger.send_to(success(test::transaction_id_of(request), false), from);
        return std::vector<Bytes>{};
    });
    const auto rtt = stun_binding_probe("127.0.0.1", node.port(), std::chrono::seconds(3));
    ASSERT_TRUE(rtt.has_value());
    EXPECT_GE(*rtt, 0);

    test::ScriptedUdpPeer refusing([](const Bytes& request, const asio::ip::udp::endpoint&) {
        return std::vector<Bytes>{
            test::build_stun(0x0111, test::transaction_id_of(request), nullptr)};
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(stun_binding_probe("127.0.0.1", refusing.port(), std::chrono::seconds(30)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

    test::ScriptedUdpPeer silent(
        [](const Bytes&, const asio::ip::udp::endpoint&) { return std::vector<Bytes>{}; });
    EXPECT_FALSE(stun_binding_probe("127.0.0.1", silent.port(), std::chrono::milliseconds(30)));
    EXPECT_FALSE(stun_binding_probe("", 3478, std::chrono::milliseconds(30)));
    EXPECT_FALSE(stun_binding_probe("127.0.0.1", 0, std::chrono::milliseconds(30)));
    EXPECT_FALSE(probe_stun_binding("no-such-host.invalid", 3478).answered);
}

}  // namespace
}  // namespace vx::network
