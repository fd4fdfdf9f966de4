#pragma once

// STUN (RFC 5389) and TURN (RFC 5766) messages as pure functions: bytes in, values out, and the
// other way round. No socket, clock or logger in here; every length is checked before a read.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vx::network {

inline constexpr std::uint32_t kStunMagicCookie = 0x2112A442;
inline constexpr std::size_t kStunHeaderSize = 20;
inline constexpr std::size_t kStunMaxBodyLength = 0xFFFF;
// Reason phrases come from the server and end up in logs and error texts.
inline constexpr std::size_t kMaxReasonPhraseLength = 128;

using StunTransactionId = std::array<std::uint8_t, 12>;
// TURN's long-term key: MD5(user ":" realm ":" password).
using TurnKey = std::array<std::uint8_t, 16>;
using Ipv4Bytes = std::array<std::uint8_t, 4>;

enum StunClass : std::uint8_t {
    kStunRequest = 0,
    kStunIndication = 1,
    kStunSuccess = 2,
    kStunError = 3,
};

enum StunMethod : std::uint16_t {
    kMethodBinding = 0x001,
    kMethodAllocate = 0x003,
    kMethodRefresh = 0x004,
    kMethodSend = 0x006,
    kMethodData = 0x007,
    kMethodCreatePermission = 0x008,
    kMethodChannelBind = 0x009,
};

enum StunAttributeType : std::uint16_t {
    kAttrMappedAddress = 0x0001,
    kAttrUsername = 0x0006,
    kAttrMessageIntegrity = 0x0008,
    kAttrErrorCode = 0x0009,
    kAttrChannelNumber = 0x000C,
    kAttrLifetime = 0x000D,
    kAttrXorPeerAddress = 0x0012,
    kAttrData = 0x0013,
    kAttrRealm = 0x0014,
    kAttrNonce = 0x0015,
    kAttrXorRelayedAddress = 0x0016,
    kAttrRequestedTransport = 0x0019,
    kAttrXorMappedAddress = 0x0020,
    kAttrFingerprint = 0x8028,
};

// One attribute of a parsed message: its type, where its 4-byte header starts (from the start of
// the message) and the length of its value without padding.
struct StunAttribute {
    std::uint16_t type = 0;
    std::size_t offset = 0;
    std::uint16_t length = 0;
};

// The parse result. `bytes` points into the caller's buffer, which must outlive the record.
struct StunMessage {
    std::uint16_t type = 0;
    std::size_t total_length = 0;  // 20 + the length field
    StunTransactionId transaction_id{};
    std::vector<StunAttribute> attributes;
    const std::uint8_t* bytes = nullptr;

    std::uint16_t method() const;
    std::uint8_t message_class() const;
    // First attribute of that type, or null.
    const StunAttribute* find(std::uint16_t attribute_type) const;
    std::span<const std::uint8_t> value(const StunAttribute& attribute) const;
};

// Big-endian fields; the caller has checked that the bytes are there.
inline std::uint16_t read_be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t read_be32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

// Replaces `out` with a 20-byte header: type, length 0, magic cookie, transaction id.
void write_stun_header(std::vector<std::uint8_t>& out, std::uint16_t type,
                       const StunTransactionId& transaction_id);
// Writes `body` (the bytes after the header) into the length field; false when it does not fit.
bool write_stun_length(std::vector<std::uint8_t>& out, std::size_t body);
// A Binding request without attributes: the 20 bytes STUN clients send to learn their mapping.
std::array<std::uint8_t, 20> binding_request_bytes(const StunTransactionId& transaction_id);

std::uint16_t stun_message_type(std::uint16_t method, std::uint8_t message_class);
std::uint16_t stun_method_of(std::uint16_t type);
std::uint8_t stun_class_of(std::uint16_t type);

// Appends type, length, value and zero padding to the next multiple of 4. A value longer than the
// 16-bit length field can carry is refused (false, nothing appended).
bool append_stun_attribute(std::vector<std::uint8_t>& out, std::uint16_t type,
                           const std::uint8_t* value, std::size_t length);
bool append_stun_attribute(std::vector<std::uint8_t>& out, std::uint16_t type,
                           std::string_view value);
bool append_u32_attribute(std::vector<std::uint8_t>& out, std::uint16_t type, std::uint32_t value);

// XOR-PEER-ADDRESS for an IPv4 peer (address bytes in network order).
bool append_xor_peer_address(std::vector<std::uint8_t>& out, const Ipv4Bytes& address,
                             std::uint16_t port);

