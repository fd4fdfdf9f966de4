// vx_status_demo: fills a status board from a small state file and runs the real status screen,
// so every state can be looked at in any terminal size without a backend.
//
//   vx_status_demo [--state FILE] [--lang ru|en] [--run-ms N] [--crash-after-ms N]
//                  [--stderr-after-ms N]
//
// The language defaults to VX_LANG (Russian when it begins with "ru"). Without --run-ms the demo
// runs until a stop signal (SIGINT, SIGTERM, SIGHUP), as the agent does; --crash-after-ms
// dereferences a null pointer on purpose so the crash handler's screen hook can be watched;
// --stderr-after-ms writes a line to standard error while the screen is up, as a stray library
// warning would. State file lines are "key=value" ('#' comments):
//   version, computer, log, link (connecting|connected|lost|standalone),
//   transport (udp|relay|websocket), link_age (s), address, verdict (0-5), gpu, encoder,
//   session (idle|rented|player), session_age (s), codec, resolution (WxH), fps, rate, path
//   (direct|relay), ping, loss, stopping (1), problem (kind number, ":port" for a busy port;
//   repeatable), event (kind number, ":value"; repeatable).

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/crash_handler.hpp"
#include "platform/stop_signals.hpp"
#include "platform/ui_language.hpp"
#include "status/status_board.hpp"
#include "ui/status_screen.hpp"
#include "util/clock.hpp"

namespace {

std::atomic<std::int64_t> g_clock_offset_s{0};

std::int64_t demo_now_s() {
    return vx::util::wall_now_ms() / 1000 - g_clock_offset_s.load();
}

struct Options {
    std::string state_file;
    bool russian = false;
    long run_ms = -1;
    long crash_after_ms = -1;
    long stderr_after_ms = -1;
};

bool parse_options(int argc, char** argv, Options& opt) {
    const char* lang = std::getenv("VX_LANG");
    opt.russian = lang != nullptr && vx::platform::begins_with_ru(lang);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--state") {
            opt.state_file = value;
        } else if (arg == "--lang") {
            opt.russian = value == "ru";
        } else if (arg == "--run-ms") {
            opt.run_ms = std::stol(value);
        } else if (arg == "--crash-after-ms") {
            opt.crash_after_ms = std::stol(value);
        } else if (arg == "--stderr-after-ms") {
            opt.stderr_after_ms = std::stol(value);
        } else {
            return false;
        }
    }
    return true;
}

std::multimap<std::string, std::string> read_state(const std::string& path) {
    std::multimap<std::string, std::string> state;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) {
            continue;
        }
        state.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    return state;
}

std::string get(const std::multimap<std::string, std::string>& s, const std::string& key,
                const std::string& fallback = "") {
    const auto it = s.find(key);
    return it == s.end() ? fallback : it->second;
}

double number(const std::multimap<std::string, std::string>& s, const std::string& key,
              double fallback) {
    const std::string v = get(s, key);
    return v.empty() ? fallback : std::strtod(v.c_str(), nullptr);
}

vx::LinkState link_state(const std::string& v) {
    if (v == "connected")
        return vx::LinkState::connected;
    if (v == "lost")
        return vx::LinkState::lost;
    if (v == "standalone")
        return vx::LinkState::standalone;
    return vx::LinkState::connecting;
}

vx::LinkTransport transport(const std::string& v) {
    if (v == "relay")
        return vx::LinkTransport::udp_relay;
    if (v == "websocket")
        return vx::LinkTransport::websocket;
    return vx::LinkTransport::udp;
}

// "kind" or "kind:value" with the kind as its number.
std::pair<int, long> kind_and_value(const std::string& v) {
    const auto colon = v.find(':');
    const int kind = std::atoi(v.substr(0, colon).c_str());
    const long value = colon == std::string::npos ? 0 : std::atol(v.c_str() + colon + 1);
    return {kind, value};
}

void fill_link(vx::StatusBoard& board, const std::multimap<std::string, std::string>& s) {
    const vx::LinkState link = link_state(get(s, "link", "connecting"));
    const vx::LinkTransport tr = transport(get(s, "transport", "udp"));
    if (link == vx::LinkState::lost) {
        // Lost is reached from connected, as in the agent; the change is backdated.
        board.set_link_state(vx::LinkState::connected, tr);
    }
    g_clock_offset_s = static_cast<std::int64_t>(number(s, "link_age", 0));
    board.set_link_state(link, tr);
    g_clock_offset_s = 0;
}

