#include "util/clock.hpp"

#include <algorithm>
#include <chrono>

namespace vx::util {

std::int64_t steady_now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t wall_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::chrono::milliseconds time_left(std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    return std::max(duration_cast<milliseconds>(deadline - steady_clock::now()), milliseconds(0));
}

}  // namespace vx::util
