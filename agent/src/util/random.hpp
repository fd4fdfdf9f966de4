#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vx::util {

// Fills `n` bytes with cryptographically random data. Components take their random source as one
// of these, so tests can make masks, keys and ids byte-exact.
using RandomFn = std::function<void(std::uint8_t* out, std::size_t n)>;

// libsodium's generator (the process calls sodium_init before any component starts).
RandomFn sodium_random();

}  // namespace vx::util
