#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "backend/vxcp/vxcp_crypto.hpp"

// Frames inside a decrypted DATA payload (big-endian integers):
//   PING      1
//   ACK       2 | largest u64 | delay us u32 | received map u64           (21 bytes)
//   FRAGMENT  3 | message id u32 | index u16 | count u16 | len u16 | data (11 + len)
//   CLOSE     4 | code u16 | reason len u8 | reason                      (4 + len)
namespace vx::network {

enum class FrameType : std::uint8_t { ping = 1, ack = 2, fragment = 3, close = 4 };

inline constexpr std::size_t kAckFrameSize = 21;
inline constexpr std::size_t kFragmentHeadSize = 11;
inline constexpr std::size_t kCloseHeadSize = 4;
inline constexpr std::size_t kMaxCloseReason = 255;

struct AckFrame {
    std::uint64_t largest = 0;
    std::uint32_t delay_us = 0;
    std::uint64_t map = 0;  // bit i: packet largest - 1 - i was received
};

struct FragmentFrame {
    std::uint32_t message_id = 0;
    std::uint16_t index = 0;
    std::uint16_t count = 0;
    ByteView data;  // points into the parsed payload
};

struct CloseFrame {
    std::uint16_t code = 0;
    std::string reason;
};

struct Frame {
    FrameType type = FrameType::ping;
    AckFrame ack;
    FragmentFrame fragment;
    CloseFrame close;
};

// Reads the frames of a payload in order, one at a time into a frame the caller reuses; only a
// CLOSE reason is copied out of the payload. A frame is malformed when its type is unknown, it
// runs past the end, or it is a fragment with a zero count or an index not below its count.
class FrameReader {
  public:
    explicit FrameReader(ByteView payload) : payload_(payload) {}
    // The next frame into `frame`; false at the end of the payload or at a malformed frame.
    bool next(Frame& frame);
    bool malformed() const { return malformed_; }

  private:
    ByteView payload_;
    std::size_t pos_ = 0;
    bool malformed_ = false;
};

// Every frame of a payload in order; nothing when one is malformed.
std::optional<std::vector<Frame>> vxcp_parse_frames(ByteView payload);

void vxcp_append_ping(Bytes& out);
void vxcp_append_ack(Bytes& out, const AckFrame& ack);
void vxcp_append_fragment(Bytes& out, std::uint32_t message_id, std::uint16_t index,
                          std::uint16_t count, ByteView data);
// The reason is cut to its first 255 bytes.
void vxcp_append_close(Bytes& out, std::uint16_t code, std::string_view reason);

}  // namespace vx::network
