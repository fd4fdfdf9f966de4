// Composing one full 200 x 50 status screen frame from a board snapshot, next to copying the
// same number of bytes: how far the layout and frame writer are from the cost of the bytes.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "status/status_board.hpp"
#include "ui/ansi_frame.hpp"
#include "ui/screen_layout.hpp"

namespace {

constexpr std::int64_t kNow = 1796637600;

vx::StatusSnapshot busy_snapshot() {
    vx::StatusSnapshot s;
    s.version = "0.4.448";
    s.computer_name = "GAMING-PC-07";
    s.log_path = "/home/player/.local/share/Velmora/logs/agent.log";
    s.link = vx::LinkState::connected;
    s.transport = vx::LinkTransport::udp_relay;
    s.public_address = "203.0.113.45";
    s.verdict = vx::DirectVerdict::behind_cgnat;
    s.gpu_name = "NVIDIA GeForce RTX 4070";
    s.encoder_name = "NVENC";
    s.session = vx::SessionState::player_connected;
    s.session_start_s = kNow - 3725;
    s.codec = "HEVC";
    s.width = 1920;
    s.height = 1080;
    s.fps = 60;
    s.sent_mbps = 24.96;
    s.path = vx::MediaPathKind::relay;
    s.ping_ms = 31.5;
    s.loss_pct = 1.5;
    s.problems[static_cast<std::size_t>(vx::ProblemKind::port_busy)] = true;
    s.busy_port = 48001;
    for (std::uint64_t i = 1; i <= vx::kMaxStatusEvents; ++i) {
        s.events.push_back({i, "09:3" + std::to_string(i % 10), vx::StatusEventKind::player_back, 0,
                            vx::ProblemKind::none});
    }
    return s;
}

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
