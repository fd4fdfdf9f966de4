// The saved relay hold ("control-path.txt"), which anyone with access to the user's folder can
// write: its first line as the loader reads it, then restored into the connection policy at any
// wall-clock time. An accepted line must come back from its own formatting unchanged.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "backend/vxcp/loop/vxcp_connection_policy.hpp"
#include "backend/vxcp/loop/vxcp_control_path.hpp"

using namespace vx::network;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 256));
    text = text.substr(0, text.find('\n'));
    const auto state = parse_control_path_line(text);
    if (!state) {
        return 0;
    }
    const auto again = parse_control_path_line(format_control_path_line(*state));
    if (!again || again->hold_end_unix_ms != state->hold_end_unix_ms ||
        again->hold_length_ms != state->hold_length_ms) {
        std::abort();
    }
    // Wall clocks as the system clock can give them: its nanoseconds fit 64 bits.
    constexpr std::int64_t kClockLimitMs = INT64_MAX / 1'000'000;
    for (const std::int64_t wall_ms :
         {std::int64_t{0}, std::int64_t{1'700'000'000'000}, state->hold_end_unix_ms,
          std::int64_t{4'102'444'800'000}, kClockLimitMs, -kClockLimitMs}) {
        ConnectionPolicy policy;
        policy.restore(*state, 5'000'000, wall_ms);
        policy.to_saved(5'000'000, wall_ms);
        policy.hold_active(5'000'000);
    }
    return 0;
}
