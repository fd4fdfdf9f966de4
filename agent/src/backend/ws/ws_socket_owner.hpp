#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace vx::network {

// Lets exactly one thread at a time use a plain WebSocket's socket; a waiting writer makes new
// readers hold back, so a writer never waits behind more than the read in progress.
class SocketOwner {
  public:
    class Guard {
      public:
        Guard() = default;
        explicit Guard(SocketOwner* owner) : owner_(owner) {}
        Guard(Guard&& other) noexcept : owner_(other.owner_) { other.owner_ = nullptr; }
        Guard& operator=(Guard&& other) noexcept {
            if (this != &other) {
                if (owner_)
                    owner_->release();
                owner_ = other.owner_;
                other.owner_ = nullptr;
            }
            return *this;
        }
        ~Guard() {
            if (owner_)
                owner_->release();
        }
        bool owns() const { return owner_ != nullptr; }

      private:
        SocketOwner* owner_ = nullptr;
    };

    static constexpr std::chrono::milliseconds kWait{500};
    static constexpr std::uint64_t kLongWaitUs = 1'000'000;

    Guard acquire_for_read();
    Guard acquire_for_write();
    void release();

    // How a writer's tries for the socket ended.
    enum class WriterTry : std::uint8_t { owned, ending, stuck };
    // Up to `attempts` calls of acquire_for_write with `pause` between them. It stops trying as
    // soon as `ending()` says the connection goes anyway (its lanes closed): that is a normal
    // end, told apart from a socket that stayed taken through every attempt.
    WriterTry try_for_writer(Guard& guard, const std::function<bool()>& ending, int attempts,
                             std::chrono::milliseconds pause);

    // The writer logs a long wait once and clears the mark.
    bool take_writer_waited_long();
    void reset_connection_stats();

    std::atomic<std::uint64_t> writer_waits{0};
    std::atomic<std::uint64_t> writer_give_ups{0};
    std::atomic<std::uint64_t> max_writer_wait_us{0};

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool owned_ = false;
    std::uint32_t writers_waiting_ = 0;
    bool writer_waited_long_ = false;
};

}  // namespace vx::network
