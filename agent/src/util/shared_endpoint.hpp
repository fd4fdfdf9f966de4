#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace vx::util {

// A media destination written by one thread and read by others (the driver sets it, the audio
// sender reads it).
class SharedEndpoint {
  public:
    struct Value {
        std::string host;
        std::uint16_t port = 0;
    };

    void set(std::string host, std::uint16_t port);
    void clear();
    // Valid only when set, with a host and a port other than 0.
    bool valid() const;
    // The endpoint when valid.
    std::optional<Value> get() const;

  private:
    bool valid_locked() const { return set_ && !host_.empty() && port_ != 0; }

    mutable std::mutex mutex_;
    std::string host_;
    std::uint16_t port_ = 0;
    bool set_ = false;
};

}  // namespace vx::util
