#include "ui/text_fit.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace vx::ui {
namespace {

std::string utf8(char32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

// Strict validator (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        int n = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            n = 1, cp = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            n = 2, cp = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            n = 3, cp = b & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (i + n >= s.size()) {
            return false;
        }
        for (int k = 1; k <= n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += n + 1;
    }
    return true;
}

TEST(DisplayWidth, TableEdges) {
    EXPECT_EQ(display_width(utf8(0x10FF)), 1);
    EXPECT_EQ(display_width(utf8(0x1100)), 2);
    EXPECT_EQ(display_width(utf8(0x115F)), 2);
    EXPECT_EQ(display_width(utf8(0x1160)), 1);
    EXPECT_EQ(display_width(utf8(0x2E7F)), 1);
    EXPECT_EQ(display_width(utf8(0x2E80)), 2);
    EXPECT_EQ(display_width(utf8(0xA4CF)), 2);
    EXPECT_EQ(display_width(utf8(0xA4D0)), 1);
    EXPECT_EQ(display_width(utf8(0xAC00)), 2);
    EXPECT_EQ(display_width(utf8(0xD7A3)), 2);
    EXPECT_EQ(display_width(utf8(0xD7A4)), 1);
    EXPECT_EQ(display_width(utf8(0xFE2F)), 1);
    EXPECT_EQ(display_width(utf8(0xFE30)), 2);
    EXPECT_EQ(display_width(utf8(0xFE4F)), 2);
    EXPECT_EQ(display_width(utf8(0xFE50)), 1);
    EXPECT_EQ(display_width(utf8(0xFF60)), 2);
    EXPECT_EQ(display_width(utf8(0xFF61)), 1);
    EXPECT_EQ(display_width(utf8(0xFFE6)), 2);
    EXPECT_EQ(display_width(utf8(0xFFE7)), 1);
    EXPECT_EQ(display_width(utf8(0x1F2FF)), 1);
    EXPECT_EQ(display_width(utf8(0x1F300)), 2);
    EXPECT_EQ(display_width(utf8(0x1FAFF)), 2);
    EXPECT_EQ(display_width(utf8(0x1FB00)), 1);
    EXPECT_EQ(display_width(utf8(0x3FFFD)), 2);
    EXPECT_EQ(display_width(utf8(0x3FFFE)), 1);
}

TEST(DisplayWidth, TextsAndZeroWidth) {
    EXPECT_EQ(display_width("Связь"), 5);
    EXPECT_EQ(display_width("日本"), 4);
    EXPECT_EQ(display_width("e\xCC\x81"), 1);  // e + U+0301
    EXPECT_EQ(display_width(utf8(0x036F)), 0);
    EXPECT_EQ(display_width(utf8(0x0370)), 1);
    EXPECT_EQ(display_width(std::string(1, '\0')), 0);
    EXPECT_EQ(display_width(utf8(0x1F600)), 2);
    EXPECT_EQ(display_width(""), 0);
}

TEST(DisplayWidth, InvalidBytesCountOneEach) {
    EXPECT_EQ(display_width("\xFF"), 1);
    // A three-byte sequence cut after its second byte: two invalid bytes.
    EXPECT_EQ(display_width("ab\xE6\x97"), 4);
    // A lead byte followed by a non-continuation byte.
    EXPECT_EQ(display_width("\xD0"
                            "A"),
              2);
    EXPECT_EQ(display_width("\x80\x80"), 2);
    EXPECT_EQ(display_width("\xF8\x88\x80\x80\x80"), 5);  // five-byte lead is not UTF-8
}

TEST(Sanitize, RemovesControlsAndReplacesInvalid) {
    EXPECT_EQ(sanitize_for_console("a\tb\x1B[31mc\x7F"), "ab[31mc");
    EXPECT_EQ(sanitize_for_console(utf8(0x85) + "x" + utf8(0x9F)), "x");
    EXPECT_EQ(sanitize_for_console("\xC3"), "\xEF\xBF\xBD");
    EXPECT_EQ(sanitize_for_console("PC\r\nname"), "PCname");
    EXPECT_EQ(sanitize_for_console("Связь 日本"), "Связь 日本");
}

