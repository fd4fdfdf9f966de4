#include "ui/status_screen.hpp"

#include <time.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/crash_handler.hpp"
#include "platform/thread_name.hpp"
#include "ui/ansi_frame.hpp"
#include "ui/screen_layout.hpp"
#include "ui/screen_texts.hpp"

namespace vx::ui {

std::atomic<int> g_screen_active{0};

namespace {

// 1 while the drawing thread writes a frame. With g_screen_active it forms a handshake (both
// sequentially consistent): either the thread sees the crash path's 0 and draws nothing, or the
// crash path sees the frame being written and waits for it before leaving the screen.
std::atomic<int> g_frame_writing{0};
constexpr int kCrashWaitSteps = 200;  // 1 ms each: a stalled terminal must not hold a crash

// The longest wait for a change: the window's size is looked at after it.
constexpr std::chrono::milliseconds kWaitSlice{250};
// The session clock ticks on an idle screen.
constexpr std::chrono::microseconds kIdleRedraw{500'000};
constexpr std::chrono::microseconds kMinFrameGap{100'000};  // at most ten frames a second
constexpr std::chrono::microseconds kFirstDrawBackdate{10'000'000};

platform::ConsoleSize checked_size(platform::ConsoleSize size) {
    if (size.columns < 1 || size.rows < 1) {
        return {};
    }
    return size;
}

}  // namespace

void leave_screen_on_crash() {
    if (g_screen_active.exchange(0) == 1) {
        const timespec step{0, 1'000'000};
        for (int i = 0; i < kCrashWaitSteps && g_frame_writing.load() == 1; ++i) {
            ::nanosleep(&step, nullptr);
        }
        platform::write_console(kLeaveSequence.data(), kLeaveSequence.size());
    }
    platform::restore_terminal_input();
    platform::restore_stderr();
}

ScreenMode choose_screen_mode(const char* vx_tui, bool stdout_is_terminal, const char* term) {
    if (vx_tui != nullptr && std::strcmp(vx_tui, "plain") == 0) {
        return ScreenMode::plain;
    }
    if (!stdout_is_terminal || platform::terminal_is_dumb(term)) {
        return ScreenMode::plain;
    }
    return ScreenMode::ansi;
}

ConsoleAccess real_console_access() {
    ConsoleAccess c;
    c.write = [](std::string_view bytes) { platform::write_console(bytes); };
    c.size = [] { return platform::console_size(); };
    c.steady_now_us = [] { return util::steady_now_us(); };
    c.wall_now_s = [] { return util::wall_now_ms() / 1000; };
    c.mode = choose_screen_mode(std::getenv("VX_TUI"), platform::stdout_is_terminal(),
                                std::getenv("TERM"));
    c.real_terminal = true;
    return c;
}

void StatusScreen::start(bool russian, StatusBoard& board) {
    if (thread_.joinable()) {
        return;
    }
    if (!console_) {
        console_ = real_console_access();
    }
    russian_ = russian;
    board_ = &board;
    stop_.store(false);
    mode_ = console_->mode;
    if (mode_ == ScreenMode::ansi && console_->real_terminal) {
        platform::ignore_terminal_stop();
        platform::quiet_console_input();
        platform::divert_stderr(board.snapshot().log_path.c_str());
        platform::set_crash_hook(platform::CrashHookSlot::screen, &leave_screen_on_crash);
    }
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        restore_console();
        throw;
    }
}

void StatusScreen::stop() {
    if (!thread_.joinable()) {
        return;
    }
    stop_.store(true);
    board_->poke();  // raises the counter under the board's mutex, so the wait cannot miss it
    thread_.join();
}

void StatusScreen::run() {
    platform::name_this_thread("vx-screen");
    // Whatever happens while drawing, the end below must still leave the screen.
    try {
        if (mode_ == ScreenMode::ansi) {
            run_ansi();
        } else {
            run_plain();
        }
    } catch (...) {
    }
    try {
        if (mode_ == ScreenMode::ansi) {
            finish_ansi();
        } else {
            finish_plain();
        }
    } catch (...) {
    }
    restore_console();
}

void StatusScreen::restore_console() {
    if (mode_ == ScreenMode::ansi && console_->real_terminal) {
        platform::set_crash_hook(platform::CrashHookSlot::screen, nullptr);
        platform::restore_stderr();
        platform::restore_terminal_input();
        platform::restore_terminal_stop();
    }
}

bool StatusScreen::wait_out_frame_gap(std::int64_t since_draw_us) {
    const std::int64_t left_us = kMinFrameGap.count() - since_draw_us;
    if (left_us <= 0) {
        return !stop_.load();
    }
    std::unique_lock lock(board_->mutex);
    return !board_->changed.wait_for(lock, std::chrono::microseconds(left_us),
                                     [&] { return stop_.load(); });
}

void StatusScreen::run_ansi() {
    g_screen_active.store(1);
    console_->write(kEnterSequence);
    std::uint64_t seen = 0;
    platform::ConsoleSize last{-1, -1};
    std::int64_t last_draw_us = console_->steady_now_us() - kFirstDrawBackdate.count();
    while (!stop_.load()) {
        std::uint64_t counter = board_->wait_for_change(seen, kWaitSlice);
        if (stop_.load()) {
            break;
        }
        ++passes_;
        const platform::ConsoleSize size = checked_size(console_->size());
        const bool resized = !(size == last);
        const std::int64_t since_draw_us = console_->steady_now_us() - last_draw_us;
        if (counter == seen && !resized && since_draw_us < kIdleRedraw.count()) {
            continue;
        }
        // A change that comes sooner after the last frame waits for the rest of the gap and is
        // drawn with whatever else changed meanwhile; an idle screen never waits here.
        if (!wait_out_frame_gap(since_draw_us)) {
            break;
        }
        {
            std::lock_guard lock(board_->mutex);
            counter = board_->change_counter;
        }
        // Taking the counter as drawn is what lets the next wait sleep instead of spinning.
        seen = counter;
        last = size;
        std::string frame(resized ? kClearScreen : std::string_view{});
        frame += frame_body(counter, size);
        // Once the crash path has left the alternate screen nothing may be drawn over the console.
        if (!write_frame(frame)) {
            break;
        }
        last_draw_us = console_->steady_now_us();
    }
}

const std::string& StatusScreen::frame_body(std::uint64_t counter, platform::ConsoleSize size) {
    const RenderParams params{size.columns, size.rows, russian_, console_->wall_now_s()};
    // An idle redraw within the same second of an unchanged board draws the same bytes again.
    const FrameKey key{counter, size.columns, size.rows, params.now_s};
    if (!(key == body_key_) || body_.empty()) {
        body_ = compose_ansi_frame(render_status_screen(board_->snapshot(), params), size.rows);
        body_key_ = key;
    }
    return body_;
}

bool StatusScreen::write_frame(std::string_view frame) {
    g_frame_writing.store(1);
    const bool active = g_screen_active.load() == 1;
    if (active) {
        console_->write(frame);
        ++frames_;
    }
    g_frame_writing.store(0);
    return active;
}

void StatusScreen::finish_ansi() {
    const StatusSnapshot snap = board_->snapshot();
    // Only the crash path clears the flag before this: the process is dying, and a "stopped"
    // text next to its crash report would tell the user the opposite of what happened.
    if (g_screen_active.exchange(0) != 1) {
        return;
    }
    console_->write(kLeaveSequence);
    console_->write(render_final_screen(snap, russian_));
}

void StatusScreen::run_plain() {
    console_->write(render_plain_header(board_->snapshot(), russian_));
    std::uint64_t seen = 0;
    while (!stop_.load()) {
        const std::uint64_t counter = board_->wait_for_change(seen, kWaitSlice);
        if (stop_.load()) {
            break;
        }
        ++passes_;
        if (counter != seen) {
            last_printed_ = print_new_events(last_printed_);
            seen = counter;
        }
    }
}

void StatusScreen::finish_plain() {
    last_printed_ = print_new_events(last_printed_);
    console_->write(std::string(pick_text(texts::kAgentStopped, russian_)) + "\n");
}

std::uint64_t StatusScreen::print_new_events(std::uint64_t last_seq) {
    const StatusSnapshot snap = board_->snapshot();
    std::string text;
    for (const StatusEvent& e : snap.events) {
        if (e.seq > last_seq) {
            text += format_event_line(snap, e, russian_) + "\n";
            last_seq = e.seq;
        }
    }
    if (!text.empty()) {
        console_->write(text);
    }
    return last_seq;
}

}  // namespace vx::ui
