#include "backend/vxcp/vxcp_wire.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "vxcp_test_backend.hpp"

namespace vx::test {
namespace {

// Known-answer inputs computed independently of this code.
constexpr std::string_view kServerId = "00000000-0000-4000-8000-000000000001";
constexpr std::string_view kAgentToken = "test-agent-token";

struct Vector {
    ConnectionId id{1, 2, 3, 4, 5, 6, 7, 8};
    Key32 agent_secret{};
    Key32 backend_secret{};
    HelloNonce nonce{};
    Vector() {
        agent_secret.fill(0x11);
        backend_secret.fill(0x22);
        for (int i = 0; i < 16; ++i) {
            nonce[i] = static_cast<std::uint8_t>(0x30 + i);
        }
    }
    Bytes hello() const {
        HelloFields f{id, kServerId, public_of(agent_secret), nonce, 1'700'000'000'000ULL};
        return vxcp_build_hello(f, vxcp_hello_key(as_bytes(kAgentToken)));
    }
    VxcpKeys keys() const {
        VxcpKeyInputs in{as_bytes(kAgentToken),     id,   agent_secret, public_of(agent_secret),
                         public_of(backend_secret), nonce};
        return vxcp_derive_keys(in).value();
    }
};

TEST(VxcpWire, KnownAnswerHelloAndKeys) {
    ASSERT_TRUE(vxcp_sodium_ready());
    const Vector v;
    EXPECT_EQ(hex(vxcp_hello_key(as_bytes(kAgentToken))),
              "4a28d6d4a2c0c61a2c3136b6fa7030b25eabf02e7db33fecf01e893c278d0b8e");
    const Bytes hello = v.hello();
    ASSERT_EQ(hello.size(), kVxcpHelloSize);
    EXPECT_EQ(hex(ByteView(hello).first(18)),
              "01010102030405060708"
              "0000000000000000");
    EXPECT_EQ(std::string(hello.begin() + 18, hello.begin() + 54), kServerId);
    EXPECT_EQ(hex(ByteView(hello).subspan(54, 32)), hex(public_of(v.agent_secret)));
    EXPECT_EQ(hex(ByteView(hello).subspan(86, 16)), "303132333435363738393a3b3c3d3e3f");
    EXPECT_EQ(hex(ByteView(hello).subspan(102, 8)), "0000018bcfe56800");
    EXPECT_EQ(hex(ByteView(hello).subspan(110)),
              "2a1dc93ceafec3b6c12bde93061f3649f7ed5d3b8a52682abc10f8871b071dd3");
    const VxcpKeys keys = v.keys();
    EXPECT_EQ(hex(keys.c2s), "fe450e9c1b14b21444760957ce3f10b97f2f5eb6e95b22e3f46beeecc3bb0224");
    EXPECT_EQ(hex(keys.s2c), "33e7d78bfe8268cdb13762d568cbd4b05da106b982cc2511d2da91249a4c3e39");
}

TEST(VxcpWire, KnownAnswerWelcomeAndDataByteForByte) {
    ASSERT_TRUE(vxcp_sodium_ready());
    const Vector v;
    EXPECT_EQ(hex(v.hello()), kKatHello);
    const VxcpKeys keys = v.keys();
    const Bytes welcome = unhex(kKatWelcome);
    ASSERT_EQ(welcome.size(), kVxcpWelcomeSize);
    EXPECT_EQ(vxcp_welcome_public_key(welcome, v.id), public_of(v.backend_secret));
    const auto body = vxcp_open_welcome(welcome, keys.s2c);
    ASSERT_TRUE(body);
    EXPECT_EQ(body->backend_time_ms, 1'700'000'001'234ULL);
    EXPECT_EQ(hex(body->reset_token), "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
    EXPECT_EQ(body->idle_timeout_ms, 15000u);
    EXPECT_EQ(body->keepalive_ms, 1000u);
    EXPECT_EQ(body->max_message, 262144u);

    EXPECT_EQ(hex(vxcp_seal_data(v.id, 1, keys.c2s, "c2s", unhex(kKatAgentDataPayload))),
              kKatAgentData);
    const auto data = vxcp_open_data(unhex(kKatBackendData), v.id, keys.s2c, "s2c");
    ASSERT_TRUE(data);
    EXPECT_EQ(data->packet_number, 2u);
    EXPECT_EQ(hex(data->payload), kKatBackendDataPayload);
}

TEST(VxcpWire, HelloTokenIsCutOrPadded) {
    const Vector v;
    const Key32 hk = vxcp_hello_key(as_bytes(kAgentToken));
    HelloFields f{v.id, "short", {}, v.nonce, 0};
    Bytes hello = vxcp_build_hello(f, hk);
    ASSERT_EQ(hello.size(), kVxcpHelloSize);
    EXPECT_EQ(hello[18 + 5], 0);
    EXPECT_EQ(hello[18 + 35], 0);
    const std::string long_token(50, 'x');
    f.token = long_token;
    hello = vxcp_build_hello(f, hk);
    ASSERT_EQ(hello.size(), kVxcpHelloSize);
    EXPECT_EQ(hello[18 + 35], 'x');
}

TEST(VxcpWire, WelcomeRoundTripAndChecks) {
    ASSERT_TRUE(vxcp_sodium_ready());
    const Vector v;
    const VxcpKeys keys = v.keys();
    TestWelcome w;
    w.reset_token.fill(0x5a);
    const Bytes welcome = build_welcome(v.id, public_of(v.backend_secret), keys.s2c, w);
    ASSERT_EQ(welcome.size(), kVxcpWelcomeSize);
    ASSERT_EQ(vxcp_welcome_public_key(welcome, v.id), public_of(v.backend_secret));
    const auto body = vxcp_open_welcome(welcome, keys.s2c);
    ASSERT_TRUE(body);
    EXPECT_EQ(body->backend_time_ms, w.backend_time_ms);
    EXPECT_EQ(body->reset_token, w.reset_token);
    EXPECT_EQ(body->idle_timeout_ms, 15000u);
    EXPECT_EQ(body->keepalive_ms, 1000u);
    EXPECT_EQ(body->max_message, 262144u);

    ConnectionId other = v.id;
    other[7] ^= 1;
    EXPECT_FALSE(vxcp_welcome_public_key(welcome, other));
    Bytes longer = welcome;
    longer.push_back(0);
    EXPECT_FALSE(vxcp_welcome_public_key(longer, v.id));
    EXPECT_FALSE(vxcp_open_welcome(longer, keys.s2c));
    EXPECT_FALSE(vxcp_open_welcome(ByteView(welcome).first(101), keys.s2c));
    Bytes tampered = welcome;
    tampered[20] ^= 1;  // the public key is authenticated as associated data
    EXPECT_FALSE(vxcp_open_welcome(tampered, keys.s2c));
    EXPECT_FALSE(vxcp_open_welcome(welcome, keys.c2s));
}

TEST(VxcpWire, RetryChecks) {
    const Vector v;
    const Key32 hk = vxcp_hello_key(as_bytes(kAgentToken));
    const Bytes hello = v.hello();
    const ByteView mac = ByteView(hello).subspan(110);
    const Bytes retry = build_retry(v.id, 1'700'000'090'000ULL, hk, mac);
    ASSERT_EQ(retry.size(), kVxcpRetrySize);
    EXPECT_EQ(vxcp_check_retry(retry, v.id, hk, mac), 1'700'000'090'000ULL);

    Bytes bad = retry;
    bad[57] ^= 1;
    EXPECT_FALSE(vxcp_check_retry(bad, v.id, hk, mac));
    bad = retry;
    bad[1] = 2;
    EXPECT_FALSE(vxcp_check_retry(bad, v.id, hk, mac));
    Bytes other_mac(mac.begin(), mac.end());
    other_mac[0] ^= 1;
    EXPECT_FALSE(vxcp_check_retry(retry, v.id, hk, other_mac));
    for (std::size_t n = 0; n < retry.size(); ++n) {
        EXPECT_FALSE(vxcp_check_retry(ByteView(retry).first(n), v.id, hk, mac));
    }
}

TEST(VxcpWire, DataRoundTripAndEveryPrefixRefused) {
    ASSERT_TRUE(vxcp_sodium_ready());
    const Vector v;
    const VxcpKeys keys = v.keys();
    const Bytes payload = {1, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0};
    const Bytes dg = vxcp_seal_data(v.id, 42, keys.c2s, "c2s", payload);
    ASSERT_EQ(dg.size(), 18 + payload.size() + 16);
    EXPECT_EQ(hex(ByteView(dg).first(18)), "03010102030405060708000000000000002a");
    const auto opened = vxcp_open_data(dg, v.id, keys.c2s, "c2s");
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->packet_number, 42u);
    EXPECT_EQ(opened->payload, payload);
    EXPECT_FALSE(vxcp_open_data(dg, v.id, keys.c2s, "s2c"));
    EXPECT_FALSE(vxcp_open_data(dg, v.id, keys.s2c, "c2s"));
    Bytes renumbered = dg;
    renumbered[17] = 43;  // the header is associated data
    EXPECT_FALSE(vxcp_open_data(renumbered, v.id, keys.c2s, "c2s"));
    for (std::size_t n = 0; n < dg.size(); ++n) {
        EXPECT_FALSE(vxcp_open_data(ByteView(dg).first(n), v.id, keys.c2s, "c2s"));
    }
    const Bytes empty = vxcp_seal_data(v.id, 1, keys.s2c, "s2c", {});
    ASSERT_EQ(empty.size(), kVxcpMinDataSize);
    EXPECT_TRUE(vxcp_open_data(empty, v.id, keys.s2c, "s2c"));
}

TEST(VxcpWire, ResetNeedsExactSizeAndToken) {
    const Vector v;
    ResetToken token{};
    token.fill(9);
    const Bytes reset = build_reset(v.id, token);
    EXPECT_TRUE(vxcp_is_valid_reset(reset, v.id, token));
    EXPECT_FALSE(vxcp_is_valid_reset(ByteView(reset).first(33), v.id, token));
    Bytes longer = reset;
    longer.push_back(0);
    EXPECT_FALSE(vxcp_is_valid_reset(longer, v.id, token));
    ResetToken wrong = token;
    wrong[15] ^= 1;
    EXPECT_FALSE(vxcp_is_valid_reset(reset, v.id, wrong));
}

TEST(VxcpWire, HeaderParseNeedsEighteenBytes) {
    const ConnectionId id{9, 8, 7, 6, 5, 4, 3, 2};
    const Bytes h = vxcp_write_header(VxcpType::reset, id, 0x0102030405060708ULL);
    ASSERT_EQ(h.size(), 18u);
    const auto parsed = vxcp_parse_header(h);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->type, 4);
    EXPECT_EQ(parsed->version, 1);
    EXPECT_EQ(parsed->connection_id, id);
    EXPECT_EQ(parsed->packet_number, 0x0102030405060708ULL);
    EXPECT_FALSE(vxcp_parse_header(ByteView(h).first(17)));
}

// A backend time outside 2020..2200 is refused; no input overflows the offset or the HELLO time.
TEST(VxcpWire, ClockOffsetAndHelloTimeStayInRange) {
    constexpr std::int64_t kLocal = 1'700'000'000'000;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    struct Case {
        std::uint64_t backend;
        std::int64_t local;
        std::optional<std::int64_t> offset;
    };
    for (const Case& c : {
             Case{1'700'000'090'000, kLocal, 90'000},
             Case{1'577'836'800'000, kLocal, 1'577'836'800'000 - kLocal},
             Case{7'258'118'400'000, 0, 7'258'118'400'000},
             Case{1'577'836'799'999, kLocal, std::nullopt},
             Case{7'258'118'400'001, kLocal, std::nullopt},
             Case{0, kLocal, std::nullopt},
             Case{std::uint64_t{1} << 63, kLocal, std::nullopt},
             Case{~std::uint64_t{0}, kLocal, std::nullopt},
             Case{1'700'000'000'000, kMin, std::nullopt},  // the difference does not fit
             Case{1'700'000'000'000, kMax, 1'700'000'000'000 - kMax},
         }) {
        EXPECT_EQ(vxcp_clock_offset(c.backend, c.local), c.offset) << c.backend << " " << c.local;
    }
    EXPECT_EQ(vxcp_hello_time(kLocal, 90'000), 1'700'000'090'000u);
    EXPECT_EQ(vxcp_hello_time(kLocal, -kLocal - 1), 0u);
    EXPECT_EQ(vxcp_hello_time(kMin, kMin), 0u);
    EXPECT_EQ(vxcp_hello_time(kMax, kMax), static_cast<std::uint64_t>(kMax));
}

}  // namespace
}  // namespace vx::test