TEST(Sanitize, SurrogatesAndBeyondUnicodeBecomeReplacement) {
    EXPECT_EQ(sanitize_for_console("\xED\xA0\x80"), "\xEF\xBF\xBD");      // U+D800
    EXPECT_EQ(sanitize_for_console("\xF4\x90\x80\x80"), "\xEF\xBF\xBD");  // U+110000
    EXPECT_EQ(sanitize_for_console("\xF7\xBF\xBF\xBF"), "\xEF\xBF\xBD");
    EXPECT_EQ(sanitize_for_console("\xC1\x81"), "A");  // overlong form written shortest
    EXPECT_EQ(sanitize_for_console(utf8(0x10FFFF)), utf8(0x10FFFF));
}

TEST(Sanitize, RemovesBidiControls) {
    std::string s = "a";
    for (char32_t cp : {0x202A, 0x202B, 0x202C, 0x202D, 0x202E, 0x2066, 0x2067, 0x2068, 0x2069}) {
        s += utf8(cp);
    }
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "literal" + temporary.
    const std::string kept = utf8(0x2029) + utf8(0x2065);  // paragraph separator, unassigned
    s += 'b';
    s += kept;
    EXPECT_EQ(sanitize_for_console(s), std::string("ab") + kept);
}

TEST(Truncate, FromTheRight) {
    EXPECT_EQ(truncate_with_ellipsis("abc def", 5), "abc…");
    EXPECT_EQ(truncate_with_ellipsis("abc def", 7), "abc def");
    EXPECT_EQ(truncate_with_ellipsis("abcdef", 1), "…");
    EXPECT_EQ(truncate_with_ellipsis("abcdef", 0), "");
    EXPECT_EQ(truncate_with_ellipsis("abcdef", -3), "");
    EXPECT_EQ(truncate_with_ellipsis("ab  \xC2\xA0  cd", 7), "ab  …");
    EXPECT_EQ(truncate_with_ellipsis("ab\xC2\xA0 cdef", 5), "ab…");
    // A wide character that would straddle the limit is left out.
    EXPECT_EQ(truncate_with_ellipsis("a日本", 4), "a日…");
    EXPECT_EQ(truncate_with_ellipsis("日本語", 4), "日…");
    EXPECT_EQ(truncate_with_ellipsis("Связь и всё", 6), "Связь…");
}

TEST(Truncate, FromTheLeft) {
    std::string path = "C:/";
    while (display_width(path) < 80) {
        path += "dir/";
    }
    path = path.substr(0, 80);
    const std::string cut = cut_left_with_ellipsis(path, 20);
    EXPECT_EQ(cut, "…" + path.substr(61));
    EXPECT_EQ(display_width(cut), 20);
    EXPECT_EQ(cut_left_with_ellipsis("short", 5), "short");
    EXPECT_EQ(cut_left_with_ellipsis("short", 0), "");
    EXPECT_EQ(cut_left_with_ellipsis("x日本", 3), "…本");
    EXPECT_EQ(cut_left_with_ellipsis("日本x", 3), "…x");
}

TEST(Wrap, GreedyWithEllipsisForLongWords) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(wrap_to_width("one two three", 7), (Lines{"one two", "three"}));
    EXPECT_EQ(wrap_to_width("  one   two  ", 20), (Lines{"one two"}));
    EXPECT_EQ(wrap_to_width("abcdefghij xy", 5), (Lines{"abcd…", "xy"}));
    EXPECT_EQ(wrap_to_width("a\tb c", 3), (Lines{"a\tb", "c"}));
    EXPECT_EQ(wrap_to_width("Связь есть", 5), (Lines{"Связь", "есть"}));
    EXPECT_TRUE(wrap_to_width("text", 0).empty());
    EXPECT_TRUE(wrap_to_width("    ", 10).empty());
}

