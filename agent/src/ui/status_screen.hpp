#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/console.hpp"
#include "status/status_board.hpp"
#include "util/clock.hpp"

namespace vx::ui {

// 1 while the ANSI screen holds the terminal's alternate screen. Whoever exchanges it to 0
// writes the leave sequence; nobody else does.
extern std::atomic<int> g_screen_active;

// The crash handler's screen hook: leaves the alternate screen when the screen holds it and
// gives the terminal its input modes and standard error back. Async-signal-safe.
void leave_screen_on_crash();

enum class ScreenMode : std::uint8_t { plain = 0, ansi = 2 };

// Plain when VX_TUI is exactly "plain", when standard output is not a terminal, or when the
// terminal cannot take escape sequences; ANSI otherwise.
ScreenMode choose_screen_mode(const char* vx_tui, bool stdout_is_terminal, const char* term);

// What the screen uses of the console and the clocks. Tests hand in their own.
struct ConsoleAccess {
    std::function<void(std::string_view)> write;
    std::function<platform::ConsoleSize()> size;
    util::NowFn steady_now_us;
    std::function<std::int64_t()> wall_now_s;
    ScreenMode mode = ScreenMode::plain;
    // The process's real terminal: also ignore Ctrl+Z, turn echo and line input off, divert
    // standard error and register the crash hook while the ANSI screen is up.
    bool real_terminal = false;
};

// Standard output, its window size and the system clocks; the mode from VX_TUI, TERM and
// whether standard output is a terminal.
ConsoleAccess real_console_access();

// The live status screen: one drawing thread that shows the status board until stop.
class StatusScreen {
  public:
    StatusScreen() = default;  // the real console, looked at when start is called
    explicit StatusScreen(ConsoleAccess console) : console_(std::move(console)) {}
    ~StatusScreen() { stop(); }
    StatusScreen(const StatusScreen&) = delete;
    StatusScreen& operator=(const StatusScreen&) = delete;

    // Chooses the mode and starts the drawing thread; does nothing while the thread exists.
    void start(bool russian, StatusBoard& board);
    // Wakes and joins the thread, which leaves the screen and writes the final text. Safe to
    // call more than once and without start.
    void stop();

    ScreenMode mode() const { return mode_; }
    // For tests: frames written and wake-ups of the drawing loop so far.
    std::uint64_t frames_written() const { return frames_.load(); }
    std::uint64_t loop_passes() const { return passes_.load(); }

  private:
    void run();
    void run_ansi();
    void run_plain();
    void finish_ansi();
    void finish_plain();
    // The frame for the board at `counter` in a window of `size`, rendered again only when the
    // board, the size or the wall-clock second changed since the last one.
    const std::string& frame_body(std::uint64_t counter, platform::ConsoleSize size);
    // Writes one frame unless the crash path has left the screen; false once it has.
    bool write_frame(std::string_view frame);
    // Undoes what start changed on the real terminal (Ctrl+Z, input modes, standard error, crash
    // hook).
    void restore_console();
    // At most ten frames a second: waits until the gap after the last frame (drawn
    // `since_draw_us` ago) has passed; false when a stop came meanwhile.
    bool wait_out_frame_gap(std::int64_t since_draw_us);
    // Prints every board event newer than `last_seq`; returns the newest sequence printed.
    std::uint64_t print_new_events(std::uint64_t last_seq);

    std::optional<ConsoleAccess> console_;
    ScreenMode mode_ = ScreenMode::plain;
    bool russian_ = false;
    StatusBoard* board_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<std::uint64_t> passes_{0};
    std::uint64_t last_printed_ = 0;  // plain mode: newest event sequence printed
    struct FrameKey {
        std::uint64_t counter = 0;
        int columns = -1;
        int rows = -1;
        std::int64_t wall_s = -1;
        bool operator==(const FrameKey&) const = default;
    };
    FrameKey body_key_;
    std::string body_;
    std::thread thread_;
};

// Stops the screen when the scope ends, also by an exception, so the terminal never stays in
// the alternate screen with a hidden cursor.
class StatusScreenGuard {
  public:
    explicit StatusScreenGuard(StatusScreen& screen) : screen_(screen) {}
    ~StatusScreenGuard() { screen_.stop(); }
    StatusScreenGuard(const StatusScreenGuard&) = delete;
    StatusScreenGuard& operator=(const StatusScreenGuard&) = delete;

  private:
    StatusScreen& screen_;
};

}  // namespace vx::ui
