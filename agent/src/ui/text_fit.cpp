#include "ui/text_fit.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace vx::ui {
namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // U+2026
constexpr std::string_view kNoBreakSpace = "\xC2\xA0";

// Wide ranges of the agent's own table; every range is inclusive.
struct Range {
    char32_t first;
    char32_t last;
};
constexpr Range kWide[] = {
    {0x1100, 0x115F}, {0x2E80, 0xA4CF}, {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},
    {0xFF00, 0xFF60}, {0xFFE0, 0xFFE6}, {0x1F300, 0x1FAFF}, {0x20000, 0x3FFFD},
};

bool is_dropped(char32_t cp) {
    if (cp <= 0x1F || (cp >= 0x7F && cp <= 0x9F)) {
        return true;
    }
    // Bidirectional embeddings, overrides and isolates could reorder the rest of the screen row.
    return (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

int char_width(const DecodedChar& c) {
    return c.valid ? code_point_width(c.code_point) : 1;
}

std::string_view strip_tail_spaces(std::string_view text) {
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    if (text.ends_with(kNoBreakSpace)) {
        text.remove_suffix(kNoBreakSpace.size());
    }
    return text;
}

}  // namespace

int code_point_width(char32_t cp) {
    if (cp == 0 || (cp >= 0x0300 && cp <= 0x036F)) {
        return 0;
    }
    for (const Range& r : kWide) {
        if (cp >= r.first && cp <= r.last) {
            return 2;
        }
    }
    return 1;
}

int display_width(std::string_view text) {
    int width = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const DecodedChar c = decode_utf8_at(text, pos);
        width += char_width(c);
        pos += c.length;
    }
    return width;
}

std::string sanitize_for_console(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const DecodedChar c = decode_utf8_at(text, pos);
        pos += c.length;
        const bool unencodable = !c.valid || c.code_point > 0x10FFFF ||
                                 (c.code_point >= 0xD800 && c.code_point <= 0xDFFF);
        if (unencodable) {
            append_utf8(out, 0xFFFD);
        } else if (!is_dropped(c.code_point)) {
            append_utf8(out, c.code_point);
        }
    }
    return out;
}

std::string truncate_with_ellipsis(std::string_view text, int width) {
    if (width < 1) {
        return {};
    }
    if (display_width(text) <= width) {
        return std::string(text);
    }
    int used = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const DecodedChar c = decode_utf8_at(text, pos);
        if (used + char_width(c) > width - 1) {
            break;
        }
        used += char_width(c);
        pos += c.length;
    }
    std::string out(strip_tail_spaces(text.substr(0, pos)));
    out += kEllipsis;
    return out;
}

std::string cut_left_with_ellipsis(std::string_view text, int width) {
    if (width < 1) {
        return {};
    }
    if (display_width(text) <= width) {
        return std::string(text);
    }
    std::vector<DecodedChar> chars;
    for (std::size_t pos = 0; pos < text.size(); pos += chars.back().length) {
        chars.push_back(decode_utf8_at(text, pos));
    }
    int used = 0;
    std::size_t tail_bytes = 0;
    for (auto it = chars.rbegin(); it != chars.rend(); ++it) {
        if (used + char_width(*it) > width - 1) {
            break;
        }
        used += char_width(*it);
        tail_bytes += it->length;
    }
    std::string out(kEllipsis);
    out += text.substr(text.size() - tail_bytes);
    return out;
}

std::vector<std::string> wrap_to_width(std::string_view text, int width) {
    std::vector<std::string> lines;
    if (width < 1) {
        return lines;
    }
    std::string line;
    int line_width = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = text.find_first_not_of(' ', pos);
        if (start == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(text.find(' ', start), text.size());
        const std::string_view word = text.substr(start, end - start);
        const int word_width = display_width(word);
        pos = end;
        if (!line.empty() && line_width + 1 + word_width <= width) {
            line += ' ';
            line += word;
            line_width += 1 + word_width;
            continue;
        }
        if (!line.empty()) {
            lines.push_back(std::move(line));
        }
        line = std::string(word);
        line_width = word_width;
    }
    if (!line.empty()) {
        lines.push_back(std::move(line));
    }
    for (std::string& l : lines) {
        if (display_width(l) > width) {
            l = truncate_with_ellipsis(l, width);
        }
    }
    return lines;
}

int row_width(const Row& row) {
    int width = 0;
    for (const Segment& s : row) {
        width += display_width(s.text);
    }
    return width;
}

Row fit_row(const Row& row, int width) {
    if (row_width(row) <= width) {
        return row;
    }
    Row out;
    int used = 0;
    for (const Segment& s : row) {
        const int w = display_width(s.text);
        if (used + w <= width) {
            out.push_back(s);
            used += w;
            continue;
        }
        std::string cut = truncate_with_ellipsis(s.text, width - used);
        if (!cut.empty()) {
            out.push_back(Segment{std::move(cut), s.style, s.bold});
        }
        break;
    }
    return out;
}

std::string format_fixed(double value, bool russian) {
    if (std::isnan(value)) {
        return "?";
    }
    constexpr double kLimit = 1e12;
    value = std::clamp(value, -kLimit, kLimit);
    if (std::fabs(value) < 0.05) {
        value = 0.0;  // rounds to zero: without this -0.0 or -0.04 would print as "-0.0"
    }
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 1);
    if (res.ec != std::errc{}) {
        return "?";
    }
    std::string out(buf, res.ptr);
    if (russian) {
        std::replace(out.begin(), out.end(), '.', ',');
    }
    return out;
}

}  // namespace vx::ui
