#pragma once

#include <sodium.h>

#include <string>

#include "backend/vxcp/vxcp_wire.hpp"

// The backend's half of the handshake, for unit tests that drive the agent's side in-process.
namespace vx::test {

using namespace vx::network;

inline Bytes unhex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

inline std::string hex(ByteView bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// One connection computed independently from the protocol text (server id
// "00000000-0000-4000-8000-000000000001", agent token "test-agent-token", connection id 01..08,
// agent secret 32 x 0x11, backend secret 32 x 0x22, HELLO nonce 0x30..0x3f, time 1700000000000).
// The WELCOME carries time 1700000001234, reset token a0..af, idle 15000, keep-alive 1000 and
// message limit 262144; the agent's DATA 1 holds one FRAGMENT "hello" (message 0), the
// backend's DATA 2 a FRAGMENT "pong" (message 0) and an ACK of packet 1.
inline constexpr std::string_view kKatHello =
    "01010102030405060708000000000000000030303030303030302d303030302d343030302d383030302d30303030"
    "30303030303030317b4e909bbe7ffe44c465a220037d608ee35897d31ef972f07f74892cb0f73f13303132333435"
    "363738393a3b3c3d3e3f0000018bcfe568002a1dc93ceafec3b6c12bde93061f3649f7ed5d3b8a52682abc10f887"
    "1b071dd3";
inline constexpr std::string_view kKatWelcome =
    "0201010203040506070800000000000000000faa684ed28867b97f4a6a2dee5df8ce974e76b7018e3f22a1c4cf26"
    "78570f208297e751d5f9ec45a1f985818b40f02b2a7f4132af6b7a5135f631d116fc37dec103175cb0f718b75f05"
    "fae874952d83db34a47e";
inline constexpr std::string_view kKatAgentDataPayload = "030000000000000001000568656c6c6f";
inline constexpr std::string_view kKatAgentData =
    "03010102030405060708000000000000000166adbf04e5164e5232abf6a83aed3f59733b3982590bd27dbd591ea0"
    "91b9ec0f";
inline constexpr std::string_view kKatBackendDataPayload =
    "0300000000000000010004706f6e67020000000000000001000000000000000000000000";
inline constexpr std::string_view kKatBackendData =
    "030101020304050607080000000000000002bbdf42f1fab53a524d62d09aa1a12a034d21439a5b455beb127014ea"
    "e839a14fd2cb4e56f8ab337ab8f223cb147f29d7c1a36f0b";

inline Key32 public_of(const Key32& secret) {
    Key32 pk{};
    crypto_scalarmult_base(pk.data(), secret.data());
    return pk;
}

struct TestWelcome {
    std::uint64_t backend_time_ms = 1'700'000'000'000;
    ResetToken reset_token{};
    std::uint32_t idle_timeout_ms = 15000;
    std::uint32_t keepalive_ms = 1000;
    std::uint32_t max_message = 262144;
};

inline Bytes build_welcome(const ConnectionId& id, const Key32& backend_public, const Key32& s2c,
                           const TestWelcome& w) {
    Bytes out = vxcp_write_header(VxcpType::welcome, id, 0);
    out.insert(out.end(), backend_public.begin(), backend_public.end());
    Bytes body;
    vxcp_put_u64_be(body, w.backend_time_ms);
    body.insert(body.end(), w.reset_token.begin(), w.reset_token.end());
    vxcp_put_u32_be(body, w.idle_timeout_ms);
    vxcp_put_u32_be(body, w.keepalive_ms);
    vxcp_put_u32_be(body, w.max_message);
    Bytes ad(out.begin(), out.end());
    vxcp_seal(s2c, vxcp_nonce("s2c", 0), ad, body, out);
    return out;
}

inline Bytes build_retry(const ConnectionId& id, std::uint64_t backend_time_ms,
                         const Key32& hello_key, ByteView hello_mac) {
    Bytes out = vxcp_write_header(VxcpType::retry, id, 7);
    vxcp_put_u64_be(out, backend_time_ms);
    const Key32 mac = hmac_sha256(hello_key, out, hello_mac);
    out.insert(out.end(), mac.begin(), mac.end());
    return out;
}

inline Bytes build_reset(const ConnectionId& id, const ResetToken& token) {
    Bytes out = vxcp_write_header(VxcpType::reset, id, 0);
    out.insert(out.end(), token.begin(), token.end());
    return out;
}

}  // namespace vx::test
