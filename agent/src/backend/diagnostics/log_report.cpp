#include "backend/diagnostics/log_report.hpp"

#include <array>

#include "backend/diagnostics/log_text.hpp"
#include "util/outside_text.hpp"

namespace vx::network {

namespace {

std::string strip_line_end(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

std::size_t line_bytes(const std::vector<std::string>& lines) {
    std::size_t bytes = 0;
    for (const std::string& line : lines) {
        bytes += line.size() + 1;
    }
    return bytes;
}

// Text the upload writes itself (the header, the summary), made of the backend's and the
// registration's values: redacted, then written by the logger's printable rule (which also leaves
// only valid UTF-8), so a line end in a session id forges no line and counts as none.
std::string clean_report_text(std::string_view text) {
    std::string clean;
    util::append_printable(log_text::redact_secrets(text), clean);
    return clean;
}

std::vector<std::string> report_prefix(const diag::LogSnapshot& snapshot,
                                       const std::vector<std::string>& header) {
    std::vector<std::string> prefix;
    prefix.reserve(header.size() + snapshot.head_lines.size() + 2);
    for (const std::string& line : header) {
        prefix.push_back(clean_report_text(line));
    }
    for (const std::string& line : snapshot.head_lines) {
        prefix.push_back(clean_log_line(line));
    }
    if (snapshot.omitted > 0) {
        prefix.push_back("[... " + std::to_string(snapshot.omitted) +
                         " line(s) between the process start and this report omitted ...]");
    }
    if (snapshot.lost > 0) {
        prefix.push_back("[... " + std::to_string(snapshot.lost) +
                         " earlier line(s) of this range no longer in memory ...]");
    }
    return prefix;
}

// The body's lines, each cleaned the first time it is read: a window larger than the budget is
// mostly trimmed away, and only the lines that may be kept are worth cleaning.
class CleanBody {
  public:
    explicit CleanBody(const std::vector<std::string>& raw)
        : raw_(raw), clean_(raw.size()), ready_(raw.size(), false) {}

    std::size_t size() const { return raw_.size(); }
    std::string& operator[](std::size_t k) {
        if (!ready_[k]) {
            clean_[k] = clean_log_line(raw_[k]);
            ready_[k] = true;
        }
        return clean_[k];
    }

  private:
    const std::vector<std::string>& raw_;
    std::vector<std::string> clean_;
    std::vector<bool> ready_;
};

// Whether the whole body fits both budgets; read from the end, so a body that does not fit is
// cleaned only as far as the budget reaches.
bool fits_whole(CleanBody& body, std::size_t byte_budget, std::size_t line_budget) {
    if (body.size() > line_budget) {
        return false;
    }
    std::size_t bytes = 0;
    for (std::size_t k = body.size(); k > 0; --k) {
        bytes += body[k - 1].size() + 1;
        if (bytes > byte_budget) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> whole(CleanBody& body) {
    std::vector<std::string> lines;
    lines.reserve(body.size());
    for (std::size_t k = 0; k < body.size(); ++k) {
        lines.push_back(std::move(body[k]));
    }
    return lines;
}

// Keeps a head (a quarter of each budget) and the longest tail that fits what is left, with a
// marker line for the lines dropped between them.
std::vector<std::string> trim_middle(CleanBody& body, std::size_t byte_budget,
                                     std::size_t line_budget) {
    std::size_t head_bytes = 0;
    std::size_t head = 0;
    while (head < body.size() && head_bytes + body[head].size() + 1 <= byte_budget / 4 &&
           head < line_budget / 4) {
        head_bytes += body[head].size() + 1;
        ++head;
    }
    std::size_t tail_bytes = 0;
    std::size_t tail_start = body.size();
    while (tail_start > head) {
        const std::size_t bytes = body[tail_start - 1].size() + 1;
        const std::size_t lines = head + (body.size() - tail_start) + 1;
        if (head_bytes + tail_bytes + bytes > byte_budget || lines > line_budget) {
            break;
        }
        tail_bytes += bytes;
        --tail_start;
    }
    std::vector<std::string> trimmed;
    trimmed.reserve(head + 1 + (body.size() - tail_start));
    for (std::size_t k = 0; k < head; ++k) {
        trimmed.push_back(std::move(body[k]));
    }
    trimmed.push_back("[... " + std::to_string(tail_start - head) +
                      " line(s) in the middle omitted to fit the upload ...]");
    for (std::size_t k = tail_start; k < body.size(); ++k) {
        trimmed.push_back(std::move(body[k]));
    }
    return trimmed;
}

std::string join_lines(const std::vector<std::string>& prefix,
                       const std::vector<std::string>& body) {
    std::string content;
    content.reserve(line_bytes(prefix) + line_bytes(body));
    for (const auto* lines : {&prefix, &body}) {
        for (const std::string& line : *lines) {
            content.append(line).push_back('\n');
        }
    }
    if (!content.empty()) {
        content.pop_back();
    }
    return content;
}

// JSON writes \b \t \n \f \r \" \\ as two bytes and any other control byte as \u00XX.
constexpr std::array<std::uint8_t, 256> kEscapedSize = [] {
    std::array<std::uint8_t, 256> table{};
    for (std::size_t b = 0; b < table.size(); ++b) {
        table[b] = b < 0x20 ? 6 : 1;
    }
    for (unsigned char b : {0x08, 0x09, 0x0A, 0x0C, 0x0D, 0x22, 0x5C}) {
        table[b] = 2;
    }
    return table;
}();

// The longest prefix of at most kPieceBytes that ends before a character's first byte. A
// character is at most 4 bytes, so only the last 4 before the limit are looked at: where none of
// them starts a character (bytes that are no UTF-8), the piece ends at the limit.
std::size_t piece_length(std::string_view line) {
    constexpr std::size_t kMaxCharacterBytes = 4;
    if (line.size() <= kPieceBytes) {
        return line.size();
    }
    const std::size_t from = kPieceBytes - kMaxCharacterBytes;
    const std::size_t kept = log_text::utf8_prefix(line.substr(from), kMaxCharacterBytes).size();
    return kept == 0 ? kPieceBytes : from + kept;
}

// A line the store cut is the start of a longer one: its end may be the start of a credential.
std::string redact_log_line(std::string_view line) {
    using diag::DiagnosticsStore;
    if (line.size() != DiagnosticsStore::kMaxLineBytes ||
        !line.ends_with(DiagnosticsStore::kCutMark)) {
        return log_text::redact_secrets(line);
    }
    std::string redacted =
        log_text::redact_cut_secrets(line.substr(0, DiagnosticsStore::kCutLineBytes));
    redacted.append(DiagnosticsStore::kCutMark);
    return redacted;
}

}  // namespace

std::vector<std::string> build_report_header(const ReportIdentity& identity,
                                             std::string_view summary) {
    return {
        "# Velmora Agent " + identity.full_version + " - server " +
            util::quote_outside_text(identity.server_id),
        "# gpu=" + identity.gpu_model + " cpu=" + identity.cpu_model + " os=" + identity.os_version,
        "# " + std::string(summary)};
}

std::string clean_log_line(std::string_view line) {
    return strip_line_end(log_text::sanitize_utf8(redact_log_line(line)));
}

std::string clean_summary(std::string_view summary) {
    return log_text::truncate_utf8(clean_report_text(summary));
}

LogReport assemble_report(const diag::LogSnapshot& snapshot, const std::vector<std::string>& header,
                          std::string_view summary) {
    LogReport report;
    report.summary = clean_summary(summary);
    const std::vector<std::string> prefix = report_prefix(snapshot, header);
    const std::size_t prefix_bytes = line_bytes(prefix);
    const std::size_t byte_budget =
        prefix_bytes >= kReportByteBudget ? 0 : kReportByteBudget - prefix_bytes;
    const std::size_t line_budget =
        prefix.size() >= kReportLineBudget ? 0 : kReportLineBudget - prefix.size();
    CleanBody clean(snapshot.lines);
    std::vector<std::string> body;
    if (fits_whole(clean, byte_budget, line_budget)) {
        body = whole(clean);
    } else {
        body = trim_middle(clean, byte_budget, line_budget);
        report.truncated = true;
    }
    report.level = log_text::log_level_name(body);
    report.content = join_lines(prefix, body);
    report.lines = prefix.size() + body.size();
    report.bytes = report.content.size();
    return report;
}

std::size_t escaped_size(std::string_view text) {
    std::size_t size = 0;
    for (char c : text) {
        size += kEscapedSize[static_cast<unsigned char>(c)];
    }
    return size;
}

std::vector<std::string> split_report(std::string_view content) {
    std::vector<std::string> parts;
    std::string current;
    std::size_t current_escaped = 0;
    const auto close_current = [&] {
        if (!current.empty()) {
            parts.push_back(std::move(current));
            current.clear();
            current_escaped = 0;
        }
    };
    while (!content.empty()) {
        const std::size_t newline = content.find('\n');
        std::string_view line =
            content.substr(0, newline == std::string_view::npos ? content.size() : newline + 1);
        content.remove_prefix(line.size());
        std::size_t escaped = escaped_size(line);
        if (escaped > kPartEscapedBytes) {
            close_current();
            while (escaped > kPartEscapedBytes) {
                const std::string_view piece = line.substr(0, piece_length(line));
                parts.emplace_back(piece);
                escaped -= escaped_size(piece);
                line.remove_prefix(piece.size());
            }
        }
        if (!current.empty() && current_escaped + escaped > kPartEscapedBytes) {
            close_current();
        }
        current.append(line);
        current_escaped += escaped;
    }
    close_current();
    return parts;
}

void cap_parts(std::vector<std::string>& parts) {
    if (parts.size() <= kMaxParts) {
        return;
    }
    const std::size_t omitted = parts.size() - kFirstParts - kLastParts;
    std::vector<std::string> capped;
    capped.reserve(kMaxParts);
    for (std::size_t k = 0; k < kFirstParts; ++k) {
        capped.push_back(std::move(parts[k]));
    }
    capped.push_back("[... " + std::to_string(omitted) +
                     " part(s) of the log omitted to fit the upload ...]\n");
    for (std::size_t k = parts.size() - kLastParts; k < parts.size(); ++k) {
        capped.push_back(std::move(parts[k]));
    }
    parts = std::move(capped);
}

}  // namespace vx::network
