#include "backend/diagnostics/log_text.hpp"
#include "backend/messages/messages.hpp"

namespace vx::network {

namespace {

// The longest prefix of at most `limit` bytes that does not end inside a UTF-8 sequence.
std::string_view utf8_prefix(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

}  // namespace

// Cutting first keeps the cost to the excerpt whatever the message's size. A key's value that the
// cut shortens is redacted up to the excerpt's end; a value that starts after the cut is not part
// of the excerpt at all.
std::string log_excerpt(std::string_view text, std::size_t limit) {
    return log_text::redact_secrets(utf8_prefix(text, limit));
}

std::string log_field(std::string_view text) {
    const std::string_view kept = utf8_prefix(text, kFieldExcerpt);
    return kept.size() == text.size() ? std::string(text) : std::string(kept) + "...";
}

}  // namespace vx::network
