#pragma once

#include <cstddef>
#include <cstdint>

namespace vx::network {

// RFC 6455 section 5.3 masking, which also unmasks: writes `n` bytes of `src` to `dst`, byte i
// XORed with key[(phase + i) % 4]. `phase` is where the piece starts in its payload, so a payload
// may be masked piece by piece. `dst` and `src` must not overlap.
void mask_copy(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, const std::uint8_t* key,
               std::size_t phase);

}  // namespace vx::network
