#include "traversal/stun/relay_rtt_probe.hpp"

#include <algorithm>
#include <random>

#include <asio/io_context.hpp>

#include "traversal/stun/stun_binding.hpp"
#include "traversal/stun/stun_codec.hpp"
#include "util/address.hpp"
#include "util/io/name_lookup.hpp"

namespace vx::network {

namespace {

constexpr std::size_t kReceiveBufferSize = 1500;

enum class ReadOutcome { answered, failed, keep_waiting };

ReadOutcome read_one(asio::ip::udp::socket& socket, const ProbeTransactionId& id,
                     std::array<std::uint8_t, kReceiveBufferSize>& buffer) {
    asio::ip::udp::endpoint from;
    std::error_code ec;
    const std::size_t n = socket.receive_from(asio::buffer(buffer), from, 0, ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        return ReadOutcome::keep_waiting;
    }
    if (ec) {
        return ReadOutcome::failed;
    }
    if (n == 0) {
        return ReadOutcome::keep_waiting;
    }
    const BindingResponse response = parse_binding_response(buffer.data(), n, id);
    if (response.is_success) {
        return ReadOutcome::answered;
    }
    return response.is_ours ? ReadOutcome::failed : ReadOutcome::keep_waiting;
}

}  // namespace

std::uint32_t parse_stun_header(const std::uint8_t* data, std::size_t size,
                                const ProbeTransactionId& expected, StunHeader& header) {
    if (data == nullptr || size < kStunHeaderSize)
        return 1;
    if (data[0] > 63)
        return 2;
    if (read_be32(data + 4) != kStunMagicCookie)
        return 3;
    const std::uint16_t length = read_be16(data + 2);
    if (length % 4 != 0 || size < kStunHeaderSize + length)
        return 4;
    if (!std::equal(expected.begin(), expected.end(), data + 8))
        return 5;
    header.type = read_be16(data);
    header.length = length;
    header.cookie = kStunMagicCookie;
    std::copy(data + 8, data + 20, header.transaction_id.begin());
    header.message_class = stun_class_of(header.type);
    header.method = stun_method_of(header.type);
    header.datagram_size = size;
    return 0;
}

std::vector<StunAttributeRef> read_stun_attributes(const std::uint8_t* data, std::size_t size,
                                                   std::uint16_t message_length) {
    std::vector<StunAttributeRef> attributes;
    const std::size_t limit = std::min(size, kStunHeaderSize + message_length);
    if (data == nullptr || size < kStunHeaderSize || limit < 24) {
        return attributes;
    }
    std::size_t offset = kStunHeaderSize;
    while (offset + 4 <= limit) {
        const std::uint16_t length = read_be16(data + offset + 2);
        const std::size_t value = offset + 4;
        if (value + length > limit) {
            break;
        }
        attributes.push_back({read_be16(data + offset), length, value});
        offset = value + ((length + 3u) & ~3u);
    }
    return attributes;
}

std::optional<std::pair<std::string, std::uint16_t>> decode_stun_attributes(
    const std::uint8_t* data, std::size_t size, std::uint16_t message_length, bool xor_mapped) {
    const std::uint16_t wanted = xor_mapped ? kAttrXorMappedAddress : kAttrMappedAddress;
    for (const auto& attribute : read_stun_attributes(data, size, message_length)) {
        if (attribute.type != wanted || attribute.length < 8 || attribute.value_offset + 8 > size) {
            continue;
        }
        const std::uint8_t* value = data + attribute.value_offset;
        if (value[1] != 0x01) {
            return std::nullopt;
        }
        std::uint16_t port = read_be16(value + 2);
        std::uint32_t address = read_be32(value + 4);
        if (xor_mapped) {
            port ^= 0x2112;
            address ^= kStunMagicCookie;
        }
        const std::array<std::uint8_t, 4> bytes{
            static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
            static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)};
        return std::make_pair(util::format_ipv4(bytes), port);
    }
    return std::nullopt;
}

