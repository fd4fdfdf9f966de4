#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vx::diag {

// One window of the store, as the log upload reads it.
struct LogSnapshot {
    std::vector<std::string> head_lines;  // head lines that precede the window
    std::vector<std::string> lines;       // the window, oldest first
    std::uint64_t omitted = 0;            // lines between the head lines and the window left out
    std::uint64_t lost = 0;   // requested lines already gone from the ring (no head lines only)
    std::uint64_t total = 0;  // line count when the snapshot was taken
};

// Recent formatted log lines in memory, for the log upload. The first lines of the process are
// kept for good (they say how the agent was started); the rest lives in a ring bounded both in
// lines and in bytes. All fields are guarded by `mutex`.
class DiagnosticsStore {
  public:
    static constexpr std::size_t kHeadLines = 300;
    static constexpr std::size_t kRingMaxLines = 60000;
    static constexpr std::size_t kRingMaxBytes = 8u * 1024 * 1024;
    static constexpr std::size_t kMaxLineBytes = 2048;
    static constexpr std::string_view kCutMark = " ...";  // after a cut line's first bytes
    static constexpr std::size_t kCutLineBytes = kMaxLineBytes - kCutMark.size();

    mutable std::mutex mutex;
    std::uint64_t total_lines = 0;  // raised once per appended line, never lowered
    std::vector<std::string> head;  // the first kHeadLines lines
    std::deque<std::string> ring;   // every line, oldest first, within the bounds
    std::size_t ring_bytes = 0;     // sum of the sizes of the ring's lines

    void append(std::string_view line);

    std::uint64_t line_count() const;

    // Lines from sequence number `from` minus `context` to the newest, with the head lines that
    // come before them (sequence number = 0-based index in the total count).
    LogSnapshot snapshot_range(std::uint64_t from, std::uint64_t context) const;

  private:
    void trim_ring_locked();
};

// A line longer than kMaxLineBytes keeps its first kCutLineBytes bytes followed by kCutMark.
std::string cut_log_line(std::string_view line);

// The process-wide store, created on first use.
DiagnosticsStore& diagnostics_store();

}  // namespace vx::diag
