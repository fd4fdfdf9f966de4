// The cryptographic half of the STUN codec: request encoding with MESSAGE-INTEGRITY, its check,
// the long-term key and FINGERPRINT.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <string>

#include "traversal/stun/stun_codec.hpp"

namespace vx::network {

namespace {

constexpr std::size_t kIntegrityAttributeSize = 24;  // 4-byte header + 20-byte HMAC-SHA1
constexpr std::uint32_t kFingerprintXor = 0x5354554E;

void put_u16(std::uint8_t* p, std::size_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

}  // namespace

bool hmac_sha1(const std::uint8_t* key, std::size_t key_length, const std::uint8_t* data,
               std::size_t length, std::array<std::uint8_t, 20>& out) {
    static const std::uint8_t empty = 0;
    unsigned int out_length = 0;
    const unsigned char* result =
        HMAC(EVP_sha1(), key != nullptr ? key : &empty, static_cast<int>(key_length),
             data != nullptr ? data : &empty, length, out.data(), &out_length);
    return result != nullptr && out_length == out.size();
}

bool compute_long_term_key(std::string_view username, std::string_view realm,
                           std::string_view password, TurnKey& key) {
    std::string text;
    text.reserve(username.size() + realm.size() + password.size() + 2);
    text.append(username).append(":").append(realm).append(":").append(password);
    unsigned int length = 0;
    const int ok = EVP_Digest(text.data(), text.size(), key.data(), &length, EVP_md5(), nullptr);
    return ok == 1 && length == key.size();
}

bool encode_stun_request(std::vector<std::uint8_t>& out, std::uint16_t method,
                         const StunTransactionId& transaction_id,
                         const StunAttributeAppender& append_attributes, bool authenticated,
                         std::string_view username, std::string_view realm, std::string_view nonce,
                         std::span<const std::uint8_t> key) {
    write_stun_header(out, stun_message_type(method, kStunRequest), transaction_id);
    if (!append_attributes || !append_attributes(out)) {
        return false;
    }
    if (!authenticated) {
        return write_stun_length(out, out.size() - kStunHeaderSize);
    }
    if (!append_stun_attribute(out, kAttrUsername, username) ||
        !append_stun_attribute(out, kAttrRealm, realm) ||
        !append_stun_attribute(out, kAttrNonce, nonce)) {
        return false;
    }
    const std::size_t body = out.size() - kStunHeaderSize + kIntegrityAttributeSize;
    if (!write_stun_length(out, body)) {
        return false;
    }
    std::array<std::uint8_t, 20> mac{};
    if (!hmac_sha1(key.data(), key.size(), out.data(), out.size(), mac)) {
        return false;
    }
    append_stun_attribute(out, kAttrMessageIntegrity, mac.data(), mac.size());
    return out.size() - kStunHeaderSize == body;
}

bool check_message_integrity(const std::uint8_t* bytes, std::size_t size,
                             const StunMessage& message, std::span<const std::uint8_t> key) {
    const StunAttribute* attribute = message.find(kAttrMessageIntegrity);
    if (bytes == nullptr || attribute == nullptr || attribute->length != 20 ||
        attribute->offset < kStunHeaderSize || attribute->offset + kIntegrityAttributeSize > size ||
        attribute->offset + kIntegrityAttributeSize > message.total_length ||
        attribute->offset + 4 > kStunMaxBodyLength) {
        return false;
    }
    std::vector<std::uint8_t> copy(bytes, bytes + attribute->offset);
    put_u16(copy.data() + 2, attribute->offset + 4);
    std::array<std::uint8_t, 20> mac{};
    if (!hmac_sha1(key.data(), key.size(), copy.data(), copy.size(), mac)) {
        return false;
    }
    const std::uint8_t* received = bytes + attribute->offset + 4;
    std::uint8_t difference = 0;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        difference |= static_cast<std::uint8_t>(mac[i] ^ received[i]);
    }
    return difference == 0;
}

std::uint32_t crc32(const std::uint8_t* bytes, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// FINGERPRINT must be the last attribute; the CRC covers everything before it with the length
// field as it stands (the message already ends after FINGERPRINT).
bool check_fingerprint(const std::uint8_t* bytes, std::size_t size, const StunMessage& message) {
    if (bytes == nullptr || message.attributes.empty()) {
        return false;
    }
    const StunAttribute& last = message.attributes.back();
    if (last.type != kAttrFingerprint || last.length != 4 || last.offset + 8 > size) {
        return false;
    }
    const std::uint8_t* value = bytes + last.offset + 4;
    return (crc32(bytes, last.offset) ^ kFingerprintXor) == read_be32(value);
}

}  // namespace vx::network
