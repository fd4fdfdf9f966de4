#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "status/status_board.hpp"
#include "ui/screen_model.hpp"
#include "ui/text_fit.hpp"

// Snapshots and a golden-file helper shared by the layout tests.
namespace vx::ui::testing {

// 2026-12-07 10:00:00 UTC: the "now" of every snapshot below.
inline constexpr std::int64_t kNow = 1796637600;

inline StatusEvent event(std::uint64_t seq, const char* time, StatusEventKind kind,
                         std::int64_t value = 0, ProblemKind problem = ProblemKind::none) {
    return StatusEvent{seq, time, kind, value, problem};
}

inline StatusSnapshot idle_snapshot() {
    StatusSnapshot s;
    s.version = "0.4.448";
    s.computer_name = "GAMING-PC-07";
    s.log_path = "/home/player/.local/share/Velmora/logs/agent.log";
    s.link = LinkState::connected;
    s.transport = LinkTransport::udp;
    s.link_changed_s = kNow - 300;
    s.public_address = "203.0.113.45";
    s.verdict = DirectVerdict::upnp_ports_open;
    s.gpu_name = "NVIDIA GeForce RTX 4070";
    s.encoder_name = "NVENC";
    s.events = {event(1, "09:54", StatusEventKind::started),
                event(2, "09:55", StatusEventKind::platform_connected)};
    return s;
}

// A running session with two problems and a full event list: the tallest screen.
inline StatusSnapshot busy_snapshot() {
    StatusSnapshot s = idle_snapshot();
    s.transport = LinkTransport::udp_relay;
    s.verdict = DirectVerdict::behind_cgnat;
    s.session = SessionState::player_connected;
    s.session_start_s = kNow - 3725;
    s.codec = "HEVC";
    s.width = 1920;
    s.height = 1080;
    s.fps = 60;
    s.sent_mbps = 24.96;
    s.path = MediaPathKind::relay;
    s.ping_ms = 31.5;
    s.loss_pct = 1.5;
    s.problems[static_cast<std::size_t>(ProblemKind::port_busy)] = true;
    s.problems[static_cast<std::size_t>(ProblemKind::no_uinput)] = true;
    s.busy_port = 48001;
    s.events = {event(1, "08:10", StatusEventKind::started),
                event(2, "08:11", StatusEventKind::platform_connected),
                event(3, "08:12", StatusEventKind::problem, 48001, ProblemKind::port_busy),
                event(4, "08:12", StatusEventKind::problem, 0, ProblemKind::no_uinput),
                event(5, "08:55", StatusEventKind::rented),
                event(6, "08:56", StatusEventKind::player_connected),
                event(7, "09:30", StatusEventKind::moved_to_relay),
                event(8, "09:31", StatusEventKind::player_back)};
    return s;
}

// One line per row: the text between bars, then the segments as style letter (n, d, a, i;
// capital when bold) and width.
inline std::string dump_screen(const Screen& screen) {
    std::ostringstream out;
    for (const Row& row : screen) {
        std::string text;
        std::string styles;
        for (const Segment& s : row) {
            text += s.text;
            char code = "ndai"[static_cast<int>(s.style)];
            if (s.bold) {
                code = static_cast<char>(code - 'a' + 'A');
            }
            styles += ' ';
            styles += code;
            styles += std::to_string(display_width(s.text));
        }
        out << "|" << text << "|" << styles << "\n";
    }
    return out.str();
}

inline std::filesystem::path golden_dir() {
    // Not __FILE__: a compiler cache may record it relative to the build folder.
    return std::filesystem::path(VX_TESTS_DIR) / "ui" / "layout" / "golden";
}

// Compares with the golden file; VX_UPDATE_GOLDEN=1 rewrites it instead.
inline std::string read_golden(const std::string& name, const std::string& actual) {
    const auto path = golden_dir() / name;
    if (const char* update = std::getenv("VX_UPDATE_GOLDEN");
        update && std::string(update) == "1") {
        std::ofstream(path, std::ios::binary) << actual;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace vx::ui::testing
