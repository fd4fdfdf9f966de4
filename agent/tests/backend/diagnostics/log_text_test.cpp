#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backend/diagnostics/log_text.hpp"

namespace vx::network::log_text {
namespace {

TEST(SanitizeUtf8, InvalidBytesBecomeQuestionMarks) {
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    };
    const std::vector<Case> cases{
        {"ascii and valid sequences unchanged", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z",
         "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"},
        {"overlong lead byte", "\xC0\xAF", "??"},
        {"lone continuation",
         "a\x80"
         "b",
         "a?b"},
        {"3-byte sequence cut by the end", "x\xE2\x82", "x??"},
        {"4-byte sequence cut by the end", "\xF0\x9F\x98", "???"},
        {"encoded surrogate", "\xED\xA0\x80", "???"},
        {"overlong 3-byte", "\xE0\x80\x80", "???"},
        {"overlong 4-byte", "\xF0\x80\x80\x80", "????"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", "????"},
        {"bytes never valid", "\xF5\xFF\xC1", "???"},
        {"bad continuation restarts at the next byte", "\xC3(", "?("},
        {"highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"control bytes are valid", std::string("\0\t\x1F", 3), std::string("\0\t\x1F", 3)},
        {"long ascii run then an invalid byte", std::string(21, 'a') + "\xFF",
         std::string(21, 'a') + "?"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sanitize_utf8(c.in), c.out) << c.name;
    }
}

TEST(TruncateUtf8, CutsAt200BytesOnACharacterBoundary) {
    EXPECT_EQ(truncate_utf8(std::string(200, 'a')), std::string(200, 'a'));
    EXPECT_EQ(truncate_utf8(""), "");
    // 201 bytes, byte 200 starts a character: 200 bytes.
    EXPECT_EQ(truncate_utf8(std::string(200, 'a') + "b"), std::string(200, 'a'));
    // Byte 200 is the second byte of a 2-byte character: 199 bytes.
    EXPECT_EQ(truncate_utf8(std::string(199, 'a') + "\xC3\xA9" + "z"), std::string(199, 'a'));
    // A 4-byte character across the cut goes whole.
    EXPECT_EQ(truncate_utf8(std::string(198, 'a') + "\xF0\x9F\x98\x80"), std::string(198, 'a'));
    // Nothing but continuation bytes: nothing is left.
    EXPECT_EQ(truncate_utf8(std::string(300, '\x80')), "");
}

TEST(ParseLogLevel, NamesWithTheirPunctuation) {
    struct Case {
        const char* token;
        bool found;
        LogLevel level;
    };
    const std::vector<Case> cases{
        {"trace", true, LogLevel::debug},     {"DEBUG", true, LogLevel::debug},
        {"info", true, LogLevel::info},       {"Information", true, LogLevel::info},
        {"[warn]", true, LogLevel::warning},  {"\"warning\",", true, LogLevel::warning},
        {"(err):", true, LogLevel::error},    {"'ERROR'", true, LogLevel::error},
        {"crit", true, LogLevel::critical},   {"[[critical]]", true, LogLevel::critical},
        {"fatal:", true, LogLevel::critical}, {"warnings", false, LogLevel::debug},
        {" warn", false, LogLevel::debug},    {"", false, LogLevel::debug},
        {"[]", false, LogLevel::debug},       {"error!", false, LogLevel::debug},
    };
    for (const Case& c : cases) {
        const ParsedLevel parsed = parse_log_level(c.token);
        EXPECT_EQ(parsed.found, c.found) << c.token;
        if (c.found) {
            EXPECT_EQ(parsed.level, c.level) << c.token;
        }
    }
}

TEST(LogLevelName, MostSevereTagOverTheLines) {
    const std::string info = "[2024-05-01 10:00:00.123] [info] [77] SaasConnector: connected";
    const std::string warn = "[2024-05-01 10:00:00.123] [agent] [warning] [77] x";
    const std::string debug = "[2024-05-01 10:00:00.123] [debug] [77] y";
    const std::string error = "[2024-05-01 10:00:00.123] [error] [77] z";
    const std::string critical = "[2024-05-01 10:00:00.123] [critical] [77] w";
    // The timestamp group is longer than 15 bytes and skipped; the logger name is no level.
    EXPECT_EQ(log_level_name({warn}), "warning");
    EXPECT_EQ(log_level_name({debug, info, debug}), "info");
    EXPECT_EQ(log_level_name({debug}), "info");
    EXPECT_EQ(log_level_name({}), "info");
    EXPECT_EQ(log_level_name({info, error, warn}), "error");
    EXPECT_EQ(log_level_name({critical, info}), "critical");
    // The first level tag of a line decides; later tags are text.
    EXPECT_EQ(log_level_name({"[info] message mentions [error]"}), "info");
    // A token of 15 bytes counts, one of 16 does not.
    EXPECT_EQ(log_level_name({"[((((((((warning] x"}), "warning");
    EXPECT_EQ(log_level_name({"[(((((((((warning] x"}), "info");
    // An unclosed bracket ends the line's scan.
    EXPECT_EQ(log_level_name({"[warn", "[info [error]"}), "info");
}

}  // namespace
}  // namespace vx::network::log_text
