#pragma once

#include <cstdint>
#include <string>

#include "status/status_board.hpp"
#include "ui/screen_model.hpp"

namespace vx::ui {

struct RenderParams {
    int columns = 80;
    int rows = 25;
    bool russian = false;
    std::int64_t now_s = 0;  // wall clock, seconds since 1970 (the board's clock)
};

// Which blocks one layout shows; the layout tries the variants from the fullest to the smallest.
struct LayoutVariant {
    bool banner;
    std::size_t recent_events;
    bool blank_rows;
    bool key_hint;
};
inline constexpr LayoutVariant kLayoutVariants[] = {
    {true, 5, true, true},    {false, 5, true, true},  {false, 3, true, true},
    {false, 3, false, true},  {false, 1, false, true}, {false, 1, false, false},
    {false, 0, false, false},
};

// Columns the rows are fitted to: one column is kept free at each side, so nothing wraps.
int layout_width(int columns);

// The rows of one frame: the first variant that fits the console's height, every row fitted to
// the width and indented by one space (blank rows stay empty).
Screen render_status_screen(const StatusSnapshot& snap, const RenderParams& params);

// Index into kLayoutVariants of the variant render_status_screen picks.
std::size_t pick_layout_variant(const StatusSnapshot& snap, const RenderParams& params);

// Plain mode: the header written once at start (ends with "\n").
std::string render_plain_header(const StatusSnapshot& snap, bool russian);

// Plain mode: one event as a line, without the line end.
std::string format_event_line(const StatusSnapshot& snap, const StatusEvent& event, bool russian);

// Left on the normal screen when the ANSI screen ends; every line ends with "\n".
std::string render_final_screen(const StatusSnapshot& snap, bool russian);

}  // namespace vx::ui
