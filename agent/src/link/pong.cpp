#include "link/pong.hpp"

#include <limits>

namespace vx {

std::optional<std::int64_t> ping_timestamp_text(const nlohmann::json& message) {
    if (!message.is_object()) {
        return std::nullopt;
    }
    const auto it = message.find("ts");
    if (it == message.end()) {
        return std::nullopt;
    }
    if (it->is_number_unsigned()) {
        const auto v = it->get<std::uint64_t>();
        if (v >= 1 && v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return static_cast<std::int64_t>(v);
        }
        return std::nullopt;
    }
    if (it->is_number_integer()) {
        const auto v = it->get<std::int64_t>();
        if (v >= 1) {
            return v;
        }
    }
    return std::nullopt;
}

std::string make_pong(std::optional<std::int64_t> ts) {
    if (!ts) {
        return R"({"type":"pong"})";
    }
    return R"({"type":"pong","ts":)" + std::to_string(*ts) + "}";
}

}  // namespace vx
