#pragma once

// Where a value written in log text ends, for the redaction of credentials: a quoted string, a
// JSON string inside a JSON string, an array or object, the rest of a line. Positions are byte
// offsets into the text; every scan moves forward only.

#include <cstddef>
#include <string_view>

namespace vx::network::log_text {

// Whether a scan stops at the end of the line too (inside an array or object value) or only at
// the end of the text (a plain quoted value).
enum class Stop { text_end, line_end };

// The closing quote of a string that opens at `open` (a backslash escapes the byte after it),
// or where the scan stopped when there is none.
std::size_t quoted_end(std::string_view text, std::size_t open, char quote,
                       Stop stop = Stop::text_end);

// A string written as \"...\" (a JSON string inside a JSON string: a "turn" block given as a
// string, quoted in a message excerpt) that opens at `open`: the backslash of its closing \",
// which is not an escaped quote of the inner string (\\\"), or where the scan stopped.
std::size_t escaped_quoted_end(std::string_view text, std::size_t open, Stop stop = Stop::text_end);

// Whether \" starts at p.
bool is_escaped_quote(std::string_view text, std::size_t p);

// One past an array or object that opens at `open` ("[" or "{"): its matching bracket, the
// strings inside skipped, or the end of the line when the value is cut off there.
std::size_t bracketed_end(std::string_view text, std::size_t open);

// The first CR or LF from p on, or the end of the text.
std::size_t line_end(std::string_view text, std::size_t p);

}  // namespace vx::network::log_text
