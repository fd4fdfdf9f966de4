#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The saved relay hold: one line "vxcp-path v1 <A> <B>\n" in "<LocalAppData>/Velmora/
// control-path.txt", where A is the wall-clock end of the hold in Unix ms (0: none) and B the
// hold length in ms.
namespace vx::network {

struct ControlPathState {
    std::int64_t hold_end_unix_ms = 0;
    std::int64_t hold_length_ms = 0;
};

// "<LocalAppData>/Velmora/control-path.txt"; empty when no such folder is known.
std::filesystem::path control_path_file();

// Reads the line as "vxcp-path v1 %lld %lld%c" would (whitespace in the format matches any run
// of whitespace, numbers may carry a sign), but with std::from_chars, so an out-of-range
// number is refused instead of being undefined. Accepted only when the character after B is
// absent, "\n" or "\r", 0 <= A <= 4102444800000 and 1 <= B <= 604800000.
std::optional<ControlPathState> parse_control_path_line(std::string_view line);
std::string format_control_path_line(const ControlPathState& state);

enum class ControlPathLoad { missing, rejected, accepted };

// Reads at most the first 256 bytes of the file and parses its first line.
ControlPathLoad load_control_path(const std::filesystem::path& file, ControlPathState& out);
// Creates the folder when missing and writes the line; failures are ignored.
void save_control_path(const std::filesystem::path& file, const ControlPathState& state);

}  // namespace vx::network
