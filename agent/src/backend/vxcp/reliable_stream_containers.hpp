#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "backend/vxcp/vxcp_crypto.hpp"

// Containers of the reliable stream, shaped so that the per-message and per-packet paths
// allocate nothing once the stream has warmed up.
namespace vx::network {

// The bytes of queued messages in queue order, in blocks of 64 KiB (a longer message has a block
// of its own). A block goes once every message in it is released; the last block to go is kept
// for reuse, so a steady queue allocates nothing.
class MessageBytes {
  public:
    struct Place {
        std::uint64_t block = 0;
        std::size_t offset = 0;
    };

    // Copies `message` in; its bytes stay where they are until released.
    Place append(ByteView message) {
        if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < message.size()) {
            Bytes block = std::move(spare_);
            block.clear();
            block.reserve(std::max(kBlockSize, message.size()));
            blocks_.push_back(std::move(block));
        }
        Bytes& back = blocks_.back();
        const Place place{first_block_ + blocks_.size() - 1, back.size()};
        back.insert(back.end(), message.begin(), message.end());
        return place;
    }
    ByteView view(Place place, std::size_t size) const {
        return ByteView(blocks_[place.block - first_block_]).subspan(place.offset, size);
    }
    // The bytes before `place` are no longer needed; nothing is needed when `place` is empty.
    void release_before(const std::optional<Place>& place) {
        const std::uint64_t keep_from = place ? place->block : first_block_ + blocks_.size();
        while (first_block_ < keep_from) {
            if (blocks_.front().capacity() == kBlockSize) {
                spare_ = std::move(blocks_.front());
            }
            blocks_.pop_front();
            ++first_block_;
        }
    }

  private:
    static constexpr std::size_t kBlockSize = 64 * 1024;

    std::deque<Bytes> blocks_;
    std::uint64_t first_block_ = 0;  // number of blocks_.front()
    Bytes spare_;
};

// Fragment indexes of one message, below the count it was made for. A message of up to 64
// fragments (nearly every one) needs no allocation.
class FragmentSet {
  public:
    FragmentSet() = default;
    explicit FragmentSet(std::size_t count) : more_(count > 64 ? (count - 1) / 64 : 0) {}

    bool contains(std::uint16_t index) const { return (word(index) >> (index % 64) & 1) != 0; }
    void insert(std::uint16_t index) { word(index) |= std::uint64_t{1} << (index % 64); }

  private:
    std::uint64_t word(std::uint16_t index) const {
        return index < 64 ? first_ : more_[index / 64 - 1];
    }
    std::uint64_t& word(std::uint16_t index) { return index < 64 ? first_ : more_[index / 64 - 1]; }

    std::uint64_t first_ = 0;
    std::vector<std::uint64_t> more_;
};

// The packet numbers received among the last kSize up to the largest one. Older numbers need no
// record: they count as duplicates whether they arrived or not.
class ReceivedWindow {
  public:
    static constexpr std::uint64_t kSize = 1024;

    std::uint64_t largest() const { return largest_; }
    bool contains(std::uint64_t number) const {
        return number <= largest_ && largest_ - number < kSize && bit(number);
    }
    // `number` lies above largest() - kSize: anything older is a duplicate, never inserted.
    void insert(std::uint64_t number) {
        if (number > largest_) {
            // The slots of the numbers the window moves over still hold numbers kSize older.
            const std::uint64_t gap = number - largest_;
            if (gap >= kSize) {
                bits_.fill(0);
            } else {
                clear_slots(static_cast<std::size_t>((largest_ + 1) % kSize),
                            static_cast<std::size_t>(gap));
            }
            largest_ = number;
        }
        bits_[number / 64 % kWords] |= std::uint64_t{1} << (number % 64);
    }

  private:
    static constexpr std::size_t kWords = kSize / 64;

    // `count` (below kSize) slots from `first` on, around the ring: a word at a time, so the
    // work depends on the window's size alone, never on the numbers.
    void clear_slots(std::size_t first, std::size_t count) {
        while (count > 0) {
            const std::size_t bit = first % 64;
            const std::size_t n = std::min<std::size_t>(count, 64 - bit);
            const std::uint64_t ones = n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
            bits_[first / 64] &= ~(ones << bit);
            first = (first + n) % kSize;
            count -= n;
        }
    }

    bool bit(std::uint64_t number) const {
        return (bits_[number / 64 % kWords] >> (number % 64) & 1) != 0;
    }

    std::array<std::uint64_t, kWords> bits_{};
    std::uint64_t largest_ = 0;
};

}  // namespace vx::network
