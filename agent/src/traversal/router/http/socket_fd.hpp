#pragma once

// The router transports' sockets: non-blocking, close-on-exec (a child process must not inherit
// a half-open request), closed by their owner on every path.

#include <chrono>
#include <cstdint>
#include <system_error>

namespace vx::network {

using Deadline = std::chrono::steady_clock::time_point;

class SocketFd {
  public:
    SocketFd() = default;
    explicit SocketFd(int fd) : fd_(fd) {}
    ~SocketFd();
    SocketFd(SocketFd&& other) noexcept : fd_(other.release()) {}
    SocketFd& operator=(SocketFd&& other) noexcept;
    SocketFd(const SocketFd&) = delete;
    SocketFd& operator=(const SocketFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();

  private:
    int fd_ = -1;
};

// A socket of the family and type, non-blocking and close-on-exec; `error` gets errno on failure.
SocketFd open_socket(int family, int type, std::error_code& error);

// One poll for readability (or writability), the wait clamped at 0 from below; true when ready.
bool wait_socket(int fd, bool for_write, std::int64_t timeout_ms);

// Whole milliseconds left until the deadline (negative once it has passed).
std::int64_t remaining_ms(Deadline deadline);

// errno of the last failed call as an error code.
std::error_code last_socket_error();

}  // namespace vx::network
