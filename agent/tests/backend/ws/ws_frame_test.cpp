#include "backend/ws/ws_frame.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vx::network {
namespace {

using Bytes = WsFrameBytes;

RandomFn fixed_key(Bytes key) {
    return [key](std::uint8_t* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            out[i] = key[i % key.size()];
    };
}

Bytes parse_all(WsFrameParser& p, const Bytes& bytes) {
    EXPECT_TRUE(p.feed(bytes.data(), bytes.size()));
    Bytes payloads;
    while (p.has_frame()) {
        const WsFrame f = p.pop();
        payloads.insert(payloads.end(), f.payload.begin(), f.payload.end());
    }
    return payloads;
}

TEST(WsFrameEncode, Rfc6455MaskedHello) {
    // RFC 6455 section 5.7: a single-frame masked text message "Hello".
    const Bytes expected{0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58};
    EXPECT_EQ(encode_ws_frame(1, "Hello", fixed_key({0x37, 0xfa, 0x21, 0x3d})), expected);
    // The masked pong of the same section differs only in the opcode.
    Bytes pong = expected;
    pong[0] = 0x8a;
    EXPECT_EQ(encode_ws_frame(0xA, "Hello", fixed_key({0x37, 0xfa, 0x21, 0x3d})), pong);
}

TEST(WsFrameEncode, LengthHeadersAtEveryBoundary) {
    const auto zero = fixed_key({0, 0, 0, 0});
    struct Case {
        std::size_t size;
        Bytes header;
    };
    const std::vector<Case> cases{
        {0, {0x81, 0x80}},
        {125, {0x81, 0xFD}},
        {126, {0x81, 0xFE, 0x00, 0x7E}},
        {65535, {0x81, 0xFE, 0xFF, 0xFF}},
        {65536, {0x81, 0xFF, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        const Bytes frame = encode_ws_frame(1, std::string(c.size, 'a'), zero);
        ASSERT_EQ(frame.size(), c.header.size() + 4 + c.size) << c.size;
        EXPECT_EQ(Bytes(frame.begin(), frame.begin() + c.header.size()), c.header) << c.size;
    }
}

// Byte i of every payload goes out as byte i XOR key[i % 4], whatever the length and wherever
// the payload lies in memory; a parser fed the frame in odd pieces gets the payload back.
TEST(WsFrameEncode, MaskingMatchesTheBytewiseDefinitionAtEveryLength) {
    const Bytes key{0x9e, 0x37, 0x01, 0xc4};
    std::string source(70001, '\0');
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<char>(i * 131 + i / 251);
    for (std::size_t size : {1u, 3u, 7u, 8u, 15u, 16u, 63u, 64u, 65u, 100u, 255u, 256u, 257u, 1000u,
                             4095u, 4096u, 4097u, 8200u, 70000u}) {
        for (std::size_t offset : {0u, 1u}) {
            const std::string_view payload(source.data() + offset, size);
            const Bytes frame = encode_ws_frame(1, payload, fixed_key(key));
            const std::size_t start = frame.size() - size;
            ASSERT_EQ(Bytes(frame.begin() + start - 4, frame.begin() + start), key);
            for (std::size_t i = 0; i < size; ++i) {
                ASSERT_EQ(frame[start + i], static_cast<std::uint8_t>(payload[i]) ^ key[i % 4])
                    << "size " << size << " byte " << i;
            }
            WsFrameParser p;
            for (std::size_t at = 0; at < frame.size(); at += 4093) {
                ASSERT_TRUE(
                    p.feed(frame.data() + at, std::min<std::size_t>(4093, frame.size() - at)));
            }
            ASSERT_TRUE(p.has_frame());
            EXPECT_EQ(p.pop().payload, payload) << "size " << size;
        }
    }
}

TEST(WsFrameEncode, EveryFrameDrawsAFreshKeyAndRoundTrips) {
    std::uint8_t counter = 0;
    RandomFn counting = [&](std::uint8_t* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            out[i] = ++counter;
    };
    const Bytes a = encode_ws_frame(1, "same", counting);
    const Bytes b = encode_ws_frame(1, "same", counting);
    EXPECT_NE(Bytes(a.begin() + 2, a.begin() + 6), Bytes(b.begin() + 2, b.begin() + 6));
    WsFrameParser p;
    const Bytes out = parse_all(p, b);
    EXPECT_EQ(std::string(out.begin(), out.end()), "same");
}

TEST(WsFrameParser, Rfc6455ServerFrames) {
    WsFrameParser p;
    // Unmasked "Hello", then "Hel" + "lo" as two fragments, then an unmasked ping "Hello".
    const Bytes bytes{0x81, 0x05, 'H', 'e', 'l',  'l',  'o', 0x01, 0x03, 'H', 'e', 'l',
                      0x80, 0x02, 'l', 'o', 0x89, 0x05, 'H', 'e',  'l',  'l', 'o'};
    ASSERT_TRUE(p.feed(bytes.data(), bytes.size()));
    std::vector<WsFrame> frames;
    while (p.has_frame())
        frames.push_back(p.pop());
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].opcode, 1);
    EXPECT_TRUE(frames[0].fin);
    EXPECT_EQ(frames[0].payload, "Hello");
    EXPECT_FALSE(frames[1].fin);
    EXPECT_EQ(frames[1].payload, "Hel");
    EXPECT_EQ(frames[2].opcode, 0);
    EXPECT_EQ(frames[2].payload, "lo");
    EXPECT_EQ(frames[3].opcode, 9);
    EXPECT_TRUE(p.empty());
}

TEST(WsFrameParser, SplitAtEveryOffsetGivesTheSameFrames) {
    Bytes stream;
    const auto key = fixed_key({1, 2, 3, 4});
    for (std::size_t size : {0u, 5u, 126u, 300u, 70000u}) {
        const Bytes f =
            encode_ws_frame(2, std::string(size, static_cast<char>('a' + size % 7)), key);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    WsFrameParser whole;
    const Bytes expected = parse_all(whole, stream);
    for (std::size_t cut = 0; cut <= stream.size(); cut += (cut < 400 ? 1 : 997)) {
        WsFrameParser p;
        ASSERT_TRUE(p.feed(stream.data(), cut));
        Bytes got;
        while (p.has_frame()) {
            const WsFrame f = p.pop();
            got.insert(got.end(), f.payload.begin(), f.payload.end());
        }
        const Bytes rest = parse_all(p, Bytes(stream.begin() + cut, stream.end()));
        got.insert(got.end(), rest.begin(), rest.end());
        ASSERT_EQ(got, expected) << "cut at " << cut;
        EXPECT_TRUE(p.empty());
    }
}

TEST(WsFrameParser, OneMebibyteIsTheLimit) {
    const auto key = fixed_key({9, 8, 7, 6});
    WsFrameParser ok;
    const Bytes max = encode_ws_frame(2, std::string(kWsMaxPayload, 'x'), key);
    ASSERT_TRUE(ok.feed(max.data(), max.size()));
    ASSERT_TRUE(ok.has_frame());
    EXPECT_EQ(ok.pop().payload.size(), kWsMaxPayload);

    WsFrameParser over;
    const Bytes big = encode_ws_frame(2, std::string(kWsMaxPayload + 1, 'x'), key);
    // The header alone is enough to refuse it.
    EXPECT_FALSE(over.feed(big.data(), 14));
    EXPECT_TRUE(over.failed());
    EXPECT_EQ(over.error(), "frame payload 1048577 exceeds 1048576");
    const std::uint8_t more[] = {0x81, 0x00};
    EXPECT_FALSE(over.feed(more, 2)) << "a failed parser refuses new bytes";
    over.reset();
    EXPECT_TRUE(over.feed(more, 2));
    EXPECT_TRUE(over.has_frame());
}

TEST(WsFrameParser, SixtyFourBitLengthWithTopBitSetIsRefused) {
    WsFrameParser p;
    const Bytes header{0x82, 0x7F, 0x80, 0, 0, 0, 0, 0, 0, 0x01};
    EXPECT_FALSE(p.feed(header.data(), header.size()));
    EXPECT_EQ(p.error(), "frame payload 9223372036854775809 exceeds 1048576");
}

TEST(WsFrameParser, FeedingNothingSucceeds) {
    WsFrameParser p;
    EXPECT_TRUE(p.feed(nullptr, 0));
    EXPECT_TRUE(p.empty());
}

}  // namespace
}  // namespace vx::network
