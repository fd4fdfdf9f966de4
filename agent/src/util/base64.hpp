#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Base64 with the standard alphabet and "=" padding: session keys toward the launcher, the
// backend's "encryption_key" and the relayed launcher bytes of "control_data".
namespace vx::util {

std::string base64_encode(std::span<const std::uint8_t> bytes);

// Nothing for text that is not strict padded base64: a length that is not a multiple of 4, any
// byte outside the alphabet (blanks and non-ASCII bytes included), "=" anywhere but in the last
// two places.
std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text);

}  // namespace vx::util