BindingResponse parse_binding_response(const std::uint8_t* data, std::size_t size,
                                       const ProbeTransactionId& expected) {
    BindingResponse response;
    StunHeader header;
    response.header_result = parse_stun_header(data, size, expected, header);
    if (response.header_result >= 1 && response.header_result <= 3) {
        return response;
    }
    response.is_stun = true;
    if (response.header_result != 0) {
        return response;
    }
    response.is_ours = true;
    const auto attributes = read_stun_attributes(data, size, header.length);
    response.attribute_count = attributes.size();
    if (header.message_class == 2 && header.method == 1) {
        response.is_success = true;
        response.mapped = decode_stun_attributes(data, size, header.length, true);
        if (!response.mapped) {
            response.mapped = decode_stun_attributes(data, size, header.length, false);
        }
    } else if (header.message_class == 3) {
        for (const auto& attribute : attributes) {
            if (attribute.type == kAttrErrorCode && attribute.length >= 4) {
                const std::uint8_t* value = data + attribute.value_offset;
                response.error_code = (value[2] & 7u) * 100u + value[3];
                break;
            }
        }
    }
    return response;
}

ProbeTransactionId random_transaction_id() {
    std::random_device device;
    ProbeTransactionId id{};
    for (auto& byte : id) {
        byte = static_cast<std::uint8_t>(device() & 0xFF);
    }
    return id;
}

bool resolve_udp_ipv4(const std::string& host, std::uint16_t port,
                      asio::ip::udp::endpoint& endpoint, std::error_code& error) {
    const NameAnswer answer = lookup_name(host, NameFamily::ipv4);
    error = answer.error;
    if (!error && answer.addresses.empty())
        error = asio::error::host_not_found;
    if (error)
        return false;
    endpoint = asio::ip::udp::endpoint(answer.addresses.front(), port);
    return true;
}

std::int32_t round_to_ms(std::int64_t elapsed_us) {
    if (elapsed_us <= 0) {
        return 0;
    }
    return static_cast<std::int32_t>((elapsed_us + 500) / 1000);
}

StunProbeResult probe_stun_binding(const std::string& host, std::uint16_t port,
                                   std::chrono::milliseconds timeout,
                                   const ProbeIdSource& make_id) {
    StunProbeResult result;
    asio::ip::udp::endpoint endpoint;
    std::error_code ec;
    if (host.empty() || port == 0 || !resolve_udp_ipv4(host, port, endpoint, ec)) {
        return result;
    }
    asio::io_context io;
    asio::ip::udp::socket socket(io);
    socket.open(asio::ip::udp::v4(), ec);
    if (!ec)
        socket.bind(asio::ip::udp::endpoint(asio::ip::address_v4::any(), 0), ec);
    if (!ec)
        socket.non_blocking(true, ec);
    if (ec) {
        return result;
    }
    const ProbeTransactionId id = make_id ? make_id() : random_transaction_id();
    const auto request = binding_request_bytes(id);
    const std::size_t sent = socket.send_to(asio::buffer(request), endpoint, 0, ec);
    if (ec || sent < request.size()) {
        return result;
    }
    const auto t0 = std::chrono::steady_clock::now();
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    for (;;) {
        const ReadOutcome outcome = read_one(socket, id, buffer);
        if (outcome == ReadOutcome::answered) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::steady_clock::now() - t0);
            result.rtt_ms = round_to_ms(elapsed.count());
            result.answered = true;
            return result;
        }
        if (outcome == ReadOutcome::failed) {
            return result;
        }
        // The deadline is looked at only after a read found nothing usable.
        const auto elapsed = std::chrono::steady_clock::now() - t0;
        if (elapsed >= timeout) {
            return result;
        }
        wait_socket_readable(socket.native_handle(), t0 + timeout);
    }
}

std::optional<std::int32_t> stun_binding_probe(const std::string& host, std::uint16_t port,
                                               std::chrono::milliseconds timeout) {
    const StunProbeResult result = probe_stun_binding(host, port, timeout);
    if (!result.answered) {
        return std::nullopt;
    }
    return result.rtt_ms;
}

}  // namespace vx::network
