#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace vx::network {

// Hands the launcher's relayed control bytes from the dispatcher (producer, connection thread)
// to the control bridge's writer thread (consumer). Bounded so a stalled local port cannot
// make the agent buffer without limit; a refused chunk is counted, never blocked on.
//
// Producer side: push(), close(), reset_drops(). Consumer side (the bridge): open() when the
// bridge has connected, wait_pop() in the writer, finish() when the bridge stops, close() when
// the writer gives up. The queue
// starts closed: nothing is accepted until a bridge is connected.
class BridgeWriteQueue {
  public:
    using Chunk = std::vector<std::uint8_t>;

    enum class PushResult : std::uint8_t { push_ok, push_full, push_closed };
    static constexpr PushResult push_ok = PushResult::push_ok;
    static constexpr PushResult push_full = PushResult::push_full;
    static constexpr PushResult push_closed = PushResult::push_closed;

    static constexpr std::size_t kDefaultCapacity = 64;

    explicit BridgeWriteQueue(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

    BridgeWriteQueue(const BridgeWriteQueue&) = delete;
    BridgeWriteQueue& operator=(const BridgeWriteQueue&) = delete;

    // Closed or full: the chunk is discarded and the drop counter raised.
    PushResult push(Chunk chunk);

    // Marks the queue closed, discards what it holds and wakes every waiter.
    void close();

    // Marks the queue closed but leaves what it holds to the consumer: wait_pop() hands out the
    // rest, then reports the end.
    void finish();

    // Clears the closed flag and empties the queue (the bridge has a fresh connection).
    void open();

    // Blocks until a chunk is available (returns it) or the queue is closed and empty
    // (returns nothing). Chunks queued before close() are discarded by close() itself.
    std::optional<Chunk> wait_pop();

    void reset_drops();
    std::uint32_t drops() const;
    bool closed() const;
    std::size_t size() const;
    std::size_t capacity() const { return capacity_; }

  private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Chunk> chunks_;
    bool closed_ = true;
    std::uint32_t drops_ = 0;
};

}  // namespace vx::network
