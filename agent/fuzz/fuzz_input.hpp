#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Ways the fuzz targets cut one input into the pieces their parser takes.
namespace vx::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The pieces between separators; n separators give n + 1 pieces, empty ones included.
inline std::vector<std::string> split_at(std::string_view text, char separator) {
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == separator) {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(c);
        }
    }
    return pieces;
}

// Big-endian numbers and byte runs taken from the front of the input; past its end every number
// is 0 and every run empty, so a target reads as much as it likes.
class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    // The high part is read first: the operands of "|" may be evaluated in either order.
    std::uint16_t u16() {
        const unsigned high = u8();
        return static_cast<std::uint16_t>(high << 8 | u8());
    }
    std::uint32_t u32() {
        const std::uint32_t high = u16();
        return high << 16 | u16();
    }
    std::uint64_t u64() {
        const std::uint64_t high = u32();
        return high << 32 | u32();
    }
    std::span<const std::uint8_t> bytes(std::size_t n) {
        n = std::min(n, size_ - std::min(pos_, size_));
        const std::span<const std::uint8_t> out(data_ + pos_, n);
        pos_ += n;
        return out;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace vx::fuzz
