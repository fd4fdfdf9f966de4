#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "util/default_init_allocator.hpp"
#include "util/random.hpp"

namespace vx::network {

// RFC 6455 opcodes the link uses.
enum class WsOpcode : std::uint8_t {
    continuation = 0x0,
    text = 0x1,
    binary = 0x2,
    close = 0x8,
    ping = 0x9,
    pong = 0xA,
};

// Largest frame payload and largest (reassembled) message the agent accepts.
inline constexpr std::size_t kWsMaxPayload = 1'048'576;

// The masking keys' source; tests inject a fixed one.
using RandomFn = util::RandomFn;

// An encoded frame. Growing one leaves the new bytes unset, so the encoder writes the masked
// payload in one pass instead of zeroing the buffer first.
using WsFrameBytes = std::vector<std::uint8_t, util::DefaultInitAllocator<std::uint8_t>>;

// One client frame: FIN set, RSV clear, masked with a fresh 4-byte key from `random`.
WsFrameBytes encode_ws_frame(std::uint8_t opcode, const std::uint8_t* payload, std::size_t size,
                             const RandomFn& random);
WsFrameBytes encode_ws_frame(std::uint8_t opcode, std::string_view payload, const RandomFn& random);

struct WsFrame {
    std::uint8_t opcode = 0;
    bool fin = false;
    std::string payload;  // unmasked
};

// Incremental parser of a server's frame stream. Bytes may arrive split anywhere; every complete
// frame is queued. A frame longer than kWsMaxPayload fails the parser for good (until reset).
// Payload bytes go straight from the caller's buffer into the frame being built, so a large
// frame read in pieces is copied once, not gathered in a buffer first.
class WsFrameParser {
  public:
    // Appends and parses. False once the parser has failed; feeding no bytes succeeds.
    bool feed(const std::uint8_t* data, std::size_t size);
    void reset();

    bool has_frame() const { return !frames_.empty(); }
    WsFrame pop();  // precondition: has_frame()
    // True when neither a frame nor a partial frame is held.
    bool empty() const { return frames_.empty() && header_size_ == 0 && !in_payload_; }
    bool failed() const { return failed_; }
    const std::string& error() const { return error_; }

  private:
    // Longest header: 2 bytes, a 64-bit extended length and the masking key.
    static constexpr std::size_t kMaxHeader = 14;

    std::size_t take_header(const std::uint8_t* data, std::size_t size);
    std::size_t take_payload(const std::uint8_t* data, std::size_t size);
    bool length_allowed(std::uint64_t length);
    void start_payload(std::uint64_t length, bool masked);
    void finish_frame();

    std::uint8_t header_[kMaxHeader] = {};
    std::size_t header_size_ = 0;
    // The frame whose payload is arriving.
    bool in_payload_ = false;
    WsFrame current_;
    std::size_t remaining_ = 0;
    bool masked_ = false;
    std::uint8_t key_[4] = {};
    std::deque<WsFrame> frames_;
    bool failed_ = false;
    std::string error_;
};

}  // namespace vx::network
