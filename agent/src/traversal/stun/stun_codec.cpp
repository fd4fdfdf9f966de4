#include "traversal/stun/stun_codec.hpp"

#include <algorithm>
#include <cstdio>

namespace vx::network {

namespace {

constexpr std::size_t kAttributeHeaderSize = 4;

void put_u16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

void push_u16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

std::size_t padded(std::size_t length) {
    return (length + 3) & ~std::size_t{3};
}

bool walk_attributes(const std::uint8_t* bytes, std::size_t total, StunMessage& out) {
    std::size_t offset = kStunHeaderSize;
    while (offset + kAttributeHeaderSize <= total) {
        const std::size_t remaining = total - offset - kAttributeHeaderSize;
        const std::uint16_t length = read_be16(bytes + offset + 2);
        if (length > remaining || padded(length) > remaining) {
            return false;
        }
        out.attributes.push_back({read_be16(bytes + offset), offset, length});
        offset += kAttributeHeaderSize + padded(length);
    }
    return offset == total;
}

}  // namespace

void write_stun_header(std::vector<std::uint8_t>& out, std::uint16_t type,
                       const StunTransactionId& transaction_id) {
    out.assign(kStunHeaderSize, 0);
    put_u16(out.data(), type);
    out[4] = 0x21;
    out[5] = 0x12;
    out[6] = 0xA4;
    out[7] = 0x42;
    std::copy(transaction_id.begin(), transaction_id.end(), out.begin() + 8);
}

bool write_stun_length(std::vector<std::uint8_t>& out, std::size_t body) {
    if (out.size() < kStunHeaderSize || body > kStunMaxBodyLength) {
        return false;
    }
    put_u16(out.data() + 2, static_cast<std::uint16_t>(body));
    return true;
}

std::array<std::uint8_t, 20> binding_request_bytes(const StunTransactionId& transaction_id) {
    std::array<std::uint8_t, 20> request = {0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42};
    std::copy(transaction_id.begin(), transaction_id.end(), request.begin() + 8);
    return request;
}

std::uint16_t StunMessage::method() const {
    return stun_method_of(type);
}

std::uint8_t StunMessage::message_class() const {
    return stun_class_of(type);
}

const StunAttribute* StunMessage::find(std::uint16_t attribute_type) const {
    for (const auto& attribute : attributes) {
        if (attribute.type == attribute_type) {
            return &attribute;
        }
    }
    return nullptr;
}

std::span<const std::uint8_t> StunMessage::value(const StunAttribute& attribute) const {
    if (bytes == nullptr) {
        return {};
    }
    return {bytes + attribute.offset + kAttributeHeaderSize, attribute.length};
}

// Method bits 0-3, 4-6 and 7-11 sit in type bits 0-3, 5-7 and 9-13; class bits in 4 and 8.
std::uint16_t stun_message_type(std::uint16_t method, std::uint8_t message_class) {
    const unsigned m = method & 0x0FFF;
    const unsigned c = message_class & 0x3;
    return static_cast<std::uint16_t>((m & 0x000F) | ((m & 0x0070) << 1) | ((m & 0x0F80) << 2) |
                                      ((c & 1) << 4) | ((c & 2) << 7));
}

std::uint16_t stun_method_of(std::uint16_t type) {
    return static_cast<std::uint16_t>((type & 0x000F) | ((type & 0x00E0) >> 1) |
                                      ((type & 0x3E00) >> 2));
}

std::uint8_t stun_class_of(std::uint16_t type) {
    return static_cast<std::uint8_t>(((type >> 4) & 1) | ((type >> 7) & 2));
}

bool append_stun_attribute(std::vector<std::uint8_t>& out, std::uint16_t type,
                           const std::uint8_t* value, std::size_t length) {
    if (length > 0xFFFF) {
        return false;
    }
    if (value == nullptr) {
        length = 0;
    }
    push_u16(out, type);
    push_u16(out, static_cast<std::uint16_t>(length));
    if (length > 0) {
        out.insert(out.end(), value, value + length);
    }
    out.resize(out.size() + (padded(length) - length), 0);
    return true;
}

bool append_stun_attribute(std::vector<std::uint8_t>& out, std::uint16_t type,
                           std::string_view value) {
    return append_stun_attribute(out, type, reinterpret_cast<const std::uint8_t*>(value.data()),
                                 value.size());
}

bool append_u32_attribute(std::vector<std::uint8_t>& out, std::uint16_t type, std::uint32_t value) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    return append_stun_attribute(out, type, bytes, sizeof bytes);
}

bool append_xor_peer_address(std::vector<std::uint8_t>& out, const Ipv4Bytes& address,
                             std::uint16_t port) {
    const std::uint16_t xport = port ^ static_cast<std::uint16_t>(kStunMagicCookie >> 16);
    const std::uint8_t value[8] = {0,
                                   0x01,
                                   static_cast<std::uint8_t>(xport >> 8),
                                   static_cast<std::uint8_t>(xport),
                                   static_cast<std::uint8_t>(address[0] ^ 0x21),
                                   static_cast<std::uint8_t>(address[1] ^ 0x12),
                                   static_cast<std::uint8_t>(address[2] ^ 0xA4),
                                   static_cast<std::uint8_t>(address[3] ^ 0x42)};
    return append_stun_attribute(out, kAttrXorPeerAddress, value, sizeof value);
}

