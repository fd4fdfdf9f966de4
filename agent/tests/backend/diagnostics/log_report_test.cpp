#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "backend/diagnostics/log_part_message.hpp"
#include "backend/diagnostics/log_report.hpp"
#include "diagnostics_rig.hpp"

namespace vx::network {
namespace {

std::string numbered(std::size_t n, std::size_t width) {
    std::string s = std::to_string(n);
    s.resize(width, '.');
    return s;
}

const std::vector<std::string> kShortHeader{"# a", "# b", "# c"};  // 12 bytes of prefix

TEST(ReportHeader, ThreeLinesFromTheRegistration) {
    const ReportIdentity identity{"0.4.448",    "0.4.448 (4792e94)", "srv-1",
                                  "NVIDIA RTX", "AMD Ryzen 7",       "Windows 11 23H2"};
    EXPECT_EQ(build_report_header(identity, "session s1 ended: client_lost"),
              (std::vector<std::string>{"# Velmora Agent 0.4.448 (4792e94) - server srv-1",
                                        "# gpu=NVIDIA RTX cpu=AMD Ryzen 7 os=Windows 11 23H2",
                                        "# session s1 ended: client_lost"}));
}

TEST(AssembleReport, PrefixMarkersAndCleanedLines) {
    diag::LogSnapshot snapshot;
    snapshot.head_lines = {"[t] [error] head\r\n"};
    snapshot.omitted = 5;
    snapshot.lines = {"[t] [warning] password=abc\r", "\xFFz"};
    const LogReport report = assemble_report(
        snapshot, {"# Velmora", "# gpu=x", "# session s ended: token=abc"}, "summary");
    EXPECT_EQ(report.content,
              "# Velmora\n# gpu=x\n# session s ended: token=[REDACTED]\n[t] [error] head\n"
              "[... 5 line(s) between the process start and this report omitted ...]\n"
              "[t] [warning] password=[REDACTED]\n?z");
    EXPECT_EQ(report.lines, 7u);
    EXPECT_EQ(report.bytes, report.content.size());
    EXPECT_EQ(report.level, "warning");  // from the body; the head line's error does not count
    EXPECT_FALSE(report.truncated);

    diag::LogSnapshot lost;
    lost.lost = 7;
    lost.lines = {"x"};
    EXPECT_EQ(assemble_report(lost, kShortHeader, "").content,
              "# a\n# b\n# c\n[... 7 earlier line(s) of this range no longer in memory ...]\nx");
}

// The store keeps the start of a long line: a URL whose "@" it cut off still loses its user-info.
TEST(AssembleReport, ALineTheStoreCutBaresNoPartOfAUrlPassword) {
    const std::string url = "turn:alice:ZZZZZZZZ@relay.example:3478";
    for (std::size_t before = 2030; before <= 2050; ++before) {
        const std::string line = std::string(before - 1, 'x') + " " + url + " end";
        const std::string cut = diag::cut_log_line(line);
        ASSERT_EQ(cut.size(), diag::DiagnosticsStore::kMaxLineBytes);
        const std::string clean = clean_log_line(cut);
        EXPECT_EQ(clean.find('Z'), std::string::npos) << before << ": " << clean.substr(2000);
        EXPECT_EQ(clean.substr(clean.size() - 4), " ...") << before;
    }
}

TEST(AssembleReport, SummaryIsCleanedAndCut) {
    const std::string summary = "session s ended: password=abc \xFF" + std::string(300, 'y');
    const LogReport report = assemble_report({}, kShortHeader, summary);
    EXPECT_EQ(report.summary.size(), 200u);
    EXPECT_EQ(report.summary.substr(0, 39), "session s ended: password=[REDACTED] ?y");
}

TEST(AssembleReport, ByteBudgetKeepsAQuarterHeadAndTheLongestTail) {
    diag::LogSnapshot snapshot;
    for (std::size_t k = 0; k < 30000; ++k) {
        snapshot.lines.push_back(numbered(k, 99));  // 100 bytes each with its newline
    }
    const LogReport report = assemble_report(snapshot, kShortHeader, "s");
    // Budget 1,945,332 bytes: a head of 4,863 lines (within a quarter), a tail of 14,590.
    EXPECT_TRUE(report.truncated);
    const std::vector<std::string> lines = test::lines_of(report.content);
    ASSERT_EQ(lines.size(), 3u + 4863 + 1 + 14590);
    EXPECT_EQ(report.lines, lines.size());
    EXPECT_EQ(lines[3], numbered(0, 99));
    EXPECT_EQ(lines[3 + 4862], numbered(4862, 99));
    EXPECT_EQ(lines[3 + 4863], "[... 10547 line(s) in the middle omitted to fit the upload ...]");
    EXPECT_EQ(lines[3 + 4864], numbered(30000 - 14590, 99));
    EXPECT_EQ(lines.back(), numbered(29999, 99));
    EXPECT_LE(report.bytes, kReportByteBudget + lines[3 + 4863].size() + 1);
}

TEST(AssembleReport, LineBudgetTrimsManyShortLines) {
    diag::LogSnapshot snapshot;
    for (std::size_t k = 0; k < 50000; ++k) {
        snapshot.lines.push_back(numbered(k, 9));
    }
    const LogReport report = assemble_report(snapshot, kShortHeader, "s");
    EXPECT_TRUE(report.truncated);
    // 44,996 lines left by the prefix: a head of 11,249 (a quarter), a tail of 33,747.
    EXPECT_EQ(report.lines, 45000u);
    const std::vector<std::string> lines = test::lines_of(report.content);
    EXPECT_EQ(lines[3 + 11249], "[... 5004 line(s) in the middle omitted to fit the upload ...]");
    EXPECT_EQ(lines[3 + 11250], numbered(50000 - 33747, 9));
}

TEST(AssembleReport, BodyThatFitsExactlyStaysWhole) {
    diag::LogSnapshot snapshot;
    const std::size_t budget = kReportByteBudget - 12;
    snapshot.lines.assign(budget / 100, std::string(99, 'z'));
    snapshot.lines.push_back(std::string(budget % 100 - 1, 'z'));
    const LogReport report = assemble_report(snapshot, kShortHeader, "s");
    EXPECT_FALSE(report.truncated);
    EXPECT_EQ(report.bytes, kReportByteBudget - 1);  // no newline after the last line
}

std::vector<std::size_t> part_sizes(const std::vector<std::string>& parts) {
    std::vector<std::size_t> sizes;
    for (const std::string& part : parts) {
        sizes.push_back(part.size());
    }
    return sizes;
}

TEST(SplitReport, LongLineGoesIn8KiBPiecesThenANormalPart) {
    const std::string content = "head\n" + std::string(100000, 'x') + "\ntail";
    const std::vector<std::string> parts = split_report(content);
    // 7 pieces leave 42,656 bytes, which start a normal part that "tail" joins.
    std::vector<std::size_t> expected{5};
    expected.insert(expected.end(), 7, 8192);
    expected.push_back(42656 + 1 + 4);
    EXPECT_EQ(part_sizes(parts), expected);
    std::string joined;
    for (const std::string& part : parts) {
        joined += part;
    }
    EXPECT_EQ(joined, content);
}

TEST(SplitReport, PiecesEndOnCharacterBoundaries) {
    std::string euros;
    for (int k = 0; k < 20000; ++k) {
        euros += "\xE2\x82\xAC";  // 3 bytes each: 8,192 would cut one
    }
    EXPECT_EQ(part_sizes(split_report(euros)), (std::vector<std::size_t>{8190, 8190, 43620}));
}

TEST(SplitReport, BytesWithoutCharacterBoundariesGoInFullPieces) {
    // A character is at most 4 bytes: with no boundary within 3 bytes of the limit the piece
    // ends at the limit. 122 pieces of 8,192 leave 49,152 bytes, one normal part.
    const std::string continuation(1 << 20, '\x80');
    const std::vector<std::string> parts = split_report(continuation);
    ASSERT_EQ(parts.size(), 123u);
    EXPECT_EQ(parts.front().size(), 8192u);
    EXPECT_EQ(parts.back().size(), 49152u);
    // A 4-byte character across the limit still starts the next piece.
    const std::string emoji = std::string(8189, 'a') + "\xF0\x9F\x98\x80" + std::string(50000, 'b');
    EXPECT_EQ(split_report(emoji).front().size(), 8189u);
}

TEST(SplitReport, ControlCharactersSplitByEscapedSize) {
    // 10,000 control bytes escape to 60,000: one full piece, then the rest.
    EXPECT_EQ(part_sizes(split_report(std::string(10000, '\x01'))),
              (std::vector<std::size_t>{8192, 1808}));
    // Lines of 1,000 control bytes escape to 6,002 with their newline: 8 fit a part, not 9,
    // though their 9,009 raw bytes would.
    std::string content;
    for (int k = 0; k < 9; ++k) {
        content += std::string(1000, '\x1F') + "\n";
    }
    EXPECT_EQ(part_sizes(split_report(content)), (std::vector<std::size_t>{8008, 1001}));
    EXPECT_EQ(escaped_size("\b\t\n\f\r\"\\"), 14u);
    EXPECT_EQ(escaped_size(std::string("\0\x7F\xC3\xA9", 4)), 9u);
    EXPECT_TRUE(split_report("").empty());
}

TEST(CapParts, SixtyPartsGoWholeSixtyOneLoseTwo) {
    std::vector<std::string> sixty;
    for (int k = 0; k < 60; ++k) {
        sixty.push_back("p" + std::to_string(k) + "\n");
    }
    std::vector<std::string> parts = sixty;
    cap_parts(parts);
    EXPECT_EQ(parts, sixty);

    parts = sixty;
    parts.push_back("p60\n");
    cap_parts(parts);
    ASSERT_EQ(parts.size(), 60u);
    EXPECT_EQ(parts[14], "p14\n");
    EXPECT_EQ(parts[15], "[... 2 part(s) of the log omitted to fit the upload ...]\n");
    EXPECT_EQ(parts[16], "p17\n");
    EXPECT_EQ(parts[59], "p60\n");
}

TEST(LogPartMessages, CanonicalKeysAndPartZeroFields) {
    LogReport report;
    report.level = "warning";
    report.summary = "session s1 ended: client_lost";
    report.lines = 3;
    const std::vector<std::string> messages = build_log_part_messages(
        {"0001020304050607", "session", "s1", "0.4.448"}, report, {"a\n", "b \"\xC3\xA9\""});
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0],
              R"({"app_version":"0.4.448","content":"a\n","kind":"session","level":"warning",)"
              R"("lines":3,"part":0,"parts":2,"session_id":"s1",)"
              R"("summary":"session s1 ended: client_lost","truncated":false,)"
              R"("type":"diagnostic_log_part","upload_id":"0001020304050607"})");
    EXPECT_EQ(messages[1],
              "{\"app_version\":\"0.4.448\",\"content\":\"b \\\"\xC3\xA9\\\"\",\"kind\":"
              "\"session\",\"part\":1,\"parts\":2,\"session_id\":\"s1\",\"type\":"
              "\"diagnostic_log_part\",\"upload_id\":\"0001020304050607\"}");
    const auto agent = nlohmann::json::parse(
        build_log_part_messages({"id", "agent", "", "v"}, report, {"x"}).front());
    EXPECT_FALSE(agent.contains("session_id"));
    EXPECT_EQ(agent.at("kind"), "agent");
}

TEST(UploadId, SixteenLowercaseHexCharactersOfEightRandomBytes) {
    const auto fixed = [](std::uint8_t* out, std::size_t n) {
        for (std::size_t k = 0; k < n; ++k) {
            out[k] = static_cast<std::uint8_t>(0xA0 + k * 0x11);
        }
    };
    EXPECT_EQ(make_upload_id(fixed), "a0b1c2d3e4f50617");
    const std::string random = make_upload_id(util::sodium_random());
    EXPECT_EQ(random.size(), 16u);
    EXPECT_EQ(random.find_first_not_of("0123456789abcdef"), std::string::npos);
}

}  // namespace
}  // namespace vx::network
