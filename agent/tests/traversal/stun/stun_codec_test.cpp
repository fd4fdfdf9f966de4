#include "traversal/stun/stun_codec.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vx::network {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::span<const std::uint8_t> as_key(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// RFC 5769 section 2.1: sample request, short-term password "VOkJxbRl1RmTxUk/WvJxBt".
const Bytes kRfcRequest = {
    0x00, 0x01, 0x00, 0x58, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86,
    0xfa, 0x87, 0xdf, 0xae, 0x80, 0x22, 0x00, 0x10, 0x53, 0x54, 0x55, 0x4e, 0x20, 0x74, 0x65, 0x73,
    0x74, 0x20, 0x63, 0x6c, 0x69, 0x65, 0x6e, 0x74, 0x00, 0x24, 0x00, 0x04, 0x6e, 0x00, 0x01, 0xff,
    0x80, 0x29, 0x00, 0x08, 0x93, 0x2f, 0xf9, 0xb1, 0x51, 0x26, 0x3b, 0x36, 0x00, 0x06, 0x00, 0x09,
    0x65, 0x76, 0x74, 0x6a, 0x3a, 0x68, 0x36, 0x76, 0x59, 0x20, 0x20, 0x20, 0x00, 0x08, 0x00, 0x14,
    0x9a, 0xea, 0xa7, 0x0c, 0xbf, 0xd8, 0xcb, 0x56, 0x78, 0x1e, 0xf2, 0xb5, 0xb2, 0xd3, 0xf2, 0x49,
    0xc1, 0xb5, 0x71, 0xa2, 0x80, 0x28, 0x00, 0x04, 0xe5, 0x7a, 0x3b, 0xcf};

// RFC 5769 section 2.2: IPv4 response, mapped 192.0.2.1:32853.
const Bytes kRfcIpv4Response = {
    0x01, 0x01, 0x00, 0x3c, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86,
    0xfa, 0x87, 0xdf, 0xae, 0x80, 0x22, 0x00, 0x0b, 0x74, 0x65, 0x73, 0x74, 0x20, 0x76, 0x65, 0x63,
    0x74, 0x6f, 0x72, 0x20, 0x00, 0x20, 0x00, 0x08, 0x00, 0x01, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43,
    0x00, 0x08, 0x00, 0x14, 0x2b, 0x91, 0xf5, 0x99, 0xfd, 0x9e, 0x90, 0xc3, 0x8c, 0x74, 0x89, 0xf9,
    0x2a, 0xf9, 0xba, 0x53, 0xf0, 0x6b, 0xe7, 0xd7, 0x80, 0x28, 0x00, 0x04, 0xc0, 0x7d, 0x4c, 0x96};

// RFC 5769 section 2.3: IPv6 response.
const Bytes kRfcIpv6Response = {
    0x01, 0x01, 0x00, 0x48, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86,
    0xfa, 0x87, 0xdf, 0xae, 0x80, 0x22, 0x00, 0x0b, 0x74, 0x65, 0x73, 0x74, 0x20, 0x76, 0x65, 0x63,
    0x74, 0x6f, 0x72, 0x20, 0x00, 0x20, 0x00, 0x14, 0x00, 0x02, 0xa1, 0x47, 0x01, 0x13, 0xa9, 0xfa,
    0xa5, 0xd3, 0xf1, 0x79, 0xbc, 0x25, 0xf4, 0xb5, 0xbe, 0xd2, 0xb9, 0xd9, 0x00, 0x08, 0x00, 0x14,
    0xa3, 0x82, 0x95, 0x4e, 0x4b, 0xe6, 0x7b, 0xf1, 0x17, 0x84, 0xc9, 0x7c, 0x82, 0x92, 0xc2, 0x75,
    0xbf, 0xe3, 0xed, 0x41, 0x80, 0x28, 0x00, 0x04, 0xc8, 0xfb, 0x0b, 0x4c};

