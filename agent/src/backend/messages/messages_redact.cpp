#include "backend/diagnostics/log_text.hpp"
#include "backend/messages/messages.hpp"
#include "util/outside_text.hpp"

namespace vx::network {

// Cutting first keeps the cost to the excerpt whatever the message's size. A value that the cut
// shortens is redacted up to the excerpt's end; a value that starts after the cut is not part of
// the excerpt at all.
std::string log_excerpt(std::string_view text, std::size_t limit) {
    const std::string_view kept = log_text::utf8_prefix(text, limit);
    return kept.size() == text.size() ? log_text::redact_secrets(kept)
                                      : log_text::redact_cut_secrets(kept);
}

std::string log_field(std::string_view text) {
    return util::quote_outside_text(text, kFieldExcerpt);
}

std::string log_field_or_none(std::string_view text) {
    return text.empty() ? std::string("<none>") : log_field(text);
}

}  // namespace vx::network
