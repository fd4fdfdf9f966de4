#pragma once

// A router's HTTP/1.1 response: the head, the body (plain, Content-Length or chunked) and the
// reader that decides, from the bytes received so far, whether the response is whole.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "traversal/router/http/chunked_decoder.hpp"

namespace vx::network {

inline constexpr std::size_t kMaxHttpResponse = 524'288;

struct HttpResponseHead {
    std::uint32_t status = 0;
    std::string reason;
    std::map<std::string, std::string> headers;  // lower-case names; a repeated name keeps the last
    std::size_t body_offset = 0;                 // first byte after the blank line
    std::optional<std::uint64_t> content_length;
    bool chunked = false;
};

struct HttpResponse {
    std::uint32_t status = 0;
    std::string reason;
    std::map<std::string, std::string> headers;
    std::string body;
};

// What one request to the router gives back.
struct HttpResult {
    bool ok = false;
    std::int32_t status = 0;
    std::string body;
    std::string error;  // empty when ok
};

// None until the head's blank line has arrived, or when the status line is not HTTP.
std::optional<HttpResponseHead> parse_http_response(std::string_view bytes);

// One step of reading a head as its bytes arrive. Each step's search resumes just before the
// bytes an earlier one went through, so a head that arrives in many small pieces costs time in
// proportion to its size.
struct HttpHeadScan {
    enum class State { need_more, whole, malformed };
    State state = State::need_more;
    std::size_t looked_at = 0;             // bytes this scan went through
    std::optional<HttpResponseHead> head;  // when whole
};

// The whole message as it stands when the peer has finished. A chunked body must end between
// chunks: one cut inside a chunk, or with a size line that cannot be read, gives none.
std::optional<HttpResponse> parse_http_message(std::string_view bytes);

// Collects a response as it arrives and says when it is whole: Content-Length bytes have come,
// the zero-size chunk has been decoded, or (for neither) the peer has closed.
class HttpResponseReader {
  public:
    void feed(std::string_view bytes);
    // Reading may stop: the response is whole, or no more bytes can make it one (its head or
    // its chunks are malformed).
    bool complete() const;
    std::size_t size() const { return buffer_.size(); }
    // What the search for the head's end has gone through so far, over all feeds.
    std::size_t head_bytes_searched() const { return head_bytes_searched_; }

    // The result once reading has stopped, `closed` telling whether the peer ended the stream.
    // A head still incomplete when reading stopped for time timed out; one the peer cut short
    // by closing is malformed.
    HttpResult finish(bool closed) const;

  private:
    std::string buffer_;
    HttpHeadScan scan_;
    std::size_t head_bytes_searched_ = 0;
    ChunkedDecoder chunks_;
};

}  // namespace vx::network
