#include "backend/diagnostics/url_userinfo.hpp"

namespace vx::network::log_text {

namespace {

// RFC 3986, 3.1: ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ).
bool is_scheme_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

// Where a URL's token ends in log text: blanks and controls, and the quotes, backslashes, angle
// brackets and braces that wrap a URL in log text and JSON. The bytes that end an authority in
// RFC 3986 ("/", "?", "#", "@", "[", "]") do not: a password may hold each of them.
bool ends_token(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) {
        return true;
    }
    switch (c) {
        case '"':
        case '\'':
        case '\\':
        case '<':
        case '>':
        case '{':
        case '}':
            return true;
        default:
            return false;
    }
}

}  // namespace

UserinfoFinder::UserinfoFinder(std::string_view text, bool cut_off)
    : text_(text), cut_off_(cut_off), next_at_(text.find('@')) {
    bytes_read_ = next_at_ == std::string_view::npos ? text.size() : next_at_ + 1;
}

const UserinfoFinder::Token& UserinfoFinder::token_at(std::size_t begin) {
    // Starts come in order, so a token is read once: every later start inside it shares its end
    // and its last "@".
    if (begin >= token_.from && begin <= token_.end && token_.end > 0) {
        return token_;
    }
    token_ = Token{begin, begin, std::string_view::npos};
    while (token_.end < text_.size() && !ends_token(text_[token_.end])) {
        if (text_[token_.end] == '@') {
            token_.last_at = token_.end;
        }
        ++token_.end;
    }
    bytes_read_ += token_.end - begin + 1;
    return token_;
}

std::optional<Span> UserinfoFinder::at(std::size_t i) {
    const std::string_view text = text_;
    // Most log lines hold no "@" at all: then no word needs a closer look, unless the text's
    // end may have taken one.
    if (next_at_ != std::string_view::npos && next_at_ < i) {
        next_at_ = text.find('@', i);
        bytes_read_ += (next_at_ == std::string_view::npos ? text.size() : next_at_ + 1) - i;
    }
    if ((next_at_ == std::string_view::npos && !cut_off_) || i < no_scheme_before_) {
        return std::nullopt;
    }
    std::size_t colon = i + 1;
    while (colon < text.size() && is_scheme_byte(text[colon])) {
        ++colon;
    }
    bytes_read_ += colon - i;
    // Whatever follows, every later start inside this scheme reaches the same colon and fails
    // the same way; on success the walk goes on after the "@".
    no_scheme_before_ = colon;
    if (colon >= text.size() || text[colon] != ':') {
        return std::nullopt;
    }
    std::size_t begin = colon + 1;
    if (text.substr(begin, 2) == "//") {
        begin += 2;
    }
    const Token& token = token_at(begin);
    if (token.end == begin) {
        return std::nullopt;
    }
    if (cut_off_ && token.end == text.size()) {
        return Span{begin, token.end};
    }
    if (token.last_at == std::string_view::npos || token.last_at <= begin) {
        return std::nullopt;
    }
    return Span{begin, token.last_at};
}

}  // namespace vx::network::log_text
