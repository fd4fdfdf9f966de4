#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace vx::network {

// The ping's "ts" when the message is an object whose "ts" is a JSON integer in 1 .. 2^63 - 1;
// nothing otherwise (a fraction, a string, 0 or less, a missing key, a non-object).
std::optional<std::int64_t> ping_timestamp_text(const nlohmann::json& message);

// The application-level pong, written literally: {"type":"pong"} or {"type":"pong","ts":N}.
std::string make_pong(std::optional<std::int64_t> ts);

}  // namespace vx::network