// RFC 5769 section 2.4: request with long-term authentication.
const Bytes kRfcLongTermRequest = {
    0x00, 0x01, 0x00, 0x60, 0x21, 0x12, 0xa4, 0x42, 0x78, 0xad, 0x34, 0x33, 0xc6, 0xad, 0x72,
    0xc0, 0x29, 0xda, 0x41, 0x2e, 0x00, 0x06, 0x00, 0x12, 0xe3, 0x83, 0x9e, 0xe3, 0x83, 0x88,
    0xe3, 0x83, 0xaa, 0xe3, 0x83, 0x83, 0xe3, 0x82, 0xaf, 0xe3, 0x82, 0xb9, 0x00, 0x00, 0x00,
    0x15, 0x00, 0x1c, 0x66, 0x2f, 0x2f, 0x34, 0x39, 0x39, 0x6b, 0x39, 0x35, 0x34, 0x64, 0x36,
    0x4f, 0x4c, 0x33, 0x34, 0x6f, 0x4c, 0x39, 0x46, 0x53, 0x54, 0x76, 0x79, 0x36, 0x34, 0x73,
    0x41, 0x00, 0x14, 0x00, 0x0b, 0x65, 0x78, 0x61, 0x6d, 0x70, 0x6c, 0x65, 0x2e, 0x6f, 0x72,
    0x67, 0x00, 0x00, 0x08, 0x00, 0x14, 0xf6, 0x70, 0x24, 0x65, 0x6d, 0xd6, 0x4a, 0x3e, 0x02,
    0xb8, 0xe0, 0x71, 0x2e, 0x85, 0xc9, 0xa2, 0x8c, 0xa8, 0x96, 0x66};

const std::string kShortTermPassword = "VOkJxbRl1RmTxUk/WvJxBt";

TEST(StunCodecRfc5769, VectorsCheckIntegrityAndFingerprint) {
    for (const Bytes* vector : {&kRfcRequest, &kRfcIpv4Response, &kRfcIpv6Response}) {
        StunMessage message;
        ASSERT_TRUE(parse_stun_message(vector->data(), vector->size(), message));
        EXPECT_EQ(message.total_length, vector->size());
        EXPECT_TRUE(check_message_integrity(vector->data(), vector->size(), message,
                                            as_key(kShortTermPassword)));
        EXPECT_TRUE(check_fingerprint(vector->data(), vector->size(), message));
        EXPECT_FALSE(check_message_integrity(vector->data(), vector->size(), message,
                                             as_key("wrong password")));
    }
}

TEST(StunCodecRfc5769, LongTermKeyVerifiesSection24) {
    // Username "マトリックス", realm "example.org", password "TheMatrIX" after SASLprep.
    const std::string user =
        "\xe3\x83\x9e\xe3\x83\x88\xe3\x83\xaa\xe3\x83\x83\xe3\x82\xaf\xe3\x82\xb9";
    TurnKey key{};
    ASSERT_TRUE(compute_long_term_key(user, "example.org", "TheMatrIX", key));
    StunMessage message;
    ASSERT_TRUE(
        parse_stun_message(kRfcLongTermRequest.data(), kRfcLongTermRequest.size(), message));
    EXPECT_EQ(read_text_attribute(message, kAttrUsername), user);
    EXPECT_EQ(read_text_attribute(message, kAttrRealm), "example.org");
    EXPECT_EQ(read_text_attribute(message, kAttrNonce), "f//499k954d6OL34oL9FSTvy64sA");
    EXPECT_TRUE(check_message_integrity(kRfcLongTermRequest.data(), kRfcLongTermRequest.size(),
                                        message, key));
}

TEST(StunCodecRfc5769, Ipv4ResponseDecodesMappedAddressAndIpv6IsRefused) {
    StunMessage message;
    ASSERT_TRUE(parse_stun_message(kRfcIpv4Response.data(), kRfcIpv4Response.size(), message));
    EXPECT_EQ(message.method(), kMethodBinding);
    EXPECT_EQ(message.message_class(), kStunSuccess);
    const auto* mapped = message.find(kAttrXorMappedAddress);
    ASSERT_NE(mapped, nullptr);
    std::string address;
    std::uint16_t port = 0;
    ASSERT_TRUE(decode_xor_address(message.value(*mapped).data(), mapped->length, address, port));
    EXPECT_EQ(address, "192.0.2.1");
    EXPECT_EQ(port, 32853);

    ASSERT_TRUE(parse_stun_message(kRfcIpv6Response.data(), kRfcIpv6Response.size(), message));
    mapped = message.find(kAttrXorMappedAddress);
    ASSERT_NE(mapped, nullptr);
    EXPECT_FALSE(decode_xor_address(message.value(*mapped).data(), mapped->length, address, port));
}

