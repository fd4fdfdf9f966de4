#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "backend/ws/ws_frame.hpp"

namespace vx::network {

enum class WsPushResult : std::uint8_t { accepted, full, closed };

struct WsLaneFrame {
    WsFrameBytes bytes;  // one encoded frame
    bool control = false;
    std::uint8_t opcode = 0;
};

// Two bounded FIFO lanes of encoded frames drained by one writer, control before data, so a
// pong never waits behind a backlog of messages. Closed when created.
class WsWriterLanes {
  public:
    static constexpr std::size_t kControlCapacity = 16;
    static constexpr std::size_t kDataCapacity = 256;

    explicit WsWriterLanes(std::size_t control_capacity = kControlCapacity,
                           std::size_t data_capacity = kDataCapacity)
        : control_cap_(control_capacity), data_cap_(data_capacity) {}

    // A full lane refuses at once, or, with `room_wait`, once it stayed full that long while
    // the writer drains it (a closed lane refuses at once either way).
    WsPushResult push(WsFrameBytes frame, bool control, std::uint8_t opcode,
                      std::chrono::milliseconds room_wait = std::chrono::milliseconds(0));
    // A pong still waiting in the control lane is replaced instead of queueing another: a
    // burst of pings then costs one lane slot, and the backend gets the latest payload.
    WsPushResult push_pong(WsFrameBytes frame, std::uint8_t opcode,
                           std::chrono::milliseconds room_wait = std::chrono::milliseconds(0));

    // Takes the next frame without waiting, control lane first.
    bool pop(WsLaneFrame& out);
    // Waits until a frame is queued (true) or the lanes are closed and empty (false). A writer
    // whose `retired` flag is set (it was given up on and detached) gets false at once, so it
    // never takes a later connection's frames.
    bool wait_pop(WsLaneFrame& out, const std::atomic<bool>* retired = nullptr);
    // Waits until both lanes are empty or `timeout` passes; true when empty.
    bool wait_drained(std::chrono::milliseconds timeout);

    // Start of a connection: accept frames again, both lanes empty.
    void open();
    // End of a connection: refuse new frames; what is queued stays for the writer to drain.
    void close();
    // close(), unless the caller is a retired writer: a detached writer must not close the
    // lanes of the connection that came after it.
    void close_unless(const std::atomic<bool>& retired);
    // Throws away whatever is still queued and wakes every waiter.
    void discard();
    // Wakes every waiter, so one whose `retired` flag was just set notices it.
    void wake_all();

    bool is_closed() const;
    std::size_t data_pending() const;
    std::size_t control_pending() const;
    std::uint64_t data_dropped() const;
    std::uint64_t control_dropped() const;
    std::uint64_t pushed() const;
    std::size_t data_capacity() const { return data_cap_; }
    std::size_t control_capacity() const { return control_cap_; }

  private:
    WsPushResult refuse_locked(bool control, WsPushResult why);
    // Waits up to `room_wait` until the lane has room or the lanes close; true when there is
    // room in open lanes.
    bool wait_room_locked(std::unique_lock<std::mutex>& lock, bool control,
                          std::chrono::milliseconds room_wait);
    // Control lane first; false when both are empty.
    bool pop_locked(WsLaneFrame& out);

    const std::size_t control_cap_;
    const std::size_t data_cap_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<WsLaneFrame> control_;
    std::deque<WsLaneFrame> data_;
    bool closed_ = true;
    std::uint32_t room_waiters_ = 0;
    std::uint64_t data_dropped_ = 0;
    std::uint64_t control_dropped_ = 0;
    std::uint64_t pushed_ = 0;
};

}  // namespace vx::network
