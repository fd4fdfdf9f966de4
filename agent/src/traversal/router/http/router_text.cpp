#include "traversal/router/http/router_text.hpp"

#include <algorithm>

#include "util/ascii.hpp"

namespace vx::network {
namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

std::string to_lower_ascii(std::string_view text) {
    return util::ascii_lower(text);
}

bool equals_ignore_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (util::ascii_lower(a[i]) != util::ascii_lower(b[i]))
            return false;
    }
    return true;
}

bool starts_with_ignore_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equals_ignore_case(text.substr(0, prefix.size()), prefix);
}

bool contains_ignore_case(std::string_view haystack, std::string_view needle) {
    return to_lower_ascii(haystack).find(to_lower_ascii(needle)) != std::string::npos;
}

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string_view take_line(std::string_view& text) {
    const auto newline = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(std::min(newline + 1, text.size()));
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

std::optional<HeaderField> split_header_line(std::string_view line) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    return HeaderField{to_lower_ascii(trim_blanks(line.substr(0, colon))),
                       std::string(trim_blanks(line.substr(colon + 1)))};
}

bool has_unsafe_header_bytes(std::string_view text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '"' || c == '\'')
            return true;
    }
    return false;
}

std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) {
    // 19 digits always fit in 64 bits; anything longer is above every cap used here.
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > max)
        return std::nullopt;
    return value;
}

}  // namespace vx::network
