#include "ui/screen_layout.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "status/status_texts.hpp"
#include "ui/layout/layout_fixtures.hpp"
#include "ui/screen_blocks.hpp"
#include "ui/text_fit.hpp"

namespace vx::ui {
namespace {

using testing::busy_snapshot;
using testing::dump_screen;
using testing::idle_snapshot;
using testing::kNow;
using testing::read_golden;

RenderParams params(int columns, int rows, bool russian) {
    return RenderParams{columns, rows, russian, kNow};
}

std::string lang(bool russian) {
    return russian ? "ru" : "en";
}

std::string screen_text(const Screen& screen) {
    std::string out;
    for (const Row& row : screen) {
        for (const Segment& s : row) {
            out += s.text;
        }
        out += "\n";
    }
    return out;
}

void expect_golden(const std::string& name, const Screen& screen) {
    const std::string actual = dump_screen(screen);
    EXPECT_EQ(actual, read_golden(name, actual)) << "golden " << name;
}

class LayoutGolden : public ::testing::TestWithParam<bool> {};

// Widths around the banner's two thresholds: 103 columns of text for the one-line mark, 73 for
// the banner at all.
TEST_P(LayoutGolden, IdleScreenAtEachWidth) {
    const bool ru = GetParam();
    for (auto [columns, rows] : {std::pair{200, 50}, {105, 50}, {104, 40}, {75, 40}, {74, 40}}) {
        const Screen screen = render_status_screen(idle_snapshot(), params(columns, rows, ru));
        expect_golden("idle_" + std::to_string(columns) + "x" + std::to_string(rows) + "_" +
                          lang(ru) + ".txt",
                      screen);
        for (const Row& row : screen) {
            EXPECT_LE(row_width(row), columns - 1);
        }
    }
}

TEST_P(LayoutGolden, EveryVariantAtTheHeightThatPicksIt) {
    const bool ru = GetParam();
    // The smallest height that picks a variant is exactly its row count; the last variant is
    // also picked (and cut) below its own size, so it is taken at the largest height instead.
    std::vector<int> first_height(std::size(kLayoutVariants), 0);
    for (int h = 60; h >= 1; --h) {
        const std::size_t v = pick_layout_variant(busy_snapshot(), params(80, h, ru));
        if (v + 1 < first_height.size() || first_height[v] == 0) {
            first_height[v] = h;
        }
    }
    for (std::size_t v = 0; v < first_height.size(); ++v) {
        const int h = first_height[v];
        ASSERT_GT(h, 0) << "variant " << v + 1 << " is never chosen";
        const Screen screen = render_status_screen(busy_snapshot(), params(80, h, ru));
        if (v + 1 < first_height.size()) {
            EXPECT_EQ(screen.size(), static_cast<std::size_t>(h)) << "variant " << v + 1;
        } else {
            EXPECT_LE(screen.size(), static_cast<std::size_t>(h));
        }
        expect_golden("busy_80_variant" + std::to_string(v + 1) + "_" + lang(ru) + ".txt", screen);
    }
}

TEST_P(LayoutGolden, TooShortAndTooNarrowConsoles) {
    const bool ru = GetParam();
    const Screen short_screen = render_status_screen(busy_snapshot(), params(80, 5, ru));
    ASSERT_EQ(short_screen.size(), 5u);
    expect_golden("busy_80x5_" + lang(ru) + ".txt", short_screen);
    expect_golden("busy_30x24_" + lang(ru) + ".txt",
                  render_status_screen(busy_snapshot(), params(30, 24, ru)));
    for (int columns = 1; columns <= 24; ++columns) {
        for (const Row& row : render_status_screen(busy_snapshot(), params(columns, 40, ru))) {
            // One column stays free on the right, and a row never wraps.
            EXPECT_LE(row_width(row), std::max(columns - 1, 1)) << columns << " columns";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, LayoutGolden, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ru" : "en"; });

TEST(Layout, LabelsAlignAtColumnTwelveInBothLanguages) {
    for (bool ru : {false, true}) {
        const Screen sections = render_sections(busy_snapshot(), ru, kNow);
        ASSERT_EQ(sections.size(), 3u);
        for (const Row& row : sections) {
            ASSERT_GE(row.size(), 2u);
            // The screen adds one leading space: the value starts at column 1 + 10 + 1 = 12.
            EXPECT_EQ(display_width(row[0].text), 10) << row[0].text;
            EXPECT_EQ(row[0].style, Style::dim);
        }
    }
}

TEST(Layout, PlainHeaderByteForByte) {
    EXPECT_EQ(render_plain_header(idle_snapshot(), false),
              "VELMORA  Agent 0.4.448 · GAMING-PC-07\n"
              "Full log: /home/player/.local/share/Velmora/logs/agent.log\n"
              "Ctrl+C stops the agent · --verbose shows the full log here\n");
    StatusSnapshot bare;
    bare.computer_name = "PC\x1B[2J";
    EXPECT_EQ(render_plain_header(bare, true),
              "VELMORA  Агент · PC[2J\n"
              "Ctrl+C — остановить · --verbose — весь лог в\u00A0этом окне\n");
}

TEST(Layout, EventLinesAndFinalScreen) {
    const StatusSnapshot s = busy_snapshot();
    EXPECT_EQ(format_event_line(s, s.events[5], false).rfind("[08:56] ", 0), 0u);
    EXPECT_NE(format_event_line(s, s.events[5], false)
                  .find(" · 1920\u00D71080 · 60 fps · HEVC · 25.0 Mbit/s"),
              std::string::npos);
    EXPECT_EQ(format_event_line(s, s.events[2], true).rfind("[08:12] ! ", 0), 0u);
    EXPECT_EQ(format_event_line(s, s.events[2], true),
              "[08:12] ! " + problem_text(s, ProblemKind::port_busy, true));

    const std::string final_en = render_final_screen(s, false);
    EXPECT_EQ(final_en, "Velmora agent stopped.\nNeeds your attention:\n  ! " +
                            problem_text(s, ProblemKind::port_busy, false) + "\n  ! " +
                            problem_text(s, ProblemKind::no_uinput, false) + "\n  08:56  " +
                            event_text(s, s.events[5], false) + "\n  09:30  " +
                            event_text(s, s.events[6], false) + "\n  09:31  " +
                            event_text(s, s.events[7], false) + "\n" +
                            "Full log: /home/player/.local/share/Velmora/logs/agent.log\n")
        << "the newest three events, oldest first";
}

TEST(Layout, FinalScreenNewestThreeEventsOldestFirst) {
    const StatusSnapshot s = busy_snapshot();
    const std::string final_ru = render_final_screen(s, true);
    const auto a = final_ru.find("  08:56  ");
    const auto b = final_ru.find("  09:30  ");
    const auto c = final_ru.find("  09:31  ");
    EXPECT_TRUE(a < b && b < c) << final_ru;
    EXPECT_EQ(final_ru.rfind("Агент Velmora остановлен.\nНужно ваше внимание:\n", 0), 0u);
    StatusSnapshot calm = idle_snapshot();
    EXPECT_EQ(render_final_screen(calm, false).find("Needs your attention"), std::string::npos);
}

TEST(Layout, PathAndStreamNumbers) {
    StatusSnapshot s = busy_snapshot();
    EXPECT_EQ(render_path_line(s, true), "Через релей · пинг 32 мс · потери 1,5\u00A0%");
    EXPECT_EQ(render_path_line(s, false), "Through the relay · ping 32 ms · loss 1.5%");
    EXPECT_EQ(render_stream_line(s, true), "1920\u00D71080 · 60 FPS · HEVC · 25,0 Мбит/с");
    s.width = 0;
    s.fps = 0;
    s.codec.clear();
    s.sent_mbps = -1;
    EXPECT_EQ(render_stream_line(s, false), "");
}

TEST(Layout, BrokenMeasurementsNeverShowNanOrNegativeTimes) {
    StatusSnapshot s = busy_snapshot();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    s.ping_ms = nan;
    s.loss_pct = nan;
    s.sent_mbps = nan;
    EXPECT_EQ(render_path_line(s, false), "Through the relay");
    EXPECT_EQ(render_stream_line(s, false), "1920\u00D71080 · 60 fps · HEVC");
    s.ping_ms = 1e300;
    s.loss_pct = std::numeric_limits<double>::infinity();
    s.sent_mbps = 1e200;
    EXPECT_EQ(render_path_line(s, false), "Through the relay · ping 99999 ms · loss 100.0%");
    EXPECT_EQ(render_stream_line(s, false), "1920\u00D71080 · 60 fps · HEVC · 99999.0 Mbit/s");

    s.session_start_s = kNow + 500;  // clock stepped back
    std::string state = screen_text(render_state_block(s, false, kNow, 78));
    EXPECT_NE(state.find("PLAYER CONNECTED · 00:00:00"), std::string::npos) << state;
    s.session_start_s = 0;  // never stamped
    state = screen_text(render_state_block(s, false, kNow, 78));
    EXPECT_NE(state.find("PLAYER CONNECTED\n"), std::string::npos) << state;
    s.session_start_s = kNow - 3725;
    state = screen_text(render_state_block(s, false, kNow, 78));
    EXPECT_NE(state.find("PLAYER CONNECTED · 01:02:05"), std::string::npos) << state;
    for (const auto& row : render_status_screen(s, params(200, 50, true))) {
        for (const auto& seg : row) {
            EXPECT_EQ(seg.text.find("nan"), std::string::npos);
            EXPECT_EQ(seg.text.find(":-"), std::string::npos) << seg.text;
        }
    }
}

TEST(Layout, LostLinkShowsItsDurationFromOneMinute) {
    StatusSnapshot s = idle_snapshot();
    s.link = LinkState::lost;
    s.link_changed_s = kNow - 59;
    EXPECT_EQ(render_link_line(s, false, kNow).back().text, "No connection, reconnecting");
    s.link_changed_s = kNow - 60;
    const std::string text = render_link_line(s, false, kNow).back().text;
    EXPECT_EQ(text, "No connection, reconnecting (" + vx::format_duration(60, false) + ")");
    s.link_changed_s = kNow + 3600;  // in the future: no negative duration
    EXPECT_EQ(render_link_line(s, true, kNow).back().text, "Нет связи, переподключаемся");
}

TEST(Layout, LinkAndStateTexts) {
    StatusSnapshot s = idle_snapshot();
    const Row connected = render_link_line(s, true, kNow);
    ASSERT_EQ(connected.size(), 2u);
    EXPECT_EQ(connected[0], (Segment{"\u25CF ", Style::accent, false}));
    EXPECT_EQ(connected[1].text, "На\u00A0связи · UDP");
    s.link = LinkState::standalone;
    EXPECT_EQ(render_link_line(s, true, kNow)[0].text, "Автономно, без\u00A0платформы");
    EXPECT_EQ(screen_text(render_state_block(s, false, kNow, 78)),
              "▌ WAITING FOR A PLAYER\n  Waiting for a launcher to connect.\n");
    s.link = LinkState::connecting;
    EXPECT_EQ(screen_text(render_state_block(s, true, kNow, 78)),
              "▌ ЗАПУСК\n  Подключаемся к\u00A0Velmora…\n");
    s.session = SessionState::rented;
    EXPECT_EQ(screen_text(render_state_block(s, false, kNow, 78)),
              "▌ PLAYER IS CONNECTING\n  Starting screen capture and the encoder…\n");
    s.stopping = true;
    EXPECT_EQ(screen_text(render_state_block(s, true, kNow, 78)),
              "▌ ОСТАНАВЛИВАЕМСЯ…\n  ПК уйдёт из\u00A0каталога.\n");
    // Wrapped explanation lines keep their two-space indent.
    s.stopping = false;
    s.session = SessionState::idle;
    s.link = LinkState::connected;
    EXPECT_EQ(screen_text(render_state_block(s, false, kNow, 24)),
              "▌ WAITING FOR A PLAYER\n  The PC is in the\n  catalog. A session\n"
              "  starts on its own.\n");
}

TEST(Layout, NoEventsMeansNoRecentBlock) {
    StatusSnapshot s = idle_snapshot();
    s.events.clear();
    for (int rows : {50, 20, 14, 10}) {
        for (bool ru : {false, true}) {
            const std::string text = screen_text(render_status_screen(s, params(90, rows, ru)));
            EXPECT_EQ(text.find(ru ? "События" : "Recent"), std::string::npos);
        }
    }
}

TEST(Layout, OutsideTextsAreCleaned) {
    StatusSnapshot s = idle_snapshot();
    s.computer_name = "EVIL\x1B]0;title\x07PC\u202E";
    s.gpu_name = "GPU\r\n\xFF";
    const std::string text = screen_text(render_status_screen(s, params(200, 50, false)));
    EXPECT_EQ(text.find('\x1B'), std::string::npos);
    EXPECT_EQ(text.find('\a'), std::string::npos);
    EXPECT_EQ(text.find("\u202E"), std::string::npos);
    EXPECT_NE(text.find("EVIL]0;titlePC"), std::string::npos);
    EXPECT_NE(text.find("GPU\uFFFD"), std::string::npos);
}

}  // namespace
}  // namespace vx::ui
