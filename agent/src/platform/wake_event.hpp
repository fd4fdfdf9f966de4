#pragma once

#include <chrono>

namespace vx::platform {

// Wakes a thread that waits on a descriptor of its own (a display connection, a socket) without
// waiting for its poll step to pass: an eventfd that `signal` makes readable until `clear`.
class WakeEvent {
  public:
    WakeEvent();  // throws std::system_error when no eventfd can be made
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // Async-signal-safe: a crash handler may call it.
    void signal() const noexcept;
    // Waits at most `limit` until `fd` (ignored when negative) is readable or the event is
    // signalled. The event stays signalled: a stopping thread wakes at once from every later wait.
    void wait(int fd, std::chrono::milliseconds limit) const;
    // Makes the event unsignalled again. A waiter clears it before it looks at what the event
    // announces, so a signal that comes after the look is never lost.
    void clear() const noexcept;
    // Readable while signalled: for a waiter that polls it together with descriptors of its own.
    int native_handle() const { return fd_; }

  private:
    int fd_;
};

}  // namespace vx::platform
