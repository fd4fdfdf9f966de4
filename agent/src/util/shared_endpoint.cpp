#include "util/shared_endpoint.hpp"

#include <utility>

namespace vx::util {

void SharedEndpoint::set(std::string host, std::uint16_t port) {
    std::lock_guard lock(mutex_);
    host_ = std::move(host);
    port_ = port;
    set_ = true;
}

void SharedEndpoint::clear() {
    std::lock_guard lock(mutex_);
    host_.clear();
    port_ = 0;
    set_ = false;
}

bool SharedEndpoint::valid() const {
    std::lock_guard lock(mutex_);
    return valid_locked();
}

std::optional<SharedEndpoint::Value> SharedEndpoint::get() const {
    std::lock_guard lock(mutex_);
    if (!valid_locked()) {
        return std::nullopt;
    }
    return Value{host_, port_};
}

}  // namespace vx::util
