#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/wake_event.hpp"
#include "util/clock.hpp"

namespace vx::network {

// Lets exactly one thread at a time use a plain WebSocket's socket; a waiting writer makes new
// readers hold back, so a writer never waits behind more than the read in progress. A writer that
// has to wait signals `writer_waiting_fd`, which the reader's readiness wait watches: the reader
// then gives the socket up at once instead of sitting out its wait.
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
    static constexpr std::chrono::microseconds kLongWait{1'000'000};
    static constexpr std::uint64_t kLongWaitUs = kLongWait.count();

    // `now` measures the writers' waits (steady microseconds).
    explicit SocketOwner(util::NowFn now = util::steady_now_us) : now_(std::move(now)) {}

    Guard acquire_for_read();
    Guard acquire_for_write();
    void release();

    // Readable while a writer waits for the socket; a reader that owns the socket watches it in
    // its readiness wait and gives up the socket when it becomes readable.
    int writer_waiting_fd() const { return writer_waiting_.native_handle(); }

    // How a writer's tries for the socket ended.
    enum class WriterTry : std::uint8_t { owned, ending, stuck };
    // Up to `attempts` calls of acquire_for_write, each failed one followed by a wait of up to
    // `pause` for the socket to come free. It stops trying as soon as `ending()` says the
    // connection goes anyway (its lanes closed): that is a normal end, told apart from a socket
    // that stayed taken through every attempt.
    WriterTry try_for_writer(Guard& guard, const std::function<bool()>& ending, int attempts,
                             std::chrono::milliseconds pause);

    // The writer logs a long wait once and clears the mark.
    bool take_writer_waited_long();
    void reset_connection_stats();

    std::atomic<std::uint64_t> writer_waits{0};
    std::atomic<std::uint64_t> writer_give_ups{0};
    std::atomic<std::uint64_t> max_writer_wait_us{0};

  private:
    void note_writer_wait(std::int64_t waited_us);

    util::NowFn now_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool owned_ = false;
    std::uint32_t writers_waiting_ = 0;
    bool writer_waited_long_ = false;
    platform::WakeEvent writer_waiting_;
};

}  // namespace vx::network
