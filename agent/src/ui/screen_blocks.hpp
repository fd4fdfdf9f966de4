#pragma once

#include <cstdint>
#include <string>

#include "status/status_board.hpp"
#include "ui/screen_model.hpp"

// The blocks the status screen is assembled from. Every external text is cleaned here, so the
// rows never carry control characters or invalid UTF-8.
namespace vx::ui {

// "Agent 1.2.3 · NAME" with the parts that are set.
std::string render_title_line(const StatusSnapshot& snap, bool russian);

// The product mark and the title line, on one row when they fit `width`, else on two.
Screen render_header(const StatusSnapshot& snap, bool russian, int width);

// The value of the link row (without its label).
Row render_link_line(const StatusSnapshot& snap, bool russian, std::int64_t now_s);

// "1920×1080 · 60 fps · HEVC · 25.0 Mbit/s" with the parts that are known; may be empty.
std::string render_stream_line(const StatusSnapshot& snap, bool russian);

// "Direct · ping 12 ms · loss 0.5%" with the parts that are known; may be empty.
std::string render_path_line(const StatusSnapshot& snap, bool russian);

// Labelled rows: link, internet and this PC (the last two only when they have a value).
Screen render_sections(const StatusSnapshot& snap, bool russian, std::int64_t now_s);

// The state word and its explanation, wrapped to `width` - 2.
Screen render_state_block(const StatusSnapshot& snap, bool russian, std::int64_t now_s, int width);

// One entry per problem flag set, wrapped to `width` - 4.
Screen render_problems(const StatusSnapshot& snap, bool russian, int width);

// The "Recent" title and the newest `count` events, oldest first; empty when there are none.
Screen render_recent_events(const StatusSnapshot& snap, bool russian, std::size_t count);

// The full-log row (when a log path is set) and the key hint.
Screen render_footer(const StatusSnapshot& snap, bool russian, int width);

// The message of one problem; a busy-port problem event names its own port.
std::string problem_text(const StatusSnapshot& snap, ProblemKind kind, bool russian,
                         std::int64_t event_value = 0);

// The text of one event, cleaned.
std::string event_text(const StatusSnapshot& snap, const StatusEvent& event, bool russian);

}  // namespace vx::ui
