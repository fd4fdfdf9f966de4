#include "ui/ansi_frame.hpp"

#include <gtest/gtest.h>

namespace vx::ui {
namespace {

const std::string kNormal = "\x1B[0;38;2;255;255;255;48;2;0;0;0m";

TEST(AnsiFrame, ControlSequencesByteForByte) {
    EXPECT_EQ(kEnterSequence.size(), 18u);
    EXPECT_EQ(kLeaveSequence.size(), 22u);
    EXPECT_EQ(kEnterSequence, "\x1B[?1049h\x1B[?25l\x1B[2J");
    EXPECT_EQ(kLeaveSequence, "\x1B[0m\x1B[2J\x1B[?25h\x1B[?1049l");
    EXPECT_EQ(sgr_sequence(Style::normal, false), kNormal);
    EXPECT_EQ(sgr_sequence(Style::dim, false), "\x1B[0;38;2;140;140;140;48;2;0;0;0m");
    EXPECT_EQ(sgr_sequence(Style::accent, true), "\x1B[0;38;2;223;255;0;48;2;0;0;0;1m");
    EXPECT_EQ(sgr_sequence(Style::inverse, true), "\x1B[0;38;2;0;0;0;48;2;223;255;0;1m");
}

TEST(AnsiFrame, RowsInPlaceAndTailOnlyBelowThem) {
    const Screen rows{{{" ", Style::normal, false}, {"Hi", Style::accent, true}}, {}};
    const std::string body = "\x1B[?25l\x1B[1;1H" + kNormal + " " +
                             sgr_sequence(Style::accent, true) + "Hi" + kNormal + "\x1B[K" +
                             "\x1B[2;1H" + kNormal + "\x1B[K";
    EXPECT_EQ(compose_ansi_frame(rows, 25), body + "\x1B[3;1H" + kNormal + "\x1B[J");
    // The rows fill the console: the tail would land on the last row and erase it.
    EXPECT_EQ(compose_ansi_frame(rows, 2), body);
    EXPECT_EQ(compose_ansi_frame({}, 1), "\x1B[?25l\x1B[1;1H" + kNormal + "\x1B[J");
}

}  // namespace
}  // namespace vx::ui
