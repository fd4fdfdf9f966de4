#include "backend/ws/ws_frame.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "backend/ws/ws_mask.hpp"

namespace vx::network {

namespace {

// Appends `n` bytes of `src` to `out`, masked from key byte `phase` on, in one pass from `src`.
// A frame's bytes grow unset; a std::string zeroes what it grows by first, a store-only pass
// that leaves the piece (at most one 4 KiB read of the connection) in the first-level cache for
// the masking pass.
template <typename Buffer>
void append_masked(Buffer& out, const std::uint8_t* src, std::size_t n, const std::uint8_t* key,
                   std::size_t phase) {
    const std::size_t at = out.size();
    out.resize(at + n);
    mask_copy(reinterpret_cast<std::uint8_t*>(out.data()) + at, src, n, key, phase);
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

WsFrameBytes encode_ws_frame(std::uint8_t opcode, const std::uint8_t* payload, std::size_t size,
                             const RandomFn& random) {
    WsFrameBytes out;
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

WsFrameBytes encode_ws_frame(std::uint8_t opcode, std::string_view payload,
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
