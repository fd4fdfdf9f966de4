#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vx::network {

// A relayed "control_data" message that exceeds the channel's message limit (an 8 KiB chunk
// grows to about 11 KB in base64) is cut into several "control_data" messages of the same
// session, in order, each within `max_bytes`; the relayed byte stream is unchanged. Nothing for
// any other message, or when the limit leaves no room for data.
std::vector<std::string> vxcp_fit_control_data(const std::string& text, std::size_t max_bytes);

}  // namespace vx::network
