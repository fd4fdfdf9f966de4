#pragma once

// The log uploads the backend has not confirmed yet, and the paced queue of messages waiting to
// be sent. Not thread-safe: its owner guards it with one mutex.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vx::network {

class UploadCache {
  public:
    // Bounds of the cache: uploads and the sum of their serialised messages' sizes.
    static constexpr std::size_t kMaxUploads = 6;
    static constexpr std::uint64_t kMaxBytes = 10'485'760;

    struct Dropped {
        std::string upload_id;
        std::size_t messages = 0;
    };

    // Drops the oldest unconfirmed uploads until one more of `bytes` fits both bounds; returns
    // what was dropped, oldest first. Their messages still waiting in the paced queue stay there.
    std::vector<Dropped> make_room(std::uint64_t bytes);

    // Stores the upload's messages and appends them, in order, to the paced queue.
    void add(const std::string& upload_id, std::vector<std::string> messages);

    // The backend stored the upload: forget it. False for an id that is not unconfirmed.
    bool confirm(const std::string& upload_id);

    // After a reconnect: the paced queue becomes every unconfirmed upload's messages, oldest
    // upload first, in part order. Returns the number of uploads queued again.
    std::size_t requeue();

    // The first message of the paced queue, with the queue's generation (raised by requeue).
    struct Next {
        std::string text;
        std::uint64_t generation = 0;
    };
    std::optional<Next> take_next();
    // A message taken but not passed on goes back to the head, unless the queue was rebuilt
    // since it was taken (the rebuilt queue already holds what still needs sending).
    void put_back(Next next);

    bool contains(const std::string& upload_id) const { return uploads_.count(upload_id) > 0; }
    std::size_t uploads() const { return uploads_.size(); }
    std::uint64_t bytes() const { return bytes_; }
    std::size_t paced() const { return paced_.size(); }

  private:
    static std::uint64_t size_of(const std::vector<std::string>& messages);

    std::map<std::string, std::vector<std::string>> uploads_;
    std::deque<std::string> order_;  // the ids of uploads_, oldest first
    std::uint64_t bytes_ = 0;
    std::deque<std::string> paced_;
    std::uint64_t generation_ = 0;
};

}  // namespace vx::network