// An XOR-coded IPv4 transport address: false for fewer than 8 bytes or a family other than 1.
bool decode_xor_address(const std::uint8_t* value, std::size_t length, std::string& address,
                        std::uint16_t& port);

// Appends the request's own attributes; false refuses the request.
using StunAttributeAppender = std::function<bool(std::vector<std::uint8_t>&)>;

// Builds a request. Authenticated requests get USERNAME, REALM, NONCE and MESSAGE-INTEGRITY (HMAC
// over the message with its length already counting the integrity attribute). No FINGERPRINT.
// False when the message would not fit the 16-bit length or the HMAC fails.
bool encode_stun_request(std::vector<std::uint8_t>& out, std::uint16_t method,
                         const StunTransactionId& transaction_id,
                         const StunAttributeAppender& append_attributes, bool authenticated,
                         std::string_view username, std::string_view realm, std::string_view nonce,
                         std::span<const std::uint8_t> key);

// A Send indication (no credentials) carrying `data` to the peer.
bool encode_send_indication(std::vector<std::uint8_t>& out, const StunTransactionId& transaction_id,
                            const Ipv4Bytes& peer, std::uint16_t peer_port,
                            const std::uint8_t* data, std::size_t length);

// Header and attribute walk; extra bytes after the message are ignored. False on any malformation.
bool parse_stun_message(const std::uint8_t* bytes, std::size_t size, StunMessage& out);

// HMAC-SHA1 over the message up to the first MESSAGE-INTEGRITY, with the length field adjusted
// to end after it. The key may have any length (short-term passwords, the 16-byte TURN key).
bool check_message_integrity(const std::uint8_t* bytes, std::size_t size,
                             const StunMessage& message, std::span<const std::uint8_t> key);

// Only attributes before MESSAGE-INTEGRITY (and the attribute itself) are protected by it; once
// the check passed, everything after it is dropped from the index so nothing reads it.
void drop_unprotected_attributes(StunMessage& message);

// FINGERPRINT (CRC-32 XOR 0x5354554E) of the last attribute; never sent by this client.
bool check_fingerprint(const std::uint8_t* bytes, std::size_t size, const StunMessage& message);
std::uint32_t crc32(const std::uint8_t* bytes, std::size_t size);

bool compute_long_term_key(std::string_view username, std::string_view realm,
                           std::string_view password, TurnKey& key);
bool hmac_sha1(const std::uint8_t* key, std::size_t key_length, const std::uint8_t* data,
               std::size_t length, std::array<std::uint8_t, 20>& out);

// ERROR-CODE of a message: code 0 without one (or with a value shorter than 4 bytes). The reason
// phrase is the server's, made safe for logs.
struct StunErrorCode {
    int code = 0;
    std::string reason;
};
StunErrorCode read_error_code(const StunMessage& message);

// Printable ASCII only (everything else becomes '?', NULs and control characters are dropped),
// at most kMaxReasonPhraseLength characters.
std::string sanitize_reason_phrase(const std::uint8_t* bytes, std::size_t length);

// First 4 bytes of the attribute as u32; false when absent or shorter.
bool read_u32_attribute(const StunMessage& message, std::uint16_t type, std::uint32_t& value);
// The whole value as text; empty when absent.
std::string read_text_attribute(const StunMessage& message, std::uint16_t type);

std::string format_stun_method(std::uint16_t method);
std::string_view stun_error_reason(int code);

// ChannelData (RFC 5766 section 11.4): channel 0x4000-0x7FFF, length, payload; no padding.
inline constexpr std::uint16_t kMinChannelNumber = 0x4000;
inline constexpr std::uint16_t kMaxChannelNumber = 0x7FFF;

bool encode_channel_data_header(std::uint16_t channel, std::size_t length,
                                std::array<std::uint8_t, 4>& header);
bool append_channel_data(std::vector<std::uint8_t>& out, std::uint16_t channel,
                         const std::uint8_t* data, std::size_t length);

struct ChannelDataView {
    std::uint16_t channel = 0;
    const std::uint8_t* payload = nullptr;
    std::size_t length = 0;
};
// False when fewer than 4 bytes, the first byte is outside 0x40-0x7F or the payload is cut short.
bool parse_channel_data(const std::uint8_t* bytes, std::size_t size, ChannelDataView& out);

// True when the bytes look like a STUN message: at least 20 bytes, top two bits 0, magic cookie.
bool looks_like_stun(const std::uint8_t* bytes, std::size_t size);

}  // namespace vx::network