void fill_session(vx::StatusBoard& board, const std::multimap<std::string, std::string>& s) {
    const std::string session = get(s, "session", "idle");
    const auto start = demo_now_s() - static_cast<std::int64_t>(number(s, "session_age", 0));
    if (session == "rented") {
        board.set_session_state(vx::SessionState::rented, start);
    } else if (session == "player") {
        board.set_session_state(vx::SessionState::player_connected, start);
    }
    unsigned w = 0;
    unsigned h = 0;
    std::sscanf(get(s, "resolution").c_str(), "%ux%u", &w, &h);
    board.set_stream(get(s, "codec"), w, h, static_cast<std::uint32_t>(number(s, "fps", 0)));
    board.set_sent_rate(number(s, "rate", -1));
    const std::string path = get(s, "path");
    const auto kind = path == "direct"  ? vx::MediaPathKind::direct
                      : path == "relay" ? vx::MediaPathKind::relay
                                        : vx::MediaPathKind::none;
    board.set_path(kind, number(s, "ping", -1), number(s, "loss", -1));
}

void fill_board(vx::StatusBoard& board, const std::multimap<std::string, std::string>& s) {
    board.set_wall_clock_for_test(&demo_now_s);
    board.set_identity(get(s, "version", "0.4.448"), get(s, "computer", "DEMO-PC"), get(s, "log"));
    board.add_event(vx::StatusEventKind::started);
    fill_link(board, s);
    board.set_public_address(get(s, "address"));
    board.set_verdict(static_cast<vx::DirectVerdict>(number(s, "verdict", 0)));
    board.set_gpu(get(s, "gpu"), get(s, "encoder"));
    fill_session(board, s);
    for (auto [it, end] = s.equal_range("problem"); it != end; ++it) {
        const auto [kind, port] = kind_and_value(it->second);
        board.report_problem(static_cast<vx::ProblemKind>(kind), static_cast<std::uint16_t>(port));
    }
    for (auto [it, end] = s.equal_range("event"); it != end; ++it) {
        const auto [kind, value] = kind_and_value(it->second);
        board.add_event(static_cast<vx::StatusEventKind>(kind), value);
    }
    if (get(s, "stopping") == "1") {
        board.set_stopping();
    }
}

// A fault as the crash handler sees it. Raised rather than provoked, so the sanitizers' own
// null-pointer checks of a test build do not end the program before the handler runs.
[[noreturn]] void crash_on_purpose() {
    ::raise(SIGSEGV);
    std::abort();
}

// Set by the first stop signal.
struct StopRequest {
    std::mutex mutex;
    std::condition_variable cv;
    bool requested = false;

    void request() {
        std::lock_guard lock(mutex);
        requested = true;
        cv.notify_all();
    }
    // Until a stop signal, or until `run_ms` passes when it is not negative.
    void wait(long run_ms) {
        std::unique_lock lock(mutex);
        if (run_ms < 0) {
            cv.wait(lock, [&] { return requested; });
        } else {
            cv.wait_for(lock, std::chrono::milliseconds(run_ms), [&] { return requested; });
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse_options(argc, argv, opt)) {
        std::fprintf(stderr,
                     "usage: vx_status_demo [--state FILE] [--lang ru|en] [--run-ms N] "
                     "[--crash-after-ms N] [--stderr-after-ms N]\n");
        return 2;
    }
    // As in the agent: a closed pipe on stdout must not kill the program, and the stop signals
    // are taken on a thread of their own.
    vx::platform::prepare_process_signals();
    vx::platform::install_crash_handler();
    StopRequest stop;
    vx::platform::StopSignalWatcher stop_signals([&](int) { stop.request(); });

    vx::StatusBoard board;
    fill_board(board, read_state(opt.state_file));
    vx::ui::StatusScreen screen;
    vx::ui::StatusScreenGuard guard(screen);
    screen.start(opt.russian, board);
    if (opt.stderr_after_ms >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(opt.stderr_after_ms));
        std::fputs("STRAY STDERR LINE\n", stderr);
    }
    if (opt.crash_after_ms >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(opt.crash_after_ms));
        crash_on_purpose();
    }
    stop.wait(opt.run_ms);
    board.set_stopping();
    screen.stop();
    return 0;
}
