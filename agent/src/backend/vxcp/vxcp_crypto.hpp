#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// Cryptographic building blocks of the VXCP/1 control channel, all on libsodium.
namespace vx::network {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
using Key32 = std::array<std::uint8_t, 32>;
using ConnectionId = std::array<std::uint8_t, 8>;

// Initialises libsodium once per process; false when it cannot be initialised.
bool vxcp_sodium_ready();

inline ByteView as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// One-shot HMAC-SHA256 with a key of any length (RFC 2104).
Key32 hmac_sha256(ByteView key, ByteView data);
// HMAC-SHA256 over the concatenation of two parts.
Key32 hmac_sha256(ByteView key, ByteView part1, ByteView part2);
Key32 sha256(ByteView data);

// RFC 5869 extract-then-expand; an empty result when `length` exceeds 255 * 32.
Bytes hkdf_sha256(ByteView salt, ByteView ikm, ByteView info, std::size_t length);

// The two directional keys of one connection.
struct VxcpKeys {
    Key32 c2s{};  // agent to backend
    Key32 s2c{};  // backend to agent
    void wipe();
};

struct VxcpKeyInputs {
    ByteView agent_token;
    ConnectionId connection_id{};
    Key32 agent_secret{};
    Key32 agent_public{};
    Key32 backend_public{};
    std::array<std::uint8_t, 16> hello_nonce{};
};

// X25519 + HKDF-SHA256 key schedule. Nothing when the shared value is degenerate (all zero),
// which a hostile backend could force with a low-order public key.
std::optional<VxcpKeys> vxcp_derive_keys(const VxcpKeyInputs& in);

// Key used to authenticate HELLO and RETRY: HMAC keyed with the agent token over "vxcp1 hello".
Key32 vxcp_hello_key(ByteView agent_token);

// 12-byte AEAD nonce: direction label ("c2s" or "s2c"), a zero byte, the packet number.
std::array<std::uint8_t, 12> vxcp_nonce(std::string_view label, std::uint64_t packet_number);

// ChaCha20-Poly1305-IETF; `out` receives ciphertext followed by the 16-byte tag.
void vxcp_seal(const Key32& key, const std::array<std::uint8_t, 12>& nonce, ByteView ad,
               ByteView plain, Bytes& out);
// Decrypts ciphertext+tag; false when authentication fails.
bool vxcp_open(const Key32& key, const std::array<std::uint8_t, 12>& nonce, ByteView ad,
               ByteView sealed, Bytes& plain);

}  // namespace vx::network
