#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_set>

namespace vx::util {

// Remembers the latest ids; thread-safe.
class SeenIdSet {
public:
    static constexpr std::size_t kCapacity = 256;

    // False for an empty id or one already remembered; otherwise remembers it (forgetting the
    // oldest beyond the capacity) and returns true.
    bool insert(const std::string& id);

private:
    std::mutex mutex_;
    std::deque<std::string> order_;
    std::unordered_set<std::string> ids_;
};

}  // namespace vx::util
