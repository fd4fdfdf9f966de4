#pragma once

// Properties that hold for every input of the log text functions and of the report splitter: the
// property tests check them over generated text, the fuzz targets over what the fuzzer makes.
// Each returns nothing when every property holds, else the name of the first one the input
// breaks.

#include <string>
#include <string_view>
#include <vector>

#include "backend/diagnostics/log_report.hpp"
#include "backend/diagnostics/log_text.hpp"
#include "support/control_characters.hpp"
#include "util/outside_text.hpp"

namespace vx::network {

namespace log_properties_detail {

// Well-formed UTF-8 by the table of byte ranges in the Unicode standard (3.9, table 3-7),
// written apart from the sanitiser so it can judge it.
inline bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const auto in = [&](std::size_t k, unsigned lo, unsigned hi) {
        return k < text.size() && at(k) >= lo && at(k) <= hi;
    };
    while (i < text.size()) {
        const unsigned b = at(i);
        if (b <= 0x7F) {
            i += 1;
        } else if (b >= 0xC2 && b <= 0xDF && in(i + 1, 0x80, 0xBF)) {
            i += 2;
        } else if ((b == 0xE0 && in(i + 1, 0xA0, 0xBF)) ||
                   (((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) &&
                    in(i + 1, 0x80, 0xBF)) ||
                   (b == 0xED && in(i + 1, 0x80, 0x9F))) {
            if (!in(i + 2, 0x80, 0xBF)) {
                return false;
            }
            i += 3;
        } else if ((b == 0xF0 && in(i + 1, 0x90, 0xBF)) ||
                   (b >= 0xF1 && b <= 0xF3 && in(i + 1, 0x80, 0xBF)) ||
                   (b == 0xF4 && in(i + 1, 0x80, 0x8F))) {
            if (!in(i + 2, 0x80, 0xBF) || !in(i + 3, 0x80, 0xBF)) {
                return false;
            }
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

inline bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace log_properties_detail

inline std::string log_text_violation(std::string_view input) {
    using namespace log_properties_detail;
    const std::string redacted = log_text::redact_secrets(input);
    if (log_text::redact_secrets(redacted) != redacted) {
        return "redaction is not idempotent";
    }
    const std::string cut_redacted = log_text::redact_cut_secrets(input);
    if (log_text::redact_cut_secrets(cut_redacted) != cut_redacted) {
        return "redaction of a cut text is not idempotent";
    }
    const std::string sanitized = log_text::sanitize_utf8(input);
    if (!is_valid_utf8(sanitized)) {
        return "sanitised text is not valid UTF-8";
    }
    if (log_text::sanitize_utf8(sanitized) != sanitized) {
        return "sanitising is not idempotent";
    }
    if (is_valid_utf8(input) && sanitized != input) {
        return "sanitising changed valid text";
    }
    const std::string cut = log_text::truncate_utf8(input);
    if (cut.size() > log_text::kSummaryBytes || input.substr(0, cut.size()) != cut) {
        return "truncation is not a prefix of at most 200 bytes";
    }
    if (input.size() <= log_text::kSummaryBytes
            ? cut.size() != input.size()
            : (!cut.empty() && is_continuation(input[cut.size()]))) {
        return "truncation split a character";
    }
    const std::string quoted = util::quote_outside_text(input);
    if (quoted.size() > util::kQuotedTextBytes + util::kQuoteCutMark.size() ||
        !is_valid_utf8(quoted) || test::has_control_character(quoted)) {
        return "quoted outside text is too long, not UTF-8 or holds a control character";
    }
    const std::string level = log_text::log_level_name({std::string(input)});
    if (level != "info" && level != "warning" && level != "error" && level != "critical") {
        return "unknown level name";
    }
    return {};
}

inline std::string log_report_violation(std::string_view content) {
    using namespace log_properties_detail;
    const std::vector<std::string> parts = split_report(content);
    std::string joined;
    for (const std::string& part : parts) {
        if (part.empty()) {
            return "empty part";
        }
        if (escaped_size(part) > kPartEscapedBytes) {
            return "part over the escaped size";
        }
        const std::size_t cut = joined.size() + part.size();
        if (cut < content.size() && is_continuation(content[cut]) && is_valid_utf8(content)) {
            return "part split a character";
        }
        joined += part;
    }
    if (joined != content) {
        return "parts do not add up to the content";
    }
    return {};
}

}  // namespace vx::network
