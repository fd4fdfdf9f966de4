#pragma once

#include <chrono>

namespace vx::platform {

// Wakes a thread that waits on a descriptor of its own (a display connection) without waiting
// for its poll step to pass: an eventfd that `signal` makes readable.
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

  private:
    int fd_;
};

}  // namespace vx::platform
