#include "util/random.hpp"

#include <sodium.h>

namespace vx::util {

RandomFn sodium_random() {
    return [](std::uint8_t* out, std::size_t n) { randombytes_buf(out, n); };
}

}  // namespace vx::util
