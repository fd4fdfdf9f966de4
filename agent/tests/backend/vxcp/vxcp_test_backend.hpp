#pragma once

#include <sodium.h>

#include <string>

#include "backend/vxcp_wire.hpp"

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
