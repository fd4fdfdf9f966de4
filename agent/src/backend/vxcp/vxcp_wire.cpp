#include "backend/vxcp/vxcp_wire.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace vx::network {

namespace {

constexpr std::size_t kMacOffsetHello = 110;
constexpr std::size_t kMacOffsetRetry = 26;
constexpr std::size_t kWelcomeSealedOffset = 50;
constexpr std::size_t kWelcomeBodySize = 36;

bool same_connection(const VxcpHeader& h, const ConnectionId& id) {
    return h.version == kVxcpVersion && h.connection_id == id;
}

}  // namespace

Bytes vxcp_write_header(VxcpType type, const ConnectionId& id, std::uint64_t packet_number) {
    Bytes out;
    out.reserve(kVxcpMaxDatagram);
    out.push_back(static_cast<std::uint8_t>(type));
    out.push_back(kVxcpVersion);
    out.insert(out.end(), id.begin(), id.end());
    vxcp_put_u64_be(out, packet_number);
    return out;
}

std::optional<VxcpHeader> vxcp_parse_header(ByteView datagram) {
    if (datagram.size() < kVxcpHeaderSize) {
        return std::nullopt;
    }
    VxcpHeader h;
    h.type = datagram[0];
    h.version = datagram[1];
    std::copy_n(datagram.begin() + 2, 8, h.connection_id.begin());
    h.packet_number = vxcp_get_u64_be(datagram.data() + 10);
    return h;
}

Bytes vxcp_build_hello(const HelloFields& fields, const Key32& hello_key) {
    Bytes out = vxcp_write_header(VxcpType::hello, fields.connection_id, 0);
    std::array<std::uint8_t, kVxcpTokenSize> token{};
    std::copy_n(fields.token.begin(), std::min(fields.token.size(), token.size()), token.begin());
    out.insert(out.end(), token.begin(), token.end());
    out.insert(out.end(), fields.agent_public.begin(), fields.agent_public.end());
    out.insert(out.end(), fields.nonce.begin(), fields.nonce.end());
    vxcp_put_u64_be(out, fields.time_ms);
    const Key32 mac = hmac_sha256(hello_key, ByteView(out.data(), kMacOffsetHello));
    out.insert(out.end(), mac.begin(), mac.end());
    return out;
}

std::optional<std::uint64_t> vxcp_check_retry(ByteView datagram, const ConnectionId& id,
                                              const Key32& hello_key, ByteView hello_mac) {
    const auto h = vxcp_parse_header(datagram);
    if (datagram.size() != kVxcpRetrySize || !h || h->type != std::uint8_t(VxcpType::retry) ||
        !same_connection(*h, id)) {
        return std::nullopt;
    }
    const Key32 expected = hmac_sha256(hello_key, datagram.first(kMacOffsetRetry), hello_mac);
    if (sodium_memcmp(expected.data(), datagram.data() + kMacOffsetRetry, expected.size()) != 0) {
        return std::nullopt;
    }
    return vxcp_get_u64_be(datagram.data() + kVxcpHeaderSize);
}

std::optional<Key32> vxcp_welcome_public_key(ByteView datagram, const ConnectionId& id) {
    const auto h = vxcp_parse_header(datagram);
    if (datagram.size() != kVxcpWelcomeSize || !h || h->type != std::uint8_t(VxcpType::welcome) ||
        !same_connection(*h, id)) {
        return std::nullopt;
    }
    Key32 pk{};
    std::copy_n(datagram.begin() + kVxcpHeaderSize, pk.size(), pk.begin());
    return pk;
}

std::optional<WelcomeBody> vxcp_open_welcome(ByteView datagram, const Key32& s2c) {
    if (datagram.size() != kVxcpWelcomeSize) {
        return std::nullopt;
    }
    Bytes body;
    if (!vxcp_open(s2c, vxcp_nonce("s2c", 0), datagram.first(kWelcomeSealedOffset),
                   datagram.subspan(kWelcomeSealedOffset), body) ||
        body.size() != kWelcomeBodySize) {
        return std::nullopt;
    }
    WelcomeBody w;
    w.backend_time_ms = vxcp_get_u64_be(body.data());
    std::copy_n(body.begin() + 8, w.reset_token.size(), w.reset_token.begin());
    w.idle_timeout_ms = vxcp_get_u32_be(body.data() + 24);
    w.keepalive_ms = vxcp_get_u32_be(body.data() + 28);
    w.max_message = vxcp_get_u32_be(body.data() + 32);
    sodium_memzero(body.data(), body.size());
    return w;
}

Bytes vxcp_seal_data(const ConnectionId& id, std::uint64_t packet_number, const Key32& key,
                     std::string_view label, ByteView payload) {
    Bytes out;
    vxcp_seal_data(id, packet_number, key, label, payload, out);
    return out;
}

void vxcp_seal_data(const ConnectionId& id, std::uint64_t packet_number, const Key32& key,
                    std::string_view label, ByteView payload, Bytes& out) {
    std::array<std::uint8_t, kVxcpHeaderSize> header = {static_cast<std::uint8_t>(VxcpType::data),
                                                        kVxcpVersion};
    std::copy(id.begin(), id.end(), header.begin() + 2);
    vxcp_store_be(header.data() + 10, packet_number, 8);
    out.assign(header.begin(), header.end());
    vxcp_seal(key, vxcp_nonce(label, packet_number), header, payload, out);
}

std::optional<OpenedData> vxcp_open_data(ByteView datagram, const ConnectionId& id,
                                         const Key32& key, std::string_view label) {
    OpenedData d;
    const auto number = vxcp_open_data(datagram, id, key, label, d.payload);
    if (!number) {
        return std::nullopt;
    }
    d.packet_number = *number;
    return d;
}

std::optional<std::uint64_t> vxcp_open_data(ByteView datagram, const ConnectionId& id,
                                            const Key32& key, std::string_view label,
                                            Bytes& payload) {
    const auto h = vxcp_parse_header(datagram);
    if (datagram.size() < kVxcpMinDataSize || !h || h->type != std::uint8_t(VxcpType::data) ||
        !same_connection(*h, id)) {
        return std::nullopt;
    }
    if (!vxcp_open(key, vxcp_nonce(label, h->packet_number), datagram.first(kVxcpHeaderSize),
                   datagram.subspan(kVxcpHeaderSize), payload)) {
        return std::nullopt;
    }
    return h->packet_number;
}

bool vxcp_is_valid_reset(ByteView datagram, const ConnectionId& id, const ResetToken& token) {
    const auto h = vxcp_parse_header(datagram);
    if (datagram.size() != kVxcpResetSize || !h || h->type != std::uint8_t(VxcpType::reset) ||
        !same_connection(*h, id)) {
        return false;
    }
    return sodium_memcmp(datagram.data() + kVxcpHeaderSize, token.data(), token.size()) == 0;
}

std::optional<std::int64_t> vxcp_clock_offset(std::uint64_t backend_ms, std::int64_t local_ms) {
    if (backend_ms < kVxcpMinBackendTimeMs || backend_ms > kVxcpMaxBackendTimeMs) {
        return std::nullopt;
    }
    std::int64_t offset = 0;
    if (__builtin_sub_overflow(static_cast<std::int64_t>(backend_ms), local_ms, &offset)) {
        return std::nullopt;
    }
    return offset;
}

std::uint64_t vxcp_hello_time(std::int64_t local_ms, std::int64_t offset_ms) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(local_ms, offset_ms, &sum)) {
        return offset_ms < 0 ? 0
                             : static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    }
    return sum < 0 ? 0 : static_cast<std::uint64_t>(sum);
}

}  // namespace vx::network
