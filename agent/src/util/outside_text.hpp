#pragma once

// Text that comes from outside the agent (command-line values, fields of backend messages,
// launcher lines, router answers) as it may stand in an error message or a log line. Such text
// reaches the console and the log file, where an escape sequence could steer the terminal that
// shows it and a line end could forge a line of its own; and it may be of any length, where a
// log line written at every retry must stay short.

#include <cstddef>
#include <string>
#include <string_view>

namespace vx::util {

// The printable rule, one character at a time: a well-formed printable character and a tab
// stand for themselves; LF becomes "\n" and CR "\r" (two visible bytes each), and every other
// control character (C0, DEL, C1), overlong form, surrogate or byte that starts no well-formed
// character becomes one "?".
struct PrintableStep {
    std::string_view shown;  // what the character is written as
    std::size_t length;      // bytes of the text it covers, at least 1
};
PrintableStep printable_step(std::string_view text, std::size_t pos);

// The text under the printable rule, whole. Buffer: std::string or a formatting buffer
// (anything with append(first, last)).
template <typename Buffer>
void append_printable(std::string_view text, Buffer& out) {
    for (std::size_t pos = 0; pos < text.size();) {
        const PrintableStep step = printable_step(text, pos);
        out.append(step.shown.data(), step.shown.data() + step.shown.size());
        pos += step.length;
    }
}

// How much of an outside text an error message or a log line shows, and the mark after a text
// that was cut.
inline constexpr std::size_t kQuotedTextBytes = 200;
inline constexpr std::string_view kQuoteCutMark = "...";

// The text under the printable rule, cut before the character that would take it past
// max_bytes, with kQuoteCutMark after a cut. Costs no more than max_bytes allow, whatever the
// text's size.
std::string quote_outside_text(std::string_view text, std::size_t max_bytes = kQuotedTextBytes);

}  // namespace vx::util
