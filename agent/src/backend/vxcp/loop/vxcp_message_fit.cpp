#include "backend/vxcp/loop/vxcp_message_fit.hpp"

#include <nlohmann/json.hpp>

#include "backend/messages/messages.hpp"
#include "util/base64.hpp"

namespace vx::network {

std::vector<std::string> vxcp_fit_control_data(const std::string& text, std::size_t max_bytes) {
    const auto message = nlohmann::json::parse(text, nullptr, false);
    if (!message.is_object() || message.value("type", "") != "control_data" ||
        !message.contains("data") || !message["data"].is_string() ||
        !message.contains("session_id") || !message["session_id"].is_string()) {
        return {};
    }
    const auto bytes = util::base64_decode(message["data"].get<std::string>());
    const std::string session_id = message["session_id"].get<std::string>();
    // Everything but the data: the message with an empty data text.
    const std::size_t overhead = dump_message(build_control_data(session_id, {})).size();
    if (!bytes || max_bytes <= overhead + 4) {
        return {};
    }
    const std::size_t piece = (max_bytes - overhead) / 4 * 3;  // base64: 4 characters per 3 bytes
    std::vector<std::string> out;
    for (std::size_t off = 0; off < bytes->size(); off += piece) {
        const std::size_t len = std::min(piece, bytes->size() - off);
        out.push_back(dump_message(build_control_data(
            session_id,
            std::vector<std::uint8_t>(bytes->begin() + static_cast<std::ptrdiff_t>(off),
                                      bytes->begin() + static_cast<std::ptrdiff_t>(off + len)))));
    }
    return out;
}

}  // namespace vx::network
