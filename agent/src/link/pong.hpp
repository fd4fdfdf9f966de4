#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace vx {

// The ping's "ts" when the message is an object whose "ts" is a JSON integer in 1 .. 2^63-1.
std::optional<std::int64_t> ping_timestamp_text(const nlohmann::json& message);

// {"type":"pong"} or {"type":"pong","ts":N}: literal text, "type" first, no spaces. Both the
// launcher's ping and the backend's application-level ping are answered with it.
std::string make_pong(std::optional<std::int64_t> ts);

}  // namespace vx
