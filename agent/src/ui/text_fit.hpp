#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ui/screen_model.hpp"
#include "util/utf8.hpp"

// Measuring and fitting UTF-8 text into console columns. Every function is pure and accepts any
// bytes: invalid UTF-8 is measured byte by byte and never read past the end of the text.
namespace vx::ui {

using util::decode_utf8_at;
using util::DecodedChar;

// Columns one code point takes, with the agent's own table (not the C library's wcwidth).
int code_point_width(char32_t cp);

int display_width(std::string_view text);

// Drops control characters and bidirectional controls; turns invalid bytes, surrogates and
// values above U+10FFFF into U+FFFD. The result is always valid UTF-8.
std::string sanitize_for_console(std::string_view text);

// The text when it fits `width` columns, else its head cut to width - 1 columns and "…".
std::string truncate_with_ellipsis(std::string_view text, int width);

// The text when it fits `width` columns, else "…" and its tail of width - 1 columns.
std::string cut_left_with_ellipsis(std::string_view text, int width);

// Greedy word wrap at ASCII spaces; a word wider than the line is cut with an ellipsis.
std::vector<std::string> wrap_to_width(std::string_view text, int width);

int row_width(const Row& row);

// Keeps whole segments from the left and cuts the first one that overflows.
Row fit_row(const Row& row, int width);

// One decimal, a comma as the decimal point in Russian; independent of the C locale; a zero has
// no sign. NaN gives "?", values beyond ±1e12 are clamped so the text stays short.
std::string format_fixed(double value, bool russian);

}  // namespace vx::ui
