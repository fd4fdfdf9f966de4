#include "platform/wake_event.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace vx::platform {

WakeEvent::WakeEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) {
        throw std::system_error(errno, std::system_category(), "eventfd");
    }
}

WakeEvent::~WakeEvent() {
    ::close(fd_);
}

void WakeEvent::signal() const noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

void WakeEvent::clear() const noexcept {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
}

void WakeEvent::wait(int fd, std::chrono::milliseconds limit) const {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {fd, POLLIN, 0}};
    ::poll(fds, fd >= 0 ? 2 : 1, static_cast<int>(limit.count()));
}

}  // namespace vx::platform