TEST(StunCodecParse, EveryPrefixAndEveryFlippedByteIsSafe) {
    for (const Bytes* vector :
         {&kRfcRequest, &kRfcIpv4Response, &kRfcIpv6Response, &kRfcLongTermRequest}) {
        for (std::size_t n = 0; n < vector->size(); ++n) {
            // A copy of exactly n bytes so the sanitizer sees any read past the end.
            const Bytes prefix(vector->begin(), vector->begin() + n);
            StunMessage message;
            EXPECT_FALSE(parse_stun_message(prefix.empty() ? nullptr : prefix.data(), n, message))
                << "prefix " << n;
            ChannelDataView view;
            EXPECT_FALSE(parse_channel_data(prefix.data(), n, view));
        }
        StunMessage original;
        ASSERT_TRUE(parse_stun_message(vector->data(), vector->size(), original));
        const auto* integrity = original.find(kAttrMessageIntegrity);
        ASSERT_NE(integrity, nullptr);
        const std::size_t protected_end = integrity->offset + 24;
        for (std::size_t i = 0; i < vector->size(); ++i) {
            Bytes changed = *vector;
            changed[i] ^= 0xFF;
            StunMessage message;
            if (!parse_stun_message(changed.data(), changed.size(), message)) {
                continue;
            }
            read_error_code(message);
            if (i < protected_end) {
                EXPECT_FALSE(check_message_integrity(changed.data(), changed.size(), message,
                                                     as_key(kShortTermPassword)))
                    << "flipped byte " << i;
            }
        }
    }
}

TEST(StunCodecParse, HeaderAndAttributeBounds) {
    Bytes message = {0x01, 0x13, 0x00, 0x08, 0x21, 0x12, 0xA4, 0x42, 1,    2,    3,    4,
                     5,    6,    7,    8,    9,    10,   11,   12,   0x00, 0x09, 0x00, 0x08};
    message.resize(20 + 12, 0);
    StunMessage parsed;
    // Length says 8, but the 8-byte value needs 12 bytes: refused.
    EXPECT_FALSE(parse_stun_message(message.data(), message.size(), parsed));

    Bytes twenty = {0x01, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42, 1,  2,
                    3,    4,    5,    6,    7,    8,    9,    10,   11, 12};
    EXPECT_TRUE(parse_stun_message(twenty.data(), twenty.size(), parsed));
    EXPECT_TRUE(parsed.attributes.empty());
    twenty.insert(twenty.end(), {0, 0, 0, 0});  // trailing bytes after the message are ignored
    EXPECT_TRUE(parse_stun_message(twenty.data(), twenty.size(), parsed));
    EXPECT_EQ(parsed.total_length, 20u);
    twenty[0] = 0x40;  // ChannelData range is never STUN
    EXPECT_FALSE(parse_stun_message(twenty.data(), twenty.size(), parsed));
    twenty[0] = 0x01;
    twenty[3] = 0x02;  // not a multiple of 4
    EXPECT_FALSE(parse_stun_message(twenty.data(), twenty.size(), parsed));
    twenty[3] = 0x00;
    twenty[7] = 0x43;  // wrong cookie
    EXPECT_FALSE(parse_stun_message(twenty.data(), twenty.size(), parsed));
}

TEST(StunCodecTypes, MethodAndClassPacking) {
    EXPECT_EQ(stun_message_type(kMethodAllocate, kStunRequest), 0x0003);
    EXPECT_EQ(stun_message_type(kMethodAllocate, kStunSuccess), 0x0103);
    EXPECT_EQ(stun_message_type(kMethodAllocate, kStunError), 0x0113);
    EXPECT_EQ(stun_message_type(kMethodData, kStunIndication), 0x0017);
    EXPECT_EQ(stun_message_type(kMethodSend, kStunIndication), 0x0016);
    for (std::uint16_t type : {0x0103, 0x0113}) {
        EXPECT_EQ(stun_method_of(type), kMethodAllocate);
    }
    EXPECT_EQ(stun_class_of(0x0103), kStunSuccess);
    EXPECT_EQ(stun_class_of(0x0113), kStunError);
    for (std::uint16_t method = 0; method < 0x1000; method += 0x7) {
        for (std::uint8_t c = 0; c < 4; ++c) {
            const auto type = stun_message_type(method, c);
            ASSERT_EQ(stun_method_of(type), method);
            ASSERT_EQ(stun_class_of(type), c);
            ASSERT_LT(type, 0x4000);
        }
    }
    EXPECT_EQ(format_stun_method(kMethodAllocate), "0x003");
    EXPECT_EQ(stun_error_reason(438), "Stale Nonce");
    EXPECT_EQ(stun_error_reason(499), "Error");
}

