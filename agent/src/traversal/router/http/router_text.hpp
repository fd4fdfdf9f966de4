#pragma once

// Text helpers of the router protocols: ASCII-only case folding and trimming (router answers are
// ASCII where it matters, and locale-dependent calls would fold other bytes differently).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vx::network {

std::string to_lower_ascii(std::string_view text);
bool equals_ignore_case(std::string_view a, std::string_view b);
bool starts_with_ignore_case(std::string_view text, std::string_view prefix);
// `needle` is compared after ASCII lowering of both sides.
bool contains_ignore_case(std::string_view haystack, std::string_view needle);

// Without leading and trailing spaces, tabs, CR and LF.
std::string_view trim_blanks(std::string_view text);

// The first line of `text` without its CR LF or LF, taken off `text`.
std::string_view take_line(std::string_view& text);

// One "Name: value" line of an HTTP or SSDP head: the name lowered, both trimmed. Nothing for a
// line without a colon.
struct HeaderField {
    std::string name;
    std::string value;
};
std::optional<HeaderField> split_header_line(std::string_view line);

// A byte below 0x20, 0x7F or a quote would end a header line or a quoted value early, so such
// text never goes into a request header.
bool has_unsafe_header_bytes(std::string_view text);

// One or more decimal digits and nothing else, at most `max`; the digit count is capped before
// the value is built, so no input overflows.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max);

}  // namespace vx::network
