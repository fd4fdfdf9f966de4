#include "ui/ansi_frame.hpp"

#include <array>

namespace vx::ui {
namespace {

struct Colours {
    std::string_view fg;
    std::string_view bg;
};

constexpr std::array<Colours, 4> kColours = {{
    {"255;255;255", "0;0;0"},  // normal
    {"140;140;140", "0;0;0"},  // dim
    {"223;255;0", "0;0;0"},    // accent
    {"0;0;0", "223;255;0"},    // inverse
}};

void append_cursor_to_row(std::string& out, std::size_t row) {
    out += "\x1B[";
    out += std::to_string(row);
    out += ";1H";
}

}  // namespace

std::string sgr_sequence(Style style, bool bold) {
    const auto index = static_cast<std::size_t>(style);
    const Colours& c = kColours[index < kColours.size() ? index : 0];
    std::string out = "\x1B[0;38;2;";
    out += c.fg;
    out += ";48;2;";
    out += c.bg;
    if (bold) {
        out += ";1";
    }
    out += 'm';
    return out;
}

std::string compose_ansi_frame(const Screen& rows, int console_rows) {
    const std::string normal = sgr_sequence(Style::normal, false);
    std::string out = "\x1B[?25l";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        append_cursor_to_row(out, i + 1);
        for (const Segment& s : rows[i]) {
            out += sgr_sequence(s.style, s.bold);
            out += s.text;
        }
        out += normal;
        out += "\x1B[K";
    }
    if (console_rows < 1 || rows.size() < static_cast<std::size_t>(console_rows)) {
        append_cursor_to_row(out, rows.size() + 1);
        out += normal;
        out += "\x1B[J";
    }
    return out;
}

}  // namespace vx::ui