TEST(StunCodecEncode, AttributePaddingXorPeerAndOversizeRefusal) {
    Bytes out;
    const std::uint8_t five[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(append_stun_attribute(out, 0x0013, five, 5));
    EXPECT_EQ(out, (Bytes{0x00, 0x13, 0x00, 0x05, 1, 2, 3, 4, 5, 0, 0, 0}));

    out.clear();
    ASSERT_TRUE(append_xor_peer_address(out, {192, 0, 2, 1}, 5000));
    EXPECT_EQ(out, (Bytes{0x00, 0x12, 0x00, 0x08, 0x00, 0x01, 0x32, 0x9A, 0xE1, 0x12, 0xA6, 0x43}));

    out.clear();
    const Bytes big(0x10000, 0xAB);
    EXPECT_FALSE(append_stun_attribute(out, kAttrData, big.data(), big.size()));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(append_stun_attribute(out, kAttrData, big.data(), 0xFFFF));
}

TEST(StunCodecEncode, AuthenticatedAllocateLayoutAndSelfCheck) {
    const StunTransactionId id = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    TurnKey key{};
    ASSERT_TRUE(compute_long_term_key("vxuser", "vx.test", "vxpass", key));
    Bytes out;
    auto appender = [](Bytes& m) {
        const std::uint8_t udp[4] = {17, 0, 0, 0};
        return append_stun_attribute(m, kAttrRequestedTransport, udp, 4) &&
               append_u32_attribute(m, kAttrLifetime, 600);
    };
    ASSERT_TRUE(encode_stun_request(out, kMethodAllocate, id, appender, true, "vxuser", "vx.test",
                                    "nonce-1", key));
    StunMessage message;
    ASSERT_TRUE(parse_stun_message(out.data(), out.size(), message));
    ASSERT_EQ(message.attributes.size(), 6u);
    const std::uint16_t order[] = {
        kAttrRequestedTransport, kAttrLifetime, kAttrUsername, kAttrRealm, kAttrNonce,
        kAttrMessageIntegrity};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(message.attributes[i].type, order[i]);
    }
    EXPECT_EQ(message.total_length, out.size());
    EXPECT_EQ(message.type, 0x0003);
    EXPECT_EQ(message.transaction_id, id);
    EXPECT_TRUE(check_message_integrity(out.data(), out.size(), message, key));

    // Unauthenticated: no credentials at all.
    ASSERT_TRUE(encode_stun_request(out, kMethodAllocate, id, appender, false, "", "", "", {}));
    ASSERT_TRUE(parse_stun_message(out.data(), out.size(), message));
    EXPECT_EQ(message.attributes.size(), 2u);

    // A request that would not fit the 16-bit length is refused.
    auto huge = [](Bytes& m) {
        const Bytes big(0xFFF0, 0);
        return append_stun_attribute(m, kAttrData, big.data(), big.size());
    };
    EXPECT_FALSE(encode_stun_request(out, kMethodSend, id, huge, true, "u", "r", "n", key));
}

