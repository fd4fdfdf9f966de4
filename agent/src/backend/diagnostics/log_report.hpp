#pragma once

// A log upload's report: three header lines, the cleaned log lines with markers where lines were
// left out, trimmed in the middle to fit its budgets, and cut into parts that each fit a JSON
// string of bounded size. Pure functions; every line passes redaction and UTF-8 sanitising.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diagnostics_store.hpp"

namespace vx::network {

// One report ready for splitting.
struct LogReport {
    std::string content;         // lines joined by "\n", no newline after the last
    std::string level = "info";  // the most severe level among the body lines
    std::string summary;         // one line, cleaned and cut to 200 bytes
    std::uint64_t lines = 0;     // lines in content: header, head lines and markers included
    std::uint64_t bytes = 0;     // size of content
    bool truncated = false;      // the body was trimmed in the middle
};

// What the header says about this agent and PC (from the registration).
struct ReportIdentity {
    std::string agent_version;  // "0.4.448": the upload messages' "app_version"
    std::string full_version;   // "0.4.448 (4792e94)": the version with the build identifier
    std::string server_id;
    std::string gpu_model;
    std::string cpu_model;
    std::string os_version;
};

// A report is bounded before splitting; the marker line of a trimmed body comes on top.
inline constexpr std::size_t kReportByteBudget = 1'945'344;
inline constexpr std::size_t kReportLineBudget = 44'999;
// Each part fits a JSON string of this size; an overlong line is cut into pieces of at most
// kPieceBytes (8,192 bytes escape to at most 49,152).
inline constexpr std::size_t kPartEscapedBytes = 49'152;
inline constexpr std::size_t kPieceBytes = 8'192;
// An upload has at most kMaxParts parts: the first kFirstParts, a marker, the last kLastParts.
inline constexpr std::size_t kMaxParts = 60;
inline constexpr std::size_t kFirstParts = 15;
inline constexpr std::size_t kLastParts = 44;

// "# Velmora Agent <full version> - server <id>", "# gpu=... cpu=... os=...", "# <summary>";
// the server id quoted as outside text.
std::vector<std::string> build_report_header(const ReportIdentity& identity,
                                             std::string_view summary);

// Redacted, sanitised, without trailing CR and LF.
std::string clean_log_line(std::string_view line);
// Redacted, under the printable rule and cut to 200 bytes.
std::string clean_summary(std::string_view summary);

// Header lines, the snapshot's head lines and markers, then its lines, trimmed in the middle
// when the body exceeds what the prefix leaves of the budgets.
LogReport assemble_report(const diag::LogSnapshot& snapshot, const std::vector<std::string>& header,
                          std::string_view summary);

// The size the text takes inside a JSON string.
std::size_t escaped_size(std::string_view text);

// Parts of at most kPartEscapedBytes escaped bytes, cut at line ends where lines allow it and
// on character boundaries always. Empty content gives no parts.
std::vector<std::string> split_report(std::string_view content);

// More than kMaxParts parts: the first kFirstParts, a marker part, the last kLastParts.
void cap_parts(std::vector<std::string>& parts);

}  // namespace vx::network
