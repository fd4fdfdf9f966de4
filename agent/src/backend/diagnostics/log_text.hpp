#pragma once

// Cleaning of log text before it leaves the agent in a log upload: credentials become
// "[REDACTED]", invalid UTF-8 becomes valid (the text travels inside JSON strings), summaries are
// cut without splitting a character, and the severity of a set of lines is read from the level
// tags the logger writes. Pure functions on bytes; letter case follows ASCII rules only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vx::network::log_text {

inline constexpr std::string_view kRedacted = "[REDACTED]";
inline constexpr std::size_t kSummaryBytes = 200;

// The text with credentials replaced by kRedacted: values of sensitive keys, also as the last
// word of a longer key ("password=...", "turnPassword": JSON members with string, array or
// object values, HTTP headers, whole cookie headers, "--agent-token VALUE"), bearer tokens, web
// tokens ("eyJ...") and the user-info of URLs up to their last "@" ("turn:user:pa/ss@host").
// Linear in the text's size; applying it again changes nothing.
std::string redact_secrets(std::string_view text);
// The same for the start of a longer text that was cut (a log excerpt, a line the store cut):
// the cut may have taken the "@" after a URL's user-info or the length of a bearer token that
// would tell what they are, so user-info and a bearer token that reach the end go as well.
std::string redact_cut_secrets(std::string_view text);

// The text with every byte that is not part of a valid UTF-8 sequence replaced by "?"; valid
// text comes back unchanged.
std::string sanitize_utf8(std::string_view text);

// The longest prefix of at most `limit` bytes that does not end inside a UTF-8 character.
std::string_view utf8_prefix(std::string_view text, std::size_t limit);
// At most the first kSummaryBytes bytes, cut before the first byte of a character. No ellipsis.
std::string truncate_utf8(std::string_view text);

enum class LogLevel : std::uint8_t { debug = 0, info = 1, warning = 2, error = 3, critical = 4 };

struct ParsedLevel {
    LogLevel level = LogLevel::debug;
    bool found = false;
};

// A level name ("warn", "[ERROR]", "critical:") with its brackets, quotes and punctuation.
ParsedLevel parse_log_level(std::string_view token);

// The level of one line: its first bracketed token (at most 15 bytes) that names a level.
ParsedLevel line_log_level(std::string_view line);

// "info", "warning", "error" or "critical": the most severe level among the lines; "info" for
// info, debug and lines without a level.
std::string log_level_name(const std::vector<std::string>& lines);
std::string log_level_name(LogLevel level);

}  // namespace vx::network::log_text
