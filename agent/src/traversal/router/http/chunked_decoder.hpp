#pragma once

// Incremental decoder of an HTTP/1.1 chunked body. A body is whole only once the zero-size chunk
// has been read: searching the bytes for "\r\n0\r\n\r\n" would cut a body whose data holds those
// very bytes.

#include <cstdint>
#include <string>
#include <string_view>

namespace vx::network {

inline constexpr std::uint64_t kMaxHttpLength = 67'108'864;  // largest chunk or Content-Length

class ChunkedDecoder {
  public:
    enum class State { size_line, data, data_end, data_end_cr, trailer, done, failed };

    // Takes the next bytes of the body, split anywhere; bytes after the final blank line are
    // ignored. Returns the state after them.
    State feed(std::string_view bytes);

    State state() const { return state_; }
    bool done() const { return state_ == State::done; }
    bool failed() const { return state_ == State::failed; }
    // The bytes so far stop in a chunk's size line or its data: a close there loses part of it.
    bool cut_inside_chunk() const;
    // The data of every chunk read completely.
    const std::string& body() const { return body_; }

  private:
    static constexpr std::size_t kMaxLineLength = 4096;

    std::size_t take_line(std::string_view bytes, bool& complete);
    void end_size_line();
    void end_trailer_line();

    State state_ = State::size_line;
    std::string line_;
    std::string chunk_;
    std::uint64_t remaining_ = 0;
    std::string body_;
};

// The body decoded from a whole chunked message, forgivingly: decoding stops at the first size
// line it cannot read or a chunk that does not fit, and what came before is the body.
std::string decode_chunked_body(std::string_view bytes);

}  // namespace vx::network
