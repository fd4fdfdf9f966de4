#include "backend/diagnostics/upload_cache.hpp"

namespace vx::network {

std::uint64_t UploadCache::size_of(const std::vector<std::string>& messages) {
    std::uint64_t size = 0;
    for (const std::string& message : messages) {
        size += message.size();
    }
    return size;
}

std::vector<UploadCache::Dropped> UploadCache::make_room(std::uint64_t bytes) {
    std::vector<Dropped> dropped;
    while (!order_.empty() && (uploads_.size() >= kMaxUploads || bytes_ + bytes > kMaxBytes)) {
        const std::string id = std::move(order_.front());
        order_.pop_front();
        const auto it = uploads_.find(id);
        bytes_ -= size_of(it->second);
        dropped.push_back({id, it->second.size()});
        uploads_.erase(it);
    }
    return dropped;
}

void UploadCache::add(const std::string& upload_id, std::vector<std::string> messages) {
    paced_.insert(paced_.end(), messages.begin(), messages.end());
    bytes_ += size_of(messages);
    order_.push_back(upload_id);
    uploads_[upload_id] = std::move(messages);
}

bool UploadCache::confirm(const std::string& upload_id) {
    const auto it = uploads_.find(upload_id);
    if (it == uploads_.end()) {
        return false;
    }
    bytes_ -= size_of(it->second);
    uploads_.erase(it);
    std::erase(order_, upload_id);
    return true;
}

std::size_t UploadCache::requeue() {
    paced_.clear();
    ++generation_;
    for (const std::string& id : order_) {
        const std::vector<std::string>& messages = uploads_.at(id);
        paced_.insert(paced_.end(), messages.begin(), messages.end());
    }
    return order_.size();
}

std::optional<UploadCache::Next> UploadCache::take_next() {
    if (paced_.empty()) {
        return std::nullopt;
    }
    Next next{std::move(paced_.front()), generation_};
    paced_.pop_front();
    return next;
}

void UploadCache::put_back(Next next) {
    if (next.generation == generation_) {
        paced_.push_front(std::move(next.text));
    }
}

}  // namespace vx::network
