#include "status/status_texts.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace vx {
namespace {

// Strict UTF-8 check: the console writes these bytes as they are.
bool valid_utf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t extra = 0;
        if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
        } else if (c >= 0xE0) {
            extra = c <= 0xEF ? 2 : 9;
        } else if (c >= 0xC2) {
            extra = 1;
        } else if (c >= 0x80) {
            return false;
        }
        if (extra == 9 || i + extra >= s.size() + (extra == 0)) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

StatusEvent event_of(StatusEventKind kind, std::int64_t value = 0,
                     ProblemKind problem = ProblemKind::none) {
    StatusEvent e;
    e.kind = kind;
    e.value = value;
    e.problem = problem;
    return e;
}

TEST(StatusTexts, EveryEventHasItsOwnTextInBothLanguages) {
    for (bool ru : {false, true}) {
        std::set<std::string> seen;
        for (int k = 0; k <= static_cast<int>(StatusEventKind::failed); ++k) {
            const auto text = status_event_text(event_of(static_cast<StatusEventKind>(k)), ru, 0);
            EXPECT_FALSE(text.empty()) << k;
            EXPECT_TRUE(valid_utf8(text)) << k;
            EXPECT_TRUE(seen.insert(text).second) << "duplicate text for event " << k;
        }
    }
    EXPECT_NE(status_event_text(event_of(StatusEventKind::started), true, 0),
              status_event_text(event_of(StatusEventKind::started), false, 0));
    EXPECT_TRUE(status_event_text(event_of(static_cast<StatusEventKind>(14)), false, 0).empty());
}

TEST(StatusTexts, ProblemEventsNameTheirProblem) {
    const auto busy = event_of(StatusEventKind::problem, 48002, ProblemKind::port_busy);
    EXPECT_EQ(status_event_text(busy, false, 9), "Port 48002 is busy");
    EXPECT_EQ(status_event_text(busy, true, 9), "Порт 48002 занят");
    const auto busy_no_value = event_of(StatusEventKind::problem, 0, ProblemKind::port_busy);
    EXPECT_EQ(status_event_text(busy_no_value, false, 48005), "Port 48005 is busy");
    const auto token = event_of(StatusEventKind::problem, 0, ProblemKind::token_rejected);
    EXPECT_EQ(status_event_text(token, false, 0), "The platform refused the agent token");
}

TEST(StatusTexts, EveryProblemHasAHintInBothLanguages) {
    for (bool ru : {false, true}) {
        std::set<std::string> seen;
        for (std::size_t k = 0; k < kProblemKinds; ++k) {
            const auto hint = problem_hint(static_cast<ProblemKind>(k), ru, 0, 0);
            EXPECT_FALSE(hint.empty()) << k;
            EXPECT_TRUE(valid_utf8(hint)) << k;
            EXPECT_TRUE(seen.insert(hint).second) << k;
        }
    }
    EXPECT_TRUE(problem_hint(ProblemKind::none, false, 0, 0).empty());
}

TEST(StatusTexts, CaptureHintFollowsTheFlagByte) {
    const auto login = problem_hint(ProblemKind::capture_failed, false, 1, 0);
    const auto monitor = problem_hint(ProblemKind::capture_failed, false, 0, 0);
    EXPECT_NE(login.find("sign in"), std::string::npos);
    EXPECT_NE(monitor.find("monitor"), std::string::npos);
    EXPECT_EQ(problem_hint(ProblemKind::capture_failed, false, 2, 0), monitor);
}

TEST(StatusTexts, PortBusyHintNamesThePort) {
    EXPECT_NE(problem_hint(ProblemKind::port_busy, false, 0, 48001).find("48001"),
              std::string::npos);
    EXPECT_NE(problem_hint(ProblemKind::port_busy, true, 0, 48001).find("48001"),
              std::string::npos);
}

TEST(FormatDuration, PicksSecondsMinutesOrHours) {
    EXPECT_EQ(format_duration(-5, false), "0 s");
    EXPECT_EQ(format_duration(0, false), "0 s");
    EXPECT_EQ(format_duration(59, false), "59 s");
    EXPECT_EQ(format_duration(60, false), "1 min");
    EXPECT_EQ(format_duration(3599, false), "59 min");
    EXPECT_EQ(format_duration(3600, false), "1 h");
    EXPECT_EQ(format_duration(3660 + 59, false), "1 h 1 min");
    EXPECT_EQ(format_duration(90000, false), "25 h");
    EXPECT_EQ(format_duration(42, true), "42 с");
    EXPECT_EQ(format_duration(720, true), "12 мин");
    EXPECT_EQ(format_duration(3900, true), "1 ч 5 мин");
}

TEST(StatusTexts, SessionEndedShowsItsLength) {
    const auto ended = event_of(StatusEventKind::session_ended, 3900);
    EXPECT_EQ(status_event_text(ended, false, 0), "Session ended (1 h 5 min)");
    EXPECT_EQ(status_event_text(event_of(StatusEventKind::session_ended), false, 0),
              "Session ended");
}

TEST(PickText, ChoosesTheMember) {
    constexpr TextPair pair{"да", "yes"};
    static_assert(pick_text(pair, false) == "yes");
    EXPECT_EQ(pick_text(pair, true), "да");
}

}  // namespace
}  // namespace vx
