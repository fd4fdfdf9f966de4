#include "backend/ping_pong.hpp"

#include <limits>

namespace vx::network {

std::optional<std::int64_t> ping_timestamp_text(const nlohmann::json& message) {
    if (!message.is_object()) {
        return std::nullopt;
    }
    const auto it = message.find("ts");
    if (it == message.end()) {
        return std::nullopt;
    }
    if (it->is_number_unsigned()) {
        const auto u = it->get<std::uint64_t>();
        if (u >= 1 && u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return static_cast<std::int64_t>(u);
        }
        return std::nullopt;
    }
    if (it->is_number_integer()) {
        const auto i = it->get<std::int64_t>();
        if (i >= 1) {
            return i;
        }
    }
    return std::nullopt;
}

std::string make_pong(std::optional<std::int64_t> ts) {
    // Written by hand rather than serialised: "type" must come first, which the sorted
    // serialiser would not give once "ts" is present.
    if (!ts) {
        return R"({"type":"pong"})";
    }
    return R"({"type":"pong","ts":)" + std::to_string(*ts) + "}";
}

}  // namespace vx::network
