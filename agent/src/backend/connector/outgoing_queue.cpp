#include "backend/connector/outgoing_queue.hpp"

#include <iterator>
#include <utility>

namespace vx::network {

void OutgoingQueue::push(std::string text) {
    std::lock_guard lock(queue_mutex_);
    queue_.push_back(std::move(text));
    wake_.signal();
}

std::vector<std::string> OutgoingQueue::take_all() {
    std::vector<std::string> taken;
    std::lock_guard lock(queue_mutex_);
    wake_.clear();
    taken.swap(queue_);
    return taken;
}

void OutgoingQueue::return_front(std::vector<std::string> texts) {
    if (texts.empty()) {
        return;
    }
    std::lock_guard lock(queue_mutex_);
    texts.insert(texts.end(), std::make_move_iterator(queue_.begin()),
                 std::make_move_iterator(queue_.end()));
    queue_.swap(texts);
    wake_.signal();
}

std::size_t OutgoingQueue::size() const {
    std::lock_guard lock(queue_mutex_);
    return queue_.size();
}

std::size_t OutgoingQueue::restart_with(std::string first) {
    std::vector<std::string> stale;
    {
        std::lock_guard lock(queue_mutex_);
        stale.swap(queue_);
        queue_.push_back(std::move(first));
        wake_.signal();
    }
    return stale.size();
}

void OutgoingQueue::push_session_ready(std::string text) {
    std::lock_guard ready(ready_mutex_);
    cached_ready_ = text;
    std::lock_guard lock(queue_mutex_);
    queue_.push_back(std::move(text));
    wake_.signal();
}

void OutgoingQueue::clear_session_ready() {
    std::lock_guard ready(ready_mutex_);
    cached_ready_.clear();
}

std::string OutgoingQueue::cached_session_ready() const {
    std::lock_guard ready(ready_mutex_);
    return cached_ready_;
}

void OutgoingQueue::store_terminal(const std::string& key, std::string text) {
    std::lock_guard terminal(terminal_mutex_);
    if (terminal_.size() >= kTerminalCacheSize && terminal_.find(key) == terminal_.end()) {
        // The smallest key in byte order goes, not the oldest entry.
        terminal_.erase(terminal_.begin());
    }
    terminal_[key] = std::move(text);
}

std::map<std::string, std::string> OutgoingQueue::terminal_cache() const {
    std::lock_guard terminal(terminal_mutex_);
    return terminal_;
}

bool OutgoingQueue::requeue_session_ready() {
    std::lock_guard ready(ready_mutex_);
    if (cached_ready_.empty()) {
        return false;
    }
    std::lock_guard lock(queue_mutex_);
    queue_.push_back(cached_ready_);
    wake_.signal();
    return true;
}

std::vector<std::string> OutgoingQueue::requeue_terminal() {
    std::vector<std::string> keys;
    std::lock_guard terminal(terminal_mutex_);
    std::lock_guard lock(queue_mutex_);
    for (const auto& [key, text] : terminal_) {
        keys.push_back(key);
        queue_.push_back(text);
    }
    if (!keys.empty()) {
        wake_.signal();
    }
    return keys;
}

}  // namespace vx::network
