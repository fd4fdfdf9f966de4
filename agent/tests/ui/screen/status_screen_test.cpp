#include "ui/status_screen.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>

#include "support/fake_clock.hpp"
#include "ui/ansi_frame.hpp"
#include "ui/screen_layout.hpp"

namespace vx::ui {
namespace {

constexpr std::int64_t kWallNow = 1796637600;
constexpr auto kPatience = std::chrono::seconds(10);  // a bound, not a pace: waits end on events

// Collects what the screen writes and lets the test wait for it.
class FakeConsole {
  public:
    ConsoleAccess access(ScreenMode mode) {
        ConsoleAccess c;
        c.write = [this](std::string_view bytes) {
            std::lock_guard lock(mutex_);
            out_ += bytes;
            ++writes_;
            changed_.notify_all();
        };
        c.size = [this] {
            std::lock_guard lock(mutex_);
            return size_;
        };
        c.steady_now_us = clock_.fn();
        c.wall_now_s = [] { return kWallNow; };
        c.mode = mode;
        return c;
    }

    std::string output() {
        std::lock_guard lock(mutex_);
        return out_;
    }
    void set_size(platform::ConsoleSize size) {
        std::lock_guard lock(mutex_);
        size_ = size;
    }
    // Waits (bounded) until the written text contains `needle` `count` times.
    bool wait_for(const std::string& needle, std::size_t count = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return occurrences(needle) >= count; });
    }
    std::size_t count(const std::string& needle) {
        std::lock_guard lock(mutex_);
        return occurrences(needle);
    }
    test::FakeClock& clock() { return clock_; }

