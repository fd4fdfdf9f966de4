#include "backend/ws/ws_frame.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace vx::network {

namespace {

// Masking goes a block of 64 bytes at a time (a multiple of 4, so every block starts at the same
// key byte) and a piece of 4 KiB at a time, so a piece is still in the first-level cache when it
// is masked.
constexpr std::size_t kMaskBlock = 64;
constexpr std::size_t kMaskPiece = 4096;
constexpr std::size_t kAlignFrom = 256;

// XOR of one block with `key` through a local array, which cannot alias the key: the fixed-length
// loop over it is unrolled into a few vector instructions even at -O2, where a loop over the
// buffer itself stays a byte (or word) loop.
template <std::size_t Size>
void mask_block(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* key) {
    std::array<std::uint8_t, Size> block;
    std::memcpy(block.data(), src, Size);
#pragma GCC unroll 64
    for (std::size_t j = 0; j < Size; ++j)
        block[j] ^= key[j];
    std::memcpy(dst, block.data(), Size);
}

// The key repeated over a block, from key byte `phase` on. Built from one 32-bit word, so the
// compiler fills it with whole vector stores that the block loads can be forwarded from.
std::array<std::uint8_t, kMaskBlock> wide_key(const std::uint8_t* key, std::size_t phase) {
    const std::uint8_t rotated[4] = {key[phase & 3], key[(phase + 1) & 3], key[(phase + 2) & 3],
                                     key[(phase + 3) & 3]};
    std::uint32_t word;
    std::memcpy(&word, rotated, 4);
    std::array<std::uint8_t, kMaskBlock> wide;
    for (std::size_t j = 0; j < kMaskBlock; j += 4)
        std::memcpy(wide.data() + j, &word, 4);
    return wide;
}

// `dst` = `src` XOR the 4-byte key repeated from key byte `phase` on; `dst` may be `src`.
void mask_into(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, const std::uint8_t* key,
               std::size_t phase) {
    std::size_t i = 0;
    // Over a long run the blocks start where `dst` is 16-byte aligned, so that no vector store
    // straddles a cache line; a short run is not worth the bytes masked singly to get there.
    if (n >= kAlignFrom) {
        const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(dst) % 16;
        for (const std::size_t head = (16 - misalignment) % 16; i < head; ++i)
            dst[i] = src[i] ^ key[(phase + i) & 3];
    }
    const auto wide = wide_key(key, phase + i);
    const std::size_t start = i;  // `wide` is the key from here on, in steps of 4
    for (; i + kMaskBlock <= n; i += kMaskBlock)
        mask_block<kMaskBlock>(dst + i, src + i, wide.data());
    for (; i + 8 <= n; i += 8)
        mask_block<8>(dst + i, src + i, wide.data());
    for (; i < n; ++i)
        dst[i] = src[i] ^ wide[(i - start) % 4];
}

// Appends `n` bytes of `src` to `out`, masked from key byte `phase` on: a piece is copied in and
// masked in place while the copy still has it in the first-level cache. (Growing `out` by resize
// and masking into it would zero-fill it first.)
template <typename Buffer>
void append_masked(Buffer& out, const std::uint8_t* src, std::size_t n, const std::uint8_t* key,
                   std::size_t phase) {
    for (std::size_t done = 0; done < n;) {
        const std::size_t len = std::min(kMaskPiece, n - done);
        const std::size_t at = out.size();
        const auto* first = reinterpret_cast<const typename Buffer::value_type*>(src + done);
        out.insert(out.end(), first, first + len);
        auto* piece = reinterpret_cast<std::uint8_t*>(out.data() + at);
        mask_into(piece, piece, len, key, phase + done);
        done += len;
    }
}

// Header bytes once the second byte is known: where the length field ends, and where the
// header (with the masking key) ends.
struct HeaderShape {
    std::size_t length_end;
    std::size_t end;
};

HeaderShape shape_of(std::uint8_t second) {
    const std::uint8_t len7 = second & 0x7F;
    const std::size_t length_end = len7 == 126 ? 4 : len7 == 127 ? 10 : 2;
    return {length_end, length_end + ((second & 0x80) != 0 ? 4 : 0)};
}

std::uint64_t length_of(const std::uint8_t* header, const HeaderShape& shape) {
    if (shape.length_end == 2)
        return header[1] & 0x7F;
    std::uint64_t length = 0;
    for (std::size_t i = 2; i < shape.length_end; ++i)
        length = (length << 8) | header[i];
    return length;
}

}  // namespace

