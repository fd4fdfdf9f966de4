// Composing one full 200 x 50 status screen frame from a board snapshot, next to copying the
// same number of bytes: how far the layout and frame writer are from the cost of the bytes.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "status/status_board.hpp"
#include "ui/ansi_frame.hpp"
#include "ui/layout/layout_fixtures.hpp"
#include "ui/screen_layout.hpp"

namespace {

// The layout tests' tallest screen: a running session, two problems, a full event list.
using vx::ui::testing::busy_snapshot;
using vx::ui::testing::kNow;

std::string compose(const vx::StatusSnapshot& snap) {
    const vx::ui::RenderParams params{200, 50, false, kNow};
    return vx::ui::compose_ansi_frame(vx::ui::render_status_screen(snap, params), params.rows);
}

void BM_ComposeFrame200x50(benchmark::State& state) {
    const vx::StatusSnapshot snap = busy_snapshot();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string frame = compose(snap);
        bytes = frame.size();
        benchmark::DoNotOptimize(frame);
    }
    state.counters["frame_bytes"] = static_cast<double>(bytes);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_ComposeFrame200x50);

void BM_CopySameBytes(benchmark::State& state) {
    const std::string frame = compose(busy_snapshot());
    for (auto _ : state) {
        std::string copy(frame.size(), '\0');
        std::memcpy(copy.data(), frame.data(), frame.size());
        benchmark::DoNotOptimize(copy);
    }
    state.counters["frame_bytes"] = static_cast<double>(frame.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_CopySameBytes);

}  // namespace