  private:
    std::size_t occurrences(const std::string& needle) const {
        std::size_t n = 0;
        for (auto pos = out_.find(needle); pos != std::string::npos;
             pos = out_.find(needle, pos + 1)) {
            ++n;
        }
        return n;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::size_t writes_ = 0;
    platform::ConsoleSize size_{100, 30};
    test::FakeClock clock_;
};

// Waits (bounded) until the drawing loop has woken `n` more times.
void wait_for_passes(const StatusScreen& screen, std::uint64_t n) {
    const std::uint64_t target = screen.loop_passes() + n;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (screen.loop_passes() < target && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
}

void fill(StatusBoard& board) {
    board.set_identity("0.4.448", "TEST-PC", "/tmp/agent.log");
    board.set_link_state(LinkState::connected, LinkTransport::websocket);
}

const std::string kFrameStart = "\x1B[?25l\x1B[1;1H";

TEST(ScreenMode, ChoiceFromEnvironmentAndTerminal) {
    EXPECT_EQ(choose_screen_mode(nullptr, true, "xterm-256color"), ScreenMode::ansi);
    EXPECT_EQ(choose_screen_mode("plain", true, "xterm"), ScreenMode::plain);
    EXPECT_EQ(choose_screen_mode("Plain", true, "xterm"), ScreenMode::ansi);
    EXPECT_EQ(choose_screen_mode("", false, "xterm"), ScreenMode::plain);
    EXPECT_EQ(choose_screen_mode(nullptr, true, "dumb"), ScreenMode::plain);
    EXPECT_EQ(choose_screen_mode(nullptr, true, ""), ScreenMode::plain);
    EXPECT_EQ(choose_screen_mode(nullptr, true, nullptr), ScreenMode::plain);
}

TEST(StatusScreenAnsi, EntersDrawsAndLeavesWithTheFinalText) {
    StatusBoard board;
    fill(board);
    FakeConsole console;
    {
        StatusScreen screen(console.access(ScreenMode::ansi));
        screen.start(false, board);
        ASSERT_TRUE(console.wait_for("Connected · WebSocket"));
        EXPECT_EQ(g_screen_active.load(), 1);
        screen.stop();
        screen.stop();  // a second stop is harmless
    }
    EXPECT_EQ(g_screen_active.load(), 0);
    const std::string out = console.output();
    // The first frame clears, as the size went from unknown to known.
    EXPECT_EQ(out.rfind(std::string(kEnterSequence) + "\x1B[2J" + kFrameStart, 0), 0u);
    const auto leave = out.find(kLeaveSequence);
    ASSERT_NE(leave, std::string::npos);
    const std::string tail = out.substr(leave + kLeaveSequence.size());
    EXPECT_EQ(tail.rfind("Velmora agent stopped.\n", 0), 0u) << tail;
    EXPECT_TRUE(tail.ends_with("Connected to the platform\nFull log: /tmp/agent.log\n")) << tail;
    EXPECT_EQ(out.find("\x1B[?25l", leave), std::string::npos) << "a frame after the leave";
}

TEST(StatusScreenAnsi, AnUnchangedBoardIsNotRedrawn) {
    StatusBoard board;
    fill(board);
    FakeConsole console;  // its steady clock stands still: no idle redraw falls due
    StatusScreen screen(console.access(ScreenMode::ansi));
    screen.start(true, board);
    ASSERT_TRUE(console.wait_for(kFrameStart));
    wait_for_passes(screen, 3);
    EXPECT_EQ(screen.frames_written(), 1u);

    board.set_public_address("198.51.100.7");
    ASSERT_TRUE(console.wait_for(kFrameStart, 2));
    EXPECT_EQ(console.count("198.51.100.7"), 1u);
    // A redraw without a size change overwrites in place.
    EXPECT_EQ(console.count("\x1B[2J"), 2u);

    wait_for_passes(screen, 1);  // the draw time of the second frame is recorded by now
    console.clock().advance_ms(499);
    wait_for_passes(screen, 2);
    EXPECT_EQ(screen.frames_written(), 2u);
    console.clock().advance_ms(1);
    ASSERT_TRUE(console.wait_for(kFrameStart, 3)) << "the idle redraw every 500 ms";
    screen.stop();
}

TEST(StatusScreenAnsi, ResizeRedrawsWithAClearingFrame) {
    StatusBoard board;
    fill(board);
    FakeConsole console;
    StatusScreen screen(console.access(ScreenMode::ansi));
    screen.start(false, board);
    ASSERT_TRUE(console.wait_for(kFrameStart));
    console.set_size({0, -3});  // a broken size query counts as 80 x 25
    const Screen rows = render_status_screen(board.snapshot(), {80, 25, false, kWallNow});
    EXPECT_TRUE(console.wait_for("\x1B[2J" + compose_ansi_frame(rows, 25)));
    screen.stop();
}

TEST(StatusScreenAnsi, NothingIsDrawnOnceTheCrashPathLeftTheScreen) {
    StatusBoard board;
    fill(board);
    FakeConsole console;
    StatusScreen screen(console.access(ScreenMode::ansi));
    screen.start(false, board);
    ASSERT_TRUE(console.wait_for(kFrameStart));
    // What the crash hook does first: take the screen over.
    ASSERT_EQ(g_screen_active.exchange(0), 1);
    board.set_public_address("198.51.100.9");
    wait_for_passes(screen, 1);
    screen.stop();
    EXPECT_EQ(console.count("198.51.100.9"), 0u);
    EXPECT_EQ(console.count(std::string(kLeaveSequence)), 0u) << "the crash path wrote it";
    EXPECT_EQ(console.count("Velmora agent stopped."), 0u) << "no clean-stop text in a crash";
    EXPECT_EQ(screen.frames_written(), 1u);
}

TEST(StatusScreenAnsi, GuardStopsTheScreenWhenAnExceptionLeaves) {
    StatusBoard board;
    fill(board);
    FakeConsole console;
    StatusScreen screen(console.access(ScreenMode::ansi));
    try {
        screen.start(false, board);
        StatusScreenGuard guard(screen);
        ASSERT_TRUE(console.wait_for(kFrameStart));
        throw std::runtime_error("driver failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(g_screen_active.load(), 0);
    EXPECT_EQ(console.count(std::string(kLeaveSequence)), 1u);
    EXPECT_NE(console.output().find("Velmora agent stopped."), std::string::npos);
}

TEST(StatusScreenPlain, PrintsHeaderEventsAndEndWithoutEscapes) {
    StatusBoard board;
    board.set_wall_clock_for_test([] { return std::int64_t{kWallNow}; });
    fill(board);
    FakeConsole console;
    StatusScreen screen(console.access(ScreenMode::plain));
    screen.start(false, board);
    EXPECT_EQ(screen.mode(), ScreenMode::plain);
    ASSERT_TRUE(console.wait_for("] Connected"));
    board.report_problem(ProblemKind::port_busy, 48001);
    ASSERT_TRUE(console.wait_for("] ! "));
    screen.stop();
    const std::string out = console.output();
    EXPECT_EQ(out.rfind("VELMORA  Agent 0.4.448 · TEST-PC\nFull log: /tmp/agent.log\n"
                        "Ctrl+C stops the agent · --verbose shows the full log here\n",
                        0),
              0u);
    EXPECT_EQ(out.find('\x1B'), std::string::npos);
    EXPECT_EQ(console.count("] Connected"), 1u) << "every event is printed once";
    EXPECT_TRUE(out.ends_with("Velmora agent stopped.\n"));
}

TEST(StatusScreenPlain, EventsLeftAtStopArePrintedInRussian) {
    StatusBoard board;
    fill(board);
    FakeConsole console;
    StatusScreen screen(console.access(ScreenMode::plain));
    screen.start(true, board);
    ASSERT_TRUE(console.wait_for("Ctrl+C"));
    screen.stop();
    EXPECT_TRUE(console.output().ends_with("Агент Velmora остановлен.\n"));
    EXPECT_EQ(console.count("["), 1u) << console.output();
}

}  // namespace
}  // namespace vx::ui
