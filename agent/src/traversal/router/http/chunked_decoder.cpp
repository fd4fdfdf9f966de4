#include "traversal/router/http/chunked_decoder.hpp"

#include <algorithm>

namespace vx::network {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The size before any extension (";name=value") or blank; empty, non-hexadecimal or above the
// cap gives none. The digit count is bounded before the value grows, so nothing overflows.
bool parse_chunk_size(std::string_view line, std::uint64_t& size) {
    line = line.substr(0, std::min(line.find_first_of("; \t"), line.size()));
    if (line.empty() || line.size() > 8)
        return false;
    size = 0;
    for (char c : line) {
        const int digit = hex_value(c);
        if (digit < 0)
            return false;
        size = size * 16 + static_cast<std::uint64_t>(digit);
    }
    return size <= kMaxHttpLength;
}

std::string_view without_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

}  // namespace

bool ChunkedDecoder::cut_inside_chunk() const {
    return state_ == State::data || (state_ == State::size_line && !line_.empty());
}

std::size_t ChunkedDecoder::take_line(std::string_view bytes, bool& complete) {
    const auto newline = bytes.find('\n');
    complete = newline != std::string_view::npos;
    const std::size_t used = complete ? newline + 1 : bytes.size();
    line_.append(bytes.substr(0, complete ? newline : used));
    if (line_.size() > kMaxLineLength)
        state_ = State::failed;
    return used;
}

void ChunkedDecoder::end_size_line() {
    std::uint64_t size = 0;
    if (!parse_chunk_size(without_cr(line_), size)) {
        state_ = State::failed;
    } else if (size == 0) {
        state_ = State::trailer;
    } else {
        remaining_ = size;
        state_ = State::data;
    }
    line_.clear();
}

void ChunkedDecoder::end_trailer_line() {
    // Trailer fields are skipped; the blank line after them ends the message.
    if (without_cr(line_).empty())
        state_ = State::done;
    line_.clear();
}

ChunkedDecoder::State ChunkedDecoder::feed(std::string_view bytes) {
    while (!bytes.empty() && state_ != State::done && state_ != State::failed) {
        std::size_t used = 0;
        bool complete = false;
        switch (state_) {
            case State::size_line:
            case State::trailer:
                used = take_line(bytes, complete);
                if (complete && state_ != State::failed)
                    state_ == State::size_line ? end_size_line() : end_trailer_line();
                break;
            case State::data:
                used = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, bytes.size()));
                chunk_.append(bytes.substr(0, used));
                remaining_ -= used;
                if (remaining_ == 0) {
                    body_ += chunk_;
                    chunk_.clear();
                    state_ = State::data_end;
                }
                break;
            case State::data_end:
                // One "\r\n", "\r" or "\n" follows the data; a router that writes none is forgiven.
                used = (bytes[0] == '\r' || bytes[0] == '\n') ? 1 : 0;
                state_ = bytes[0] == '\r' ? State::data_end_cr : State::size_line;
                break;
            case State::data_end_cr:
                used = bytes[0] == '\n' ? 1 : 0;
                state_ = State::size_line;
                break;
            case State::done:
            case State::failed:
                break;
        }
        bytes.remove_prefix(used);
    }
    return state_;
}

std::string decode_chunked_body(std::string_view bytes) {
    ChunkedDecoder decoder;
    decoder.feed(bytes);
    return decoder.body();
}

}  // namespace vx::network
