#include "traversal/router/http/socket_fd.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vx::network {

SocketFd::~SocketFd() {
    if (fd_ >= 0)
        ::close(fd_);
}

SocketFd& SocketFd::operator=(SocketFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

int SocketFd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

SocketFd open_socket(int family, int type, std::error_code& error) {
    const int fd = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        error = last_socket_error();
    return SocketFd(fd);
}

bool wait_socket(int fd, bool for_write, std::int64_t timeout_ms) {
    pollfd entry{fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    const int wait = static_cast<int>(std::clamp<std::int64_t>(timeout_ms, 0, 60'000));
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, wait);
    } while (ready < 0 && errno == EINTR);
    // An error or hang-up counts as ready: the next call on the socket reports what happened.
    return ready > 0;
}

std::int64_t remaining_ms(Deadline deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now())
        .count();
}

std::error_code last_socket_error() {
    return {errno, std::system_category()};
}

}  // namespace vx::network