bool decode_xor_address(const std::uint8_t* value, std::size_t length, std::string& address,
                        std::uint16_t& port) {
    if (value == nullptr || length < 8 || value[1] != 0x01) {
        return false;
    }
    port = read_be16(value + 2) ^ static_cast<std::uint16_t>(kStunMagicCookie >> 16);
    const std::uint32_t ip = read_be32(value + 4) ^ kStunMagicCookie;
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (ip >> 24) & 0xFF, (ip >> 16) & 0xFF,
                  (ip >> 8) & 0xFF, ip & 0xFF);
    address = text;
    return true;
}

bool encode_send_indication(std::vector<std::uint8_t>& out, const StunTransactionId& transaction_id,
                            const Ipv4Bytes& peer, std::uint16_t peer_port,
                            const std::uint8_t* data, std::size_t length) {
    write_stun_header(out, stun_message_type(kMethodSend, kStunIndication), transaction_id);
    return append_xor_peer_address(out, peer, peer_port) &&
           append_stun_attribute(out, kAttrData, data, length) &&
           write_stun_length(out, out.size() - kStunHeaderSize);
}

bool parse_stun_message(const std::uint8_t* bytes, std::size_t size, StunMessage& out) {
    out = StunMessage{};
    if (bytes == nullptr || size < kStunHeaderSize || bytes[0] > 63 ||
        read_be32(bytes + 4) != kStunMagicCookie) {
        return false;
    }
    const std::uint16_t length = read_be16(bytes + 2);
    if (length % 4 != 0 || kStunHeaderSize + length > size) {
        return false;
    }
    out.type = read_be16(bytes);
    out.total_length = kStunHeaderSize + length;
    std::copy(bytes + 8, bytes + 20, out.transaction_id.begin());
    out.bytes = bytes;
    if (!walk_attributes(bytes, out.total_length, out)) {
        out = StunMessage{};
        return false;
    }
    return true;
}

void drop_unprotected_attributes(StunMessage& message) {
    auto it = std::find_if(message.attributes.begin(), message.attributes.end(),
                           [](const StunAttribute& a) { return a.type == kAttrMessageIntegrity; });
    if (it != message.attributes.end()) {
        message.attributes.erase(it + 1, message.attributes.end());
    }
}

StunErrorCode read_error_code(const StunMessage& message) {
    StunErrorCode result;
    for (const auto& attribute : message.attributes) {
        if (attribute.type != kAttrErrorCode || attribute.length < 4) {
            continue;
        }
        const auto value = message.value(attribute);
        result.code = (value[2] & 0x7) * 100 + value[3];
        result.reason = sanitize_reason_phrase(value.data() + 4, value.size() - 4);
        break;
    }
    return result;
}

std::string sanitize_reason_phrase(const std::uint8_t* bytes, std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length && text.size() < kMaxReasonPhraseLength; ++i) {
        const std::uint8_t c = bytes[i];
        if (c < 0x20 || c == 0x7F) {
            continue;
        }
        text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return text;
}

bool read_u32_attribute(const StunMessage& message, std::uint16_t type, std::uint32_t& value) {
    const StunAttribute* attribute = message.find(type);
    if (attribute == nullptr || attribute->length < 4) {
        return false;
    }
    value = read_be32(message.value(*attribute).data());
    return true;
}

std::string read_text_attribute(const StunMessage& message, std::uint16_t type) {
    const StunAttribute* attribute = message.find(type);
    if (attribute == nullptr) {
        return {};
    }
    const auto value = message.value(*attribute);
    return std::string(value.begin(), value.end());
}

std::string format_stun_method(std::uint16_t method) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%03x", static_cast<unsigned>(method));
    return text;
}

std::string_view stun_error_reason(int code) {
    switch (code) {
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 420:
            return "Unknown Attribute";
        case 437:
            return "Allocation Mismatch";
        case 438:
            return "Stale Nonce";
        case 440:
            return "Address Family Not Supported";
        case 441:
            return "Wrong Credentials";
        case 442:
            return "Unsupported Transport Protocol";
        case 443:
            return "Peer Address Family Mismatch";
        case 486:
            return "Allocation Quota Reached";
        case 500:
            return "Server Error";
        case 508:
            return "Insufficient Capacity";
        default:
            return "Error";
    }
}

bool encode_channel_data_header(std::uint16_t channel, std::size_t length,
                                std::array<std::uint8_t, 4>& header) {
    if (channel < kMinChannelNumber || channel > kMaxChannelNumber || length > 0xFFFF) {
        return false;
    }
    put_u16(header.data(), channel);
    put_u16(header.data() + 2, static_cast<std::uint16_t>(length));
    return true;
}

bool append_channel_data(std::vector<std::uint8_t>& out, std::uint16_t channel,
                         const std::uint8_t* data, std::size_t length) {
    std::array<std::uint8_t, 4> header{};
    if (!encode_channel_data_header(channel, length, header) || (data == nullptr && length > 0)) {
        return false;
    }
    out.insert(out.end(), header.begin(), header.end());
    if (length > 0) {
        out.insert(out.end(), data, data + length);
    }
    return true;
}

bool parse_channel_data(const std::uint8_t* bytes, std::size_t size, ChannelDataView& out) {
    if (bytes == nullptr || size < 4 || bytes[0] < 0x40 || bytes[0] > 0x7F) {
        return false;
    }
    const std::size_t length = read_be16(bytes + 2);
    if (length + 4 > size) {
        return false;
    }
    out.channel = read_be16(bytes);
    out.payload = bytes + 4;
    out.length = length;
    return true;
}

bool looks_like_stun(const std::uint8_t* bytes, std::size_t size) {
    return bytes != nullptr && size >= kStunHeaderSize && bytes[0] <= 63 &&
           read_be32(bytes + 4) == kStunMagicCookie;
}

}  // namespace vx::network
