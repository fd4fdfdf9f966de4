#include "backend/diagnostics/url_userinfo.hpp"

#include "backend/diagnostics/log_text.hpp"

namespace vx::network::log_text {

namespace {

// RFC 3986, 3.1: ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ).
bool is_scheme_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

// Where user-info ends: the bytes that end an authority (RFC 3986, 3.2), blanks and controls,
// and the quotes and brackets that wrap a URL in log text and JSON. Anything else may be part
// of a password, percent-encoded or not.
bool ends_userinfo(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) {
        return true;
    }
    switch (c) {
        case '"':
        case '\'':
        case '\\':
        case '/':
        case '?':
        case '#':
        case '@':
        case '<':
        case '>':
        case '[':
        case ']':
        case '{':
        case '}':
            return true;
        default:
            return false;
    }
}

}  // namespace

UserinfoFinder::UserinfoFinder(std::string_view text, bool cut_off)
    : text_(text), cut_off_(cut_off), next_at_(text.find('@')) {}

std::optional<Span> UserinfoFinder::at(std::size_t i) {
    const std::string_view text = text_;
    // Most log lines hold no "@" at all: then no word needs a closer look, unless the text's
    // end may have taken one.
    if (next_at_ != std::string_view::npos && next_at_ < i) {
        next_at_ = text.find('@', i);
    }
    if ((next_at_ == std::string_view::npos && !cut_off_) || i < no_scheme_before_) {
        return std::nullopt;
    }
    std::size_t colon = i + 1;
    while (colon < text.size() && is_scheme_byte(text[colon])) {
        ++colon;
    }
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
    // User-info redacted before is taken as it is, so that a second redaction makes the same
    // choices as the first: no key inside the scheme gets a turn it did not have then.
    const std::size_t after = begin + kRedacted.size();
    if (text.substr(begin, kRedacted.size()) == kRedacted &&
        (text.substr(after, 1) == "@" || (cut_off_ && after == text.size()))) {
        return Span{begin, after};
    }
    // A later start inside a run that ended without "@" ends at the same byte.
    if (begin < no_userinfo_before_) {
        return std::nullopt;
    }
    std::size_t end = begin;
    while (end < text.size() && !ends_userinfo(text[end])) {
        ++end;
    }
    const bool at_sign = end < text.size() && text[end] == '@';
    const bool reaches_cut = cut_off_ && end == text.size();
    if (end == begin || !(at_sign || reaches_cut)) {
        no_userinfo_before_ = end;
        return std::nullopt;
    }
    return Span{begin, end};
}

}  // namespace vx::network::log_text
