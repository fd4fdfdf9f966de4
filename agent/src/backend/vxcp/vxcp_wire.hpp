#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "backend/vxcp/vxcp_crypto.hpp"

// VXCP/1 datagrams as pure encode/parse functions. Every integer on the wire is big-endian.
//
//   0      1        2             10               18
//   +------+--------+-------------+----------------+---------
//   | type | ver=1  | conn id (8) | packet no (8)  | body...
//   +------+--------+-------------+----------------+---------
namespace vx::network {

inline constexpr std::size_t kVxcpHeaderSize = 18;
inline constexpr std::size_t kVxcpHelloSize = 142;
inline constexpr std::size_t kVxcpRetrySize = 58;
inline constexpr std::size_t kVxcpWelcomeSize = 102;
inline constexpr std::size_t kVxcpResetSize = 34;
inline constexpr std::size_t kVxcpTagSize = 16;
inline constexpr std::size_t kVxcpMinDataSize = kVxcpHeaderSize + kVxcpTagSize;
inline constexpr std::size_t kVxcpMaxDatagram = 1200;  // what the agent ever sends
inline constexpr std::size_t kVxcpReceiveBuffer = 2048;
inline constexpr std::size_t kVxcpTokenSize = 36;
inline constexpr std::uint8_t kVxcpVersion = 1;

enum class VxcpType : std::uint8_t { hello = 1, welcome = 2, data = 3, reset = 4, retry = 5 };

using ResetToken = std::array<std::uint8_t, 16>;
using HelloNonce = std::array<std::uint8_t, 16>;

struct VxcpHeader {
    std::uint8_t type = 0;
    std::uint8_t version = 0;
    ConnectionId connection_id{};
    std::uint64_t packet_number = 0;
};

// Big-endian integers, written into and read from place; inline, as every frame uses them.
inline void vxcp_store_be(std::uint8_t* p, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) {
        p[i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
    }
}
inline std::uint64_t vxcp_load_be(const std::uint8_t* p, std::size_t bytes) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}
inline std::uint64_t vxcp_get_u64_be(const std::uint8_t* p) {
    return vxcp_load_be(p, 8);
}
inline std::uint32_t vxcp_get_u32_be(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(vxcp_load_be(p, 4));
}
inline std::uint16_t vxcp_get_u16_be(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(vxcp_load_be(p, 2));
}
inline void vxcp_put_u64_be(Bytes& out, std::uint64_t value) {
    std::uint8_t bytes[8];
    vxcp_store_be(bytes, value, 8);
    out.insert(out.end(), bytes, bytes + 8);
}
inline void vxcp_put_u32_be(Bytes& out, std::uint32_t value) {
    std::uint8_t bytes[4];
    vxcp_store_be(bytes, value, 4);
    out.insert(out.end(), bytes, bytes + 4);
}
inline void vxcp_put_u16_be(Bytes& out, std::uint16_t value) {
    std::uint8_t bytes[2];
    vxcp_store_be(bytes, value, 2);
    out.insert(out.end(), bytes, bytes + 2);
}

// Starts a datagram with the 18-byte header, with room reserved for a full datagram.
Bytes vxcp_write_header(VxcpType type, const ConnectionId& id, std::uint64_t packet_number);
std::optional<VxcpHeader> vxcp_parse_header(ByteView datagram);

struct HelloFields {
    ConnectionId connection_id{};
    std::string_view token;  // cut or zero-padded to 36 bytes
    Key32 agent_public{};
    HelloNonce nonce{};
    std::uint64_t time_ms = 0;
};

// The 142-byte HELLO, MAC'd with the hello key.
Bytes vxcp_build_hello(const HelloFields& fields, const Key32& hello_key);

// The backend's time from a RETRY whose size, type, version, connection id and MAC (over bytes 0
// to 25 followed by the MAC of the HELLO last sent) check out; the MAC is compared in constant
// time.
std::optional<std::uint64_t> vxcp_check_retry(ByteView datagram, const ConnectionId& id,
                                              const Key32& hello_key, ByteView hello_mac);

struct WelcomeBody {
    std::uint64_t backend_time_ms = 0;
    ResetToken reset_token{};
    std::uint32_t idle_timeout_ms = 0;
    std::uint32_t keepalive_ms = 0;
    std::uint32_t max_message = 0;
};

// The backend's public key of a 102-byte WELCOME for this connection id.
std::optional<Key32> vxcp_welcome_public_key(ByteView datagram, const ConnectionId& id);
// Decrypts and parses the WELCOME body under the backend-to-agent key.
std::optional<WelcomeBody> vxcp_open_welcome(ByteView datagram, const Key32& s2c);

// A sealed DATA datagram: header, ciphertext of `payload`, tag. `label` is "c2s" or "s2c".
Bytes vxcp_seal_data(const ConnectionId& id, std::uint64_t packet_number, const Key32& key,
                     std::string_view label, ByteView payload);
// The same into `out`, whose storage is reused from one datagram to the next.
void vxcp_seal_data(const ConnectionId& id, std::uint64_t packet_number, const Key32& key,
                    std::string_view label, ByteView payload, Bytes& out);

struct OpenedData {
    std::uint64_t packet_number = 0;
    Bytes payload;
};
// Authenticates and decrypts a DATA datagram (header already checked by the caller or not).
std::optional<OpenedData> vxcp_open_data(ByteView datagram, const ConnectionId& id,
                                         const Key32& key, std::string_view label);
// The same with the payload into `payload`, whose storage is reused; the packet number.
std::optional<std::uint64_t> vxcp_open_data(ByteView datagram, const ConnectionId& id,
                                            const Key32& key, std::string_view label,
                                            Bytes& payload);

// ---- Clock correction ----

// Backend times the agent believes, in Unix ms: from 2020 up to 2200. The wire field has 64 bits,
// but a time beyond this range is a fault of the backend's, not a correction for a wrong PC clock,
// and near 2^63 it would overflow every sum it takes part in.
inline constexpr std::uint64_t kVxcpMinBackendTimeMs = 1'577'836'800'000;  // 2020-01-01
inline constexpr std::uint64_t kVxcpMaxBackendTimeMs = 7'258'118'400'000;  // 2200-01-01

// Backend minus local time, or nothing when the backend's time is not plausible (or the local
// clock is so far off that the difference does not fit).
std::optional<std::int64_t> vxcp_clock_offset(std::uint64_t backend_ms, std::int64_t local_ms);
// The HELLO's time: local time plus the offset, held to the field's range instead of wrapping.
std::uint64_t vxcp_hello_time(std::int64_t local_ms, std::int64_t offset_ms);

// True for a 34-byte RESET of this connection carrying `token` (constant-time comparison).
bool vxcp_is_valid_reset(ByteView datagram, const ConnectionId& id, const ResetToken& token);

}  // namespace vx::network
