#include "util/seen_id_set.hpp"

namespace vx::util {

bool SeenIdSet::insert(const std::string& id) {
    if (id.empty()) {
        return false;
    }
    std::lock_guard lock(mutex_);
    if (!ids_.insert(id).second) {
        return false;
    }
    order_.push_back(id);
    while (order_.size() > kCapacity) {
        ids_.erase(order_.front());
        order_.pop_front();
    }
    return true;
}

}  // namespace vx::util