TEST(StunCodecIntegrity, ShortOrMissingIntegrityFailsAndTrailingAttributesAreDropped) {
    const StunTransactionId id{};
    TurnKey key{};
    ASSERT_TRUE(compute_long_term_key("u", "r", "p", key));
    Bytes out;
    ASSERT_TRUE(encode_stun_request(
        out, kMethodRefresh, id,
        [](Bytes& m) { return append_u32_attribute(m, kAttrLifetime, 70); }, true, "u", "r", "n",
        key));
    // Append an unprotected LIFETIME after MESSAGE-INTEGRITY, as an attacker on the path could.
    ASSERT_TRUE(append_u32_attribute(out, kAttrLifetime, 0));
    out[3] = static_cast<std::uint8_t>(out.size() - 20);
    StunMessage message;
    ASSERT_TRUE(parse_stun_message(out.data(), out.size(), message));
    ASSERT_TRUE(check_message_integrity(out.data(), out.size(), message, key));
    drop_unprotected_attributes(message);
    EXPECT_EQ(message.attributes.back().type, kAttrMessageIntegrity);
    std::uint32_t lifetime = 0;
    ASSERT_TRUE(read_u32_attribute(message, kAttrLifetime, lifetime));
    EXPECT_EQ(lifetime, 70u);

    // A 19-byte integrity value fails.
    Bytes shortened = {0x01, 0x04, 0x00, 0x18, 0x21, 0x12, 0xA4, 0x42, 0,    0,    0,    0,
                       0,    0,    0,    0,    0,    0,    0,    0,    0x00, 0x08, 0x00, 0x13};
    shortened.resize(44, 0);
    ASSERT_TRUE(parse_stun_message(shortened.data(), shortened.size(), message));
    EXPECT_FALSE(check_message_integrity(shortened.data(), shortened.size(), message, key));
    Bytes bare = {0x01, 0x04, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42, 0, 0,
                  0,    0,    0,    0,    0,    0,    0,    0,    0, 0};
    ASSERT_TRUE(parse_stun_message(bare.data(), bare.size(), message));
    EXPECT_FALSE(check_message_integrity(bare.data(), bare.size(), message, key));
}

TEST(StunCodecErrorCode, ReasonPhraseIsSanitisedAndCapped) {
    Bytes message = {0x01, 0x13, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42, 0, 0,
                     0,    0,    0,    0,    0,    0,    0,    0,    0, 0};
    Bytes value = {0, 0, 4, 86};
    const std::string phrase =
        std::string("Quota\0\r\n\x1b[31mfull\xff", 19) + std::string(300, 'x');
    value.insert(value.end(), phrase.begin(), phrase.end());
    ASSERT_TRUE(append_stun_attribute(message, kAttrErrorCode, value.data(), value.size()));
    message[2] = static_cast<std::uint8_t>((message.size() - 20) >> 8);
    message[3] = static_cast<std::uint8_t>(message.size() - 20);
    StunMessage parsed;
    ASSERT_TRUE(parse_stun_message(message.data(), message.size(), parsed));
    const auto error = read_error_code(parsed);
    EXPECT_EQ(error.code, 486);
    EXPECT_EQ(error.reason.size(), kMaxReasonPhraseLength);
    EXPECT_EQ(error.reason.substr(0, 14), "Quota[31mfull?");
    for (char c : error.reason) {
        EXPECT_GE(static_cast<unsigned char>(c), 0x20);
        EXPECT_LT(static_cast<unsigned char>(c), 0x7F);
    }
}

TEST(StunCodecChannelData, FramesWithoutPaddingAndIgnoresTrailingBytes) {
    Bytes out;
    const std::uint8_t payload[5] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_TRUE(append_channel_data(out, 0x4001, payload, 5));
    EXPECT_EQ(out, (Bytes{0x40, 0x01, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o'}));
    out.push_back(0);  // padding a server may add
    ChannelDataView view;
    ASSERT_TRUE(parse_channel_data(out.data(), out.size(), view));
    EXPECT_EQ(view.channel, 0x4001);
    EXPECT_EQ(view.length, 5u);
    EXPECT_EQ(std::string(view.payload, view.payload + view.length), "hello");
    EXPECT_FALSE(append_channel_data(out, 0x3FFF, payload, 5));
    EXPECT_FALSE(append_channel_data(out, 0x8000, payload, 5));
    std::array<std::uint8_t, 4> header{};
    EXPECT_FALSE(encode_channel_data_header(0x4000, 0x10000, header));
}

TEST(StunCodecSendIndication, CarriesPeerAndData) {
    Bytes out;
    const StunTransactionId id = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    const std::uint8_t data[3] = {1, 2, 3};
    ASSERT_TRUE(encode_send_indication(out, id, {127, 0, 0, 1}, 4000, data, 3));
    StunMessage message;
    ASSERT_TRUE(parse_stun_message(out.data(), out.size(), message));
    EXPECT_EQ(message.type, 0x0016);
    ASSERT_EQ(message.attributes.size(), 2u);
    std::string address;
    std::uint16_t port = 0;
    const auto* peer = message.find(kAttrXorPeerAddress);
    ASSERT_TRUE(decode_xor_address(message.value(*peer).data(), peer->length, address, port));
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, 4000);
    EXPECT_EQ(out.size(), 20u + 12u + 8u);  // 36 bytes of overhead plus padded data
}

}  // namespace
}  // namespace vx::network