std::vector<std::uint8_t> encode_ws_frame(std::uint8_t opcode, const std::uint8_t* payload,
                                          std::size_t size, const RandomFn& random) {
    std::vector<std::uint8_t> out;
    out.reserve(size + 14);
    out.push_back(static_cast<std::uint8_t>(0x80 | (opcode & 0x0F)));
    if (size <= 125) {
        out.push_back(static_cast<std::uint8_t>(0x80 | size));
    } else if (size <= 0xFFFF) {
        out.push_back(0xFE);
        out.push_back(static_cast<std::uint8_t>(size >> 8));
        out.push_back(static_cast<std::uint8_t>(size));
    } else {
        out.push_back(0xFF);
        const auto len = static_cast<std::uint64_t>(size);
        for (int shift = 56; shift >= 0; shift -= 8) {
            out.push_back(static_cast<std::uint8_t>(len >> shift));
        }
    }
    std::uint8_t key[4];
    random(key, sizeof key);
    out.insert(out.end(), key, key + 4);
    append_masked(out, payload, size, key, 0);
    return out;
}

std::vector<std::uint8_t> encode_ws_frame(std::uint8_t opcode, std::string_view payload,
                                          const RandomFn& random) {
    return encode_ws_frame(opcode, reinterpret_cast<const std::uint8_t*>(payload.data()),
                           payload.size(), random);
}

bool WsFrameParser::feed(const std::uint8_t* data, std::size_t size) {
    while (size > 0 && !failed_) {
        const std::size_t used = in_payload_ ? take_payload(data, size) : take_header(data, size);
        data += used;
        size -= used;
    }
    return !failed_;
}

void WsFrameParser::reset() {
    header_size_ = 0;
    in_payload_ = false;
    current_ = WsFrame{};
    remaining_ = 0;
    frames_.clear();
    failed_ = false;
    error_.clear();
}

WsFrame WsFrameParser::pop() {
    WsFrame f = std::move(frames_.front());
    frames_.pop_front();
    return f;
}

// Takes the header's bytes as far as they are known to belong to it; the length is judged as soon
// as its field is complete, before the masking key has arrived.
std::size_t WsFrameParser::take_header(const std::uint8_t* data, std::size_t size) {
    std::size_t used = 0;
    while (used < size) {
        const std::size_t wanted = header_size_ < 2 ? 2 : shape_of(header_[1]).end;
        for (const std::size_t end = std::min(wanted, header_size_ + size - used);
             header_size_ < end;) {
            header_[header_size_++] = data[used++];
        }
        if (header_size_ < 2) {
            continue;
        }
        const HeaderShape shape = shape_of(header_[1]);
        if (header_size_ < shape.length_end) {
            continue;
        }
        const std::uint64_t length = length_of(header_, shape);
        if (!length_allowed(length)) {
            break;
        }
        if (header_size_ == shape.end) {
            start_payload(length, shape.end != shape.length_end);
            break;
        }
    }
    return used;
}

bool WsFrameParser::length_allowed(std::uint64_t length) {
    if (length <= kWsMaxPayload) {
        return true;
    }
    failed_ = true;
    error_ =
        "frame payload " + std::to_string(length) + " exceeds " + std::to_string(kWsMaxPayload);
    header_size_ = 0;
    return false;
}

void WsFrameParser::start_payload(std::uint64_t length, bool masked) {
    current_.opcode = header_[0] & 0x0F;
    current_.fin = (header_[0] & 0x80) != 0;
    current_.payload.clear();
    // The length is at most kWsMaxPayload here, so reserving it whole is bounded.
    current_.payload.reserve(static_cast<std::size_t>(length));
    remaining_ = static_cast<std::size_t>(length);
    masked_ = masked;
    if (masked_) {
        std::memcpy(key_, header_ + header_size_ - 4, 4);
    }
    header_size_ = 0;
    in_payload_ = true;
    if (remaining_ == 0) {
        finish_frame();
    }
}

std::size_t WsFrameParser::take_payload(const std::uint8_t* data, std::size_t size) {
    const std::size_t n = std::min(size, remaining_);
    if (masked_) {
        append_masked(current_.payload, data, n, key_, current_.payload.size());
    } else {
        current_.payload.append(reinterpret_cast<const char*>(data), n);
    }
    remaining_ -= n;
    if (remaining_ == 0) {
        finish_frame();
    }
    return n;
}

void WsFrameParser::finish_frame() {
    frames_.push_back(std::move(current_));
    current_ = WsFrame{};
    in_payload_ = false;
}

}  // namespace vx::network
