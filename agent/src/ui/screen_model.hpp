#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vx::ui {

// Colour schemes of the status screen; the values are what the frame writer maps to SGR colours.
enum class Style : std::uint8_t { normal = 0, dim = 1, accent = 2, inverse = 3 };

// A run of UTF-8 text drawn in one style.
struct Segment {
    std::string text;
    Style style = Style::normal;
    bool bold = false;

    bool operator==(const Segment&) const = default;
};

using Row = std::vector<Segment>;
using Screen = std::vector<Row>;

}  // namespace vx::ui
