#include "backend/ws/ws_mask.hpp"

#include <bit>
#include <cstring>

namespace vx::network {

namespace {

// The key repeated over a 64-bit word from key byte `phase` on: byte j of the word in memory is
// key[(phase + j) % 4], whatever the machine's byte order.
std::uint64_t wide_key(const std::uint8_t* key, std::size_t phase) {
    std::uint32_t word;
    std::memcpy(&word, key, 4);
    const int shift = static_cast<int>(phase % 4) * 8;
    word = std::endian::native == std::endian::little ? std::rotr(word, shift)
                                                      : std::rotl(word, shift);
    return std::uint64_t{word} << 32 | word;
}

// Four key words at a time; the compiler maps the type on the vector registers the function is
// compiled for (two halves on a baseline x86-64, one register with AVX2).
using Block = std::uint64_t __attribute__((vector_size(32)));

// A run at least this long first masks single bytes until `dst` is aligned to a block, so that
// no store straddles a cache line; a shorter run is not worth the bytes masked singly.
constexpr std::size_t kAlignFrom = 256;

// The one loop, inlined into each instruction-set variant below. Every step of the block and word
// loops is a multiple of the key's 4 bytes, so one rotated key serves the whole run.
[[gnu::always_inline]] inline void mask_run(std::uint8_t* dst, const std::uint8_t* src,
                                            std::size_t n, const std::uint8_t* key,
                                            std::size_t phase) {
    std::size_t i = 0;
    if (n >= kAlignFrom) {
        const std::size_t head =
            (sizeof(Block) - reinterpret_cast<std::uintptr_t>(dst) % sizeof(Block)) % sizeof(Block);
        for (; i < head; ++i)
            dst[i] = src[i] ^ key[(phase + i) % 4];
    }
    const std::uint64_t wide = wide_key(key, phase + i);
    for (; i + sizeof(Block) <= n; i += sizeof(Block)) {
        Block block;
        std::memcpy(&block, src + i, sizeof block);
        block ^= wide;
        std::memcpy(dst + i, &block, sizeof block);
    }
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, src + i, 8);
        word ^= wide;
        std::memcpy(dst + i, &word, 8);
    }
    for (; i < n; ++i)
        dst[i] = src[i] ^ key[(phase + i) % 4];
}

void mask_baseline(std::uint8_t* dst, const std::uint8_t* src, std::size_t n,
                   const std::uint8_t* key, std::size_t phase) {
    mask_run(dst, src, n, key, phase);
}

using MaskFn = void (*)(std::uint8_t*, const std::uint8_t*, std::size_t, const std::uint8_t*,
                        std::size_t);

#if defined(__x86_64__)
// Twice the width of the baseline's vectors: a piece that sits in the first-level cache is
// masked at the speed of a plain copy. Chosen at run time (not by an ifunc resolver, which runs
// before ThreadSanitizer's runtime is ready).
[[gnu::target("avx2")]] void mask_avx2(std::uint8_t* dst, const std::uint8_t* src, std::size_t n,
                                       const std::uint8_t* key, std::size_t phase) {
    mask_run(dst, src, n, key, phase);
}

MaskFn pick_mask() {
    return __builtin_cpu_supports("avx2") ? mask_avx2 : mask_baseline;
}
#else
MaskFn pick_mask() {
    return mask_baseline;
}
#endif

}  // namespace

void mask_copy(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, const std::uint8_t* key,
               std::size_t phase) {
    static const MaskFn mask = pick_mask();
    mask(dst, src, n, key, phase);
}

}  // namespace vx::network
