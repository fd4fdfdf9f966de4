#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "status/status_board.hpp"

namespace vx {

// A user-facing text in both languages: Russian (UTF-8) first, then English.
struct TextPair {
    std::string_view ru;
    std::string_view en;
};

constexpr std::string_view pick_text(const TextPair& pair, bool russian) {
    return russian ? pair.ru : pair.en;
}

// One line for the recent-events list. A `problem` event names its problem; the port of a
// busy-port problem comes from the event's value, else from `busy_port`.
std::string status_event_text(const StatusEvent& event, bool russian, std::uint16_t busy_port);

// What the user should do about a problem (kinds 0 to 6; empty for any other value). For
// `capture_failed`, `flags` 1 asks the user to sign in to the desktop session, any other value
// to connect a monitor.
std::string problem_hint(ProblemKind kind, bool russian, std::uint8_t flags,
                         std::uint16_t busy_port);

// "1 h 5 min", "12 min" or "42 s" (Russian "1 ч 5 мин", "12 мин", "42 с"); negative counts as 0.
std::string format_duration(std::int64_t seconds, bool russian);

}  // namespace vx
