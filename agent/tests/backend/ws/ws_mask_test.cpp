#include "backend/ws/ws_mask.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vx::network {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::uint8_t kKey[4] = {0x9e, 0x37, 0x01, 0xc4};
// Bytes on either side of the masked run, so a word written past its end shows.
constexpr std::size_t kGuard = 40;
constexpr std::uint8_t kGuardByte = 0xEE;

Bytes source_bytes(std::size_t size) {
    Bytes source(size);
    for (std::size_t i = 0; i < size; ++i)
        source[i] = static_cast<std::uint8_t>(i * 131 + i / 251 + 7);
    return source;
}

// Masks `length` bytes taken `src_at` bytes into a buffer, as the piece of a payload that starts
// `phase` bytes in, into a buffer `dst_at` bytes in; the whole destination buffer must equal the
// byte-by-byte definition with its guard bytes untouched.
void expect_masked_like_bytewise(std::size_t length, std::size_t src_at, std::size_t dst_at,
                                 std::size_t phase) {
    const Bytes source = source_bytes(src_at + length);
    Bytes expected(kGuard + dst_at + length + kGuard, kGuardByte);
    for (std::size_t i = 0; i < length; ++i)
        expected[kGuard + dst_at + i] = source[src_at + i] ^ kKey[(phase + i) % 4];
    Bytes out(expected.size(), kGuardByte);
    mask_copy(out.data() + kGuard + dst_at, source.data() + src_at, length, kKey, phase);
    ASSERT_EQ(out, expected) << "length " << length << ", source at " << src_at
                             << ", destination at " << dst_at << ", phase " << phase;
}

TEST(WsMask, ShortPiecesAtEveryOffsetMatchTheBytewiseDefinition) {
    for (std::size_t length = 0; length <= 40; ++length)
        for (std::size_t offset = 0; offset < 8; ++offset)
            for (std::size_t phase = 0; phase < 8; ++phase) {
                expect_masked_like_bytewise(length, offset, offset, phase);
                expect_masked_like_bytewise(length, offset, 7 - offset, phase);
            }
}

// Long runs first mask single bytes up to an aligned destination, then whole vectors, then a
// tail: each joint must keep the key's rotation.
TEST(WsMask, LongRunsAtEveryDestinationAlignmentMatchTheBytewiseDefinition) {
    for (std::size_t length : {255u, 256u, 257u, 291u, 1000u, 4095u, 4096u, 4097u})
        for (std::size_t dst_at = 0; dst_at < 64; ++dst_at)
            for (std::size_t phase = 0; phase < 4; ++phase)
                expect_masked_like_bytewise(length, 3, dst_at, phase);
}

}  // namespace
}  // namespace vx::network
