// A router's HTTP answer as the port mapper reads it: the head, the whole message, and the reader
// and chunked decoder fed in pieces (the first input byte sets the piece size). Fed in pieces or
// whole, the reader and the decoder must come to the same result.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz_input.hpp"
#include "traversal/router/http/chunked_decoder.hpp"
#include "traversal/router/http/http_message.hpp"

using namespace vx::network;

namespace {

template <typename Feed>
void in_pieces(std::string_view bytes, std::size_t piece, Feed feed) {
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        feed(bytes.substr(at, std::min(piece, bytes.size() - at)));
    }
}

bool same(const HttpResult& a, const HttpResult& b) {
    return a.ok == b.ok && a.status == b.status && a.body == b.body && a.error == b.error;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t piece = std::size_t{data[0]} % 64 + 1;
    const std::string_view bytes = vx::fuzz::as_text(data + 1, size - 1);

    parse_http_response(bytes);
    parse_http_message(bytes);
    decode_chunked_body(bytes);

    HttpResponseReader whole, pieces;
    whole.feed(bytes);
    in_pieces(bytes, piece, [&](std::string_view p) { pieces.feed(p); });
    if (whole.complete() != pieces.complete() || !same(whole.finish(true), pieces.finish(true)) ||
        !same(whole.finish(false), pieces.finish(false))) {
        std::abort();
    }

    ChunkedDecoder one, many;
    one.feed(bytes);
    in_pieces(bytes, piece, [&](std::string_view p) { many.feed(p); });
    if (one.state() != many.state() || one.body() != many.body() ||
        one.cut_inside_chunk() != many.cut_inside_chunk()) {
        std::abort();
    }
    return 0;
}
