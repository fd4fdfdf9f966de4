#include "backend/diagnostics/value_extent.hpp"

#include <algorithm>

namespace vx::network::log_text {

namespace {

bool is_line_end(char c) {
    return c == '\r' || c == '\n';
}

bool is_quote(char c) {
    return c == '"' || c == '\'';
}

bool stops_at(std::string_view text, std::size_t j, Stop stop) {
    return stop == Stop::line_end && is_line_end(text[j]);
}

}  // namespace

std::size_t quoted_end(std::string_view text, std::size_t open, char quote, Stop stop) {
    std::size_t j = open + 1;
    while (j < text.size() && !stops_at(text, j, stop)) {
        if (text[j] == '\\') {
            j += 2;
        } else if (text[j] == quote) {
            return j;
        } else {
            ++j;
        }
    }
    return std::min(j, text.size());
}

std::size_t escaped_quoted_end(std::string_view text, std::size_t open, Stop stop) {
    std::size_t j = open + 2;
    while (j < text.size() && !stops_at(text, j, stop)) {
        if (text[j] != '\\') {
            ++j;
        } else if (j + 1 < text.size() && text[j + 1] == '"') {
            return j;
        } else if (j + 1 < text.size() && text[j + 1] == '\\') {
            // An escaped backslash of the outer string escapes the inner string's next byte,
            // itself written as one byte or as an escape pair.
            j += 2;
            j += j < text.size() && text[j] == '\\' ? 2 : 1;
        } else {
            j += 2;
        }
    }
    return std::min(j, text.size());
}

bool is_escaped_quote(std::string_view text, std::size_t p) {
    return text[p] == '\\' && p + 1 < text.size() && text[p + 1] == '"';
}

// Only brackets of the opening kind count: a stray bracket of the other kind cannot end the
// value early.
std::size_t bracketed_end(std::string_view text, std::size_t open) {
    const char opener = text[open];
    const char closer = opener == '[' ? ']' : '}';
    const auto cut_off = [&](std::size_t close) {
        return close >= text.size() || is_line_end(text[close]);
    };
    std::size_t depth = 0;
    std::size_t j = open;
    while (j < text.size() && !is_line_end(text[j])) {
        std::size_t next = j + 1;
        if (is_quote(text[j])) {
            const std::size_t close = quoted_end(text, j, text[j], Stop::line_end);
            if (cut_off(close)) {
                return close;
            }
            next = close + 1;
        } else if (is_escaped_quote(text, j)) {
            const std::size_t close = escaped_quoted_end(text, j, Stop::line_end);
            if (cut_off(close)) {
                return close;
            }
            next = close + 2;
        } else if (text[j] == opener) {
            ++depth;
        } else if (text[j] == closer && --depth == 0) {
            return next;
        }
        j = next;
    }
    return j;
}

std::size_t line_end(std::string_view text, std::size_t p) {
    while (p < text.size() && !is_line_end(text[p])) {
        ++p;
    }
    return p;
}

}  // namespace vx::network::log_text
