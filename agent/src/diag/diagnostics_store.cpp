#include "diag/diagnostics_store.hpp"

#include <algorithm>

namespace vx::diag {

std::string cut_log_line(std::string_view line) {
    if (line.size() <= DiagnosticsStore::kMaxLineBytes) {
        return std::string(line);
    }
    std::string cut(line.substr(0, DiagnosticsStore::kCutLineBytes));
    cut += DiagnosticsStore::kCutMark;
    return cut;
}

void DiagnosticsStore::append(std::string_view line) {
    std::string text = cut_log_line(line);
    std::lock_guard lock(mutex);
    ++total_lines;
    if (head.size() < kHeadLines) {
        head.push_back(text);
    }
    ring_bytes += text.size();
    ring.push_back(std::move(text));
    trim_ring_locked();
}

void DiagnosticsStore::trim_ring_locked() {
    // The newest line always stays, so a burst of long lines never empties the ring.
    while (ring.size() > kRingMaxLines || (ring.size() >= 2 && ring_bytes > kRingMaxBytes)) {
        ring_bytes -= ring.front().size();
        ring.pop_front();
    }
}

std::uint64_t DiagnosticsStore::line_count() const {
    std::lock_guard lock(mutex);
    return total_lines;
}

LogSnapshot DiagnosticsStore::snapshot_range(std::uint64_t from, std::uint64_t context) const {
    std::lock_guard lock(mutex);
    LogSnapshot snap;
    snap.total = total_lines;
    const std::uint64_t first = total_lines - ring.size();
    std::uint64_t start = from > context ? from - context : 0;
    start = std::min(start, total_lines);
    if (start < first) {
        snap.lost = first - start;
        start = first;
    }
    snap.lines.assign(ring.begin() + static_cast<std::ptrdiff_t>(start - first), ring.end());
    const std::uint64_t n = std::min<std::uint64_t>(start, head.size());
    snap.head_lines.assign(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(n));
    snap.omitted = start - n;
    if (!snap.head_lines.empty()) {
        snap.lost = 0;
    }
    return snap;
}

DiagnosticsStore& diagnostics_store() {
    // Never destroyed: log lines may still arrive from threads that outlive static teardown.
    static auto* store = new DiagnosticsStore();
    return *store;
}

}  // namespace vx::diag
