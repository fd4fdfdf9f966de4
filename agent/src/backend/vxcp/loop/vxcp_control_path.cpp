#include "backend/vxcp/loop/vxcp_control_path.hpp"

#include <cctype>
#include <charconv>
#include <fstream>

#include "platform/paths.hpp"

namespace vx::network {

namespace {

constexpr std::int64_t kLatestHoldEndMs = 4'102'444'800'000;  // 2100-01-01
constexpr std::int64_t kLongestHoldMs = 604'800'000;          // one week
constexpr std::size_t kReadLimit = 256;

void skip_space(std::string_view& s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())) != 0) {
        s.remove_prefix(1);
    }
}

bool take_literal(std::string_view& s, std::string_view literal) {
    if (s.substr(0, literal.size()) != literal) {
        return false;
    }
    s.remove_prefix(literal.size());
    return true;
}

// A %lld: leading whitespace, an optional sign, decimal digits that fit a 64-bit value.
std::optional<std::int64_t> take_number(std::string_view& s) {
    skip_space(s);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    std::uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude);
    if (ec != std::errc() || magnitude > (std::uint64_t{1} << 63) ||
        (!negative && magnitude == (std::uint64_t{1} << 63))) {
        return std::nullopt;
    }
    s.remove_prefix(static_cast<std::size_t>(end - s.data()));
    return negative ? static_cast<std::int64_t>(0 - magnitude)
                    : static_cast<std::int64_t>(magnitude);
}

}  // namespace

std::filesystem::path control_path_file() {
    const auto folder = platform::agent_state_folder();
    return folder.empty() ? folder : folder / "control-path.txt";
}

std::optional<ControlPathState> parse_control_path_line(std::string_view s) {
    if (!take_literal(s, "vxcp-path")) {
        return std::nullopt;
    }
    skip_space(s);
    if (!take_literal(s, "v1")) {
        return std::nullopt;
    }
    const auto a = take_number(s);
    if (!a) {
        return std::nullopt;
    }
    const auto b = take_number(s);
    if (!b || (!s.empty() && s.front() != '\n' && s.front() != '\r')) {
        return std::nullopt;
    }
    if (*a < 0 || *a > kLatestHoldEndMs || *b < 1 || *b > kLongestHoldMs) {
        return std::nullopt;
    }
    return ControlPathState{*a, *b};
}

std::string format_control_path_line(const ControlPathState& state) {
    return "vxcp-path v1 " + std::to_string(state.hold_end_unix_ms) + " " +
           std::to_string(state.hold_length_ms) + "\n";
}

ControlPathLoad load_control_path(const std::filesystem::path& file, ControlPathState& out) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return ControlPathLoad::missing;
    }
    std::string head(kReadLimit, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    const auto line_end = head.find('\n');
    const auto parsed = parse_control_path_line(
        std::string_view(head).substr(0, line_end == std::string::npos ? head.size() : line_end));
    if (!parsed) {
        return ControlPathLoad::rejected;
    }
    out = *parsed;
    return ControlPathLoad::accepted;
}

void save_control_path(const std::filesystem::path& file, const ControlPathState& state) {
    if (file.empty()) {
        return;
    }
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (out) {
        out << format_control_path_line(state);
    }
}

}  // namespace vx::network
