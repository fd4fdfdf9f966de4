#include <algorithm>
#include <array>
#include <cstring>

#include "backend/diagnostics/log_text.hpp"
#include "util/ascii.hpp"

namespace vx::network::log_text {

namespace {

bool is_continuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence at i, or 0 when the byte at i starts none.
std::size_t valid_sequence(std::string_view text, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t len;
    std::uint32_t cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (text.size() - i < len) {
        return 0;
    }
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if (!is_continuation(b)) {
            return 0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    return overlong || surrogate || cp > 0x10FFFF ? 0 : len;
}

// Bytes below 0x80 from i on, eight at a time where possible: most log text is ASCII.
std::size_t ascii_run(std::string_view text, std::size_t i) {
    const std::size_t start = i;
    while (text.size() - i >= 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if (word & 0x8080808080808080ULL) {
            break;
        }
        i += 8;
    }
    while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) {
        ++i;
    }
    return i - start;
}

bool equals_nocase(std::string_view text, std::string_view lower_word) {
    return text.size() == lower_word.size() &&
           std::equal(text.begin(), text.end(), lower_word.begin(),
                      [](char a, char b) { return util::ascii_lower(a) == b; });
}

struct LevelName {
    std::string_view name;
    LogLevel level;
};

constexpr std::array<LevelName, 11> kLevelNames{{
    {"trace", LogLevel::debug},
    {"debug", LogLevel::debug},
    {"info", LogLevel::info},
    {"information", LogLevel::info},
    {"warn", LogLevel::warning},
    {"warning", LogLevel::warning},
    {"err", LogLevel::error},
    {"error", LogLevel::error},
    {"crit", LogLevel::critical},
    {"critical", LogLevel::critical},
    {"fatal", LogLevel::critical},
}};

// A level tag is at most 15 bytes between its brackets.
constexpr std::size_t kMaxTagSpan = 16;

}  // namespace

std::string sanitize_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t ascii = ascii_run(text, i);
        out.append(text.substr(i, ascii));
        i += ascii;
        if (i >= text.size()) {
            break;
        }
        const std::size_t len = valid_sequence(text, i);
        if (len == 0) {
            out.push_back('?');
            ++i;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::string_view utf8_prefix(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t p = limit;
    while (p > 0 && is_continuation(static_cast<unsigned char>(text[p]))) {
        --p;
    }
    return text.substr(0, p);
}

std::string truncate_utf8(std::string_view text) {
    return std::string(utf8_prefix(text, kSummaryBytes));
}

ParsedLevel parse_log_level(std::string_view token) {
    constexpr std::string_view kLeading = "[(\"'";
    constexpr std::string_view kTrailing = "]\"'),:";
    while (!token.empty() && kLeading.find(token.front()) != std::string_view::npos) {
        token.remove_prefix(1);
    }
    while (!token.empty() && kTrailing.find(token.back()) != std::string_view::npos) {
        token.remove_suffix(1);
    }
    for (const LevelName& entry : kLevelNames) {
        if (equals_nocase(token, entry.name)) {
            return {entry.level, true};
        }
    }
    return {};
}

ParsedLevel line_log_level(std::string_view line) {
    std::size_t i = 0;
    while (i + 2 < line.size()) {
        if (line[i] != '[') {
            ++i;
            continue;
        }
        const std::size_t close = line.find(']', i + 1);
        if (close == std::string_view::npos) {
            break;
        }
        if (close - i <= kMaxTagSpan) {
            const ParsedLevel parsed = parse_log_level(line.substr(i + 1, close - i - 1));
            if (parsed.found) {
                return parsed;
            }
        }
        i = close + 1;
    }
    return {};
}

std::string log_level_name(LogLevel level) {
    switch (level) {
        case LogLevel::warning:
            return "warning";
        case LogLevel::error:
            return "error";
        case LogLevel::critical:
            return "critical";
        default:
            return "info";
    }
}

std::string log_level_name(const std::vector<std::string>& lines) {
    LogLevel worst = LogLevel::debug;
    for (const std::string& line : lines) {
        const ParsedLevel parsed = line_log_level(line);
        if (parsed.found) {
            worst = std::max(worst, parsed.level);
            if (worst == LogLevel::critical) {
                break;
            }
        }
    }
    return log_level_name(worst);
}

}  // namespace vx::network::log_text
