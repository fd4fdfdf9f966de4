#include "backend/bridge/bridge_write_queue.hpp"

#include <utility>

namespace vx::network {

BridgeWriteQueue::PushResult BridgeWriteQueue::push(Chunk chunk) {
    std::lock_guard lock(mutex_);
    if (closed_) {
        ++drops_;
        return push_closed;
    }
    if (chunks_.size() >= capacity_) {
        ++drops_;
        return push_full;
    }
    chunks_.push_back(std::move(chunk));
    cv_.notify_one();
    return push_ok;
}

void BridgeWriteQueue::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    chunks_.clear();
    cv_.notify_all();
}

void BridgeWriteQueue::finish() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    cv_.notify_all();
}

void BridgeWriteQueue::open() {
    std::lock_guard lock(mutex_);
    closed_ = false;
    chunks_.clear();
    cv_.notify_all();
}

std::optional<BridgeWriteQueue::Chunk> BridgeWriteQueue::wait_pop() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return closed_ || !chunks_.empty(); });
    if (chunks_.empty()) {
        return std::nullopt;
    }
    Chunk chunk = std::move(chunks_.front());
    chunks_.pop_front();
    return chunk;
}

void BridgeWriteQueue::reset_drops() {
    std::lock_guard lock(mutex_);
    drops_ = 0;
}

std::uint32_t BridgeWriteQueue::drops() const {
    std::lock_guard lock(mutex_);
    return drops_;
}

bool BridgeWriteQueue::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::size_t BridgeWriteQueue::size() const {
    std::lock_guard lock(mutex_);
    return chunks_.size();
}

}  // namespace vx::network