TEST(FitRow, CutsTheOverflowingSegment) {
    const Row row{{"aaaaaaaaaa", Style::dim, false},
                  {"bbbbbbbbbb", Style::accent, true},
                  {"cccccccccc", Style::inverse, false},
                  {"dd", Style::normal, false}};
    const Row fitted = fit_row(row, 25);
    ASSERT_EQ(fitted.size(), 3u);
    EXPECT_EQ(fitted[0], row[0]);
    EXPECT_EQ(fitted[1], row[1]);
    EXPECT_EQ(fitted[2], (Segment{"cccc…", Style::inverse, false}));
    EXPECT_EQ(row_width(fitted), 25);
    EXPECT_EQ(fit_row(row, 32), row);
    // Nothing left for the third segment: it is dropped rather than kept empty.
    EXPECT_EQ(fit_row(row, 20).size(), 2u);
    EXPECT_TRUE(fit_row(row, 0).empty());
}

TEST(FormatFixed, OneDecimalAnyLocale) {
    EXPECT_EQ(format_fixed(1.5, false), "1.5");
    EXPECT_EQ(format_fixed(1.5, true), "1,5");
    EXPECT_EQ(format_fixed(0.04, false), "0.0");
    EXPECT_EQ(format_fixed(25.25, false), "25.2");  // round-half-even on the binary value
    EXPECT_EQ(format_fixed(99.96, true), "100,0");
    EXPECT_EQ(format_fixed(std::nan(""), false), "?");
    EXPECT_EQ(format_fixed(1e300, false), "1000000000000.0");
    EXPECT_EQ(format_fixed(-1e300, false), "-1000000000000.0");
    // A zero never carries a sign: "loss -0.0%" would read as a negative measurement.
    EXPECT_EQ(format_fixed(-0.0, false), "0.0");
    EXPECT_EQ(format_fixed(-0.04, true), "0,0");
    EXPECT_EQ(format_fixed(-0.06, false), "-0.1");
}

// Random bytes, fixed seed: whatever comes in, every result fits and sanitised text is valid.
TEST(TextFitProperty, RandomBytesFitAndStayValid) {
    std::mt19937 rng(20261207);
    const std::string alphabet[] = {" ",        "a",        "\xC2\xA0",         "日",
                                    "Ж",        "\xCC\x81", "\xF0\x9F\x98\x80", "\xFF",
                                    "\xE6\x97", "\x1B",     "\xED\xA0\x80",     "\xF4\x90\x80\x80"};
    for (int round = 0; round < 3000; ++round) {
        std::string raw;
        const int len = static_cast<int>(rng() % 40);
        for (int i = 0; i < len; ++i) {
            if (rng() % 2 == 0) {
                raw += static_cast<char>(rng() % 256);
            } else {
                raw += alphabet[rng() % std::size(alphabet)];
            }
        }
        const int width = static_cast<int>(rng() % 30) - 2;
        const std::string clean = sanitize_for_console(raw);
        ASSERT_TRUE(is_valid_utf8(clean)) << "round " << round;
        for (const std::string& out :
             {truncate_with_ellipsis(clean, width), cut_left_with_ellipsis(clean, width)}) {
            ASSERT_LE(display_width(out), std::max(width, 0)) << "round " << round;
            ASSERT_TRUE(is_valid_utf8(out)) << "round " << round;
        }
        ASSERT_LE(display_width(truncate_with_ellipsis(raw, width)), std::max(width, 0));
        for (const std::string& line : wrap_to_width(clean, width)) {
            ASSERT_LE(display_width(line), width) << "round " << round;
            ASSERT_FALSE(line.empty());
            ASSERT_TRUE(is_valid_utf8(line));
        }
        const Row row{{clean, Style::dim, false}, {raw, Style::accent, true}};
        ASSERT_LE(row_width(fit_row(row, width)), std::max(width, 0));
    }
}

}  // namespace
}  // namespace vx::ui
