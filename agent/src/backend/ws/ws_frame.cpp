#include "backend/ws/ws_frame.hpp"

#include <sodium.h>

#include <cstring>
#include <string>

namespace vx::network {

namespace {

// XOR with the 4-byte key repeated; eight bytes at a time where it can.
void apply_mask(std::uint8_t* dst, const std::uint8_t* src, std::size_t n,
                const std::uint8_t* key) {
    std::uint8_t wide_key[8];
    for (int i = 0; i < 8; ++i)
        wide_key[i] = key[i & 3];
    std::uint64_t k;
    std::memcpy(&k, wide_key, 8);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, src + i, 8);
        w ^= k;
        std::memcpy(dst + i, &w, 8);
    }
    for (; i < n; ++i)
        dst[i] = src[i] ^ key[i & 3];
}

}  // namespace

RandomFn default_random() {
    return [](std::uint8_t* out, std::size_t n) { randombytes_buf(out, n); };
}

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
    const std::size_t start = out.size();
    out.resize(start + size);
    if (size > 0)
        apply_mask(out.data() + start, payload, size, key);
    return out;
}

std::vector<std::uint8_t> encode_ws_frame(std::uint8_t opcode, std::string_view payload,
                                          const RandomFn& random) {
    return encode_ws_frame(opcode, reinterpret_cast<const std::uint8_t*>(payload.data()),
                           payload.size(), random);
}

bool WsFrameParser::feed(const std::uint8_t* data, std::size_t size) {
    if (failed_) {
        return false;
    }
    if (size == 0) {
        return true;
    }
    buffer_.insert(buffer_.end(), data, data + size);
    return parse();
}

void WsFrameParser::reset() {
    buffer_.clear();
    consumed_ = 0;
    frames_.clear();
    failed_ = false;
    error_.clear();
}

WsFrame WsFrameParser::pop() {
    WsFrame f = std::move(frames_.front());
    frames_.pop_front();
    return f;
}

bool WsFrameParser::parse() {
    while (buffer_.size() - consumed_ >= 2) {
        const std::uint8_t* p = buffer_.data() + consumed_;
        const std::size_t avail = buffer_.size() - consumed_;
        std::uint64_t length = p[1] & 0x7F;
        std::size_t header = 2;
        if (length == 126) {
            if (avail < 4)
                break;
            length = (std::uint64_t{p[2]} << 8) | p[3];
            header = 4;
        } else if (length == 127) {
            if (avail < 10)
                break;
            length = 0;
            for (int i = 0; i < 8; ++i) {
                length = (length << 8) | p[2 + i];
            }
            header = 10;
        }
        const bool masked = (p[1] & 0x80) != 0;
        if (masked)
            header += 4;
        if (length > kWsMaxPayload) {
            failed_ = true;
            error_ = "frame payload " + std::to_string(length) + " exceeds " +
                     std::to_string(kWsMaxPayload);
            buffer_.clear();
            consumed_ = 0;
            return false;
        }
        if (avail < header + length)
            break;
        WsFrame frame;
        frame.opcode = p[0] & 0x0F;
        frame.fin = (p[0] & 0x80) != 0;
        if (masked) {
            frame.payload.resize(length);
            apply_mask(reinterpret_cast<std::uint8_t*>(frame.payload.data()), p + header, length,
                       p + header - 4);
        } else {
            frame.payload.assign(reinterpret_cast<const char*>(p + header), length);
        }
        frames_.push_back(std::move(frame));
        consumed_ += header + static_cast<std::size_t>(length);
    }
    // Keep the unconsumed rest at the front; whole frames are dropped in one erase.
    if (consumed_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
        consumed_ = 0;
    }
    return true;
}

}  // namespace vx::network
