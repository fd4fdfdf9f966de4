#include "platform/single_instance.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace vx::platform {

SingleInstanceLock SingleInstanceLock::try_acquire(const std::filesystem::path& folder) {
    SingleInstanceLock lock;
    std::error_code ec;
    if (folder.empty()) {
        lock.error_ = ENOENT;
        return lock;
    }
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        lock.error_ = ec.value();
        return lock;
    }
    const std::filesystem::path file = folder / "agent.lock";
    lock.fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock.fd_ < 0) {
        lock.error_ = errno;
        return lock;
    }
    int rc = 0;
    do {
        rc = ::flock(lock.fd_, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        lock.state_ = InstanceLockState::acquired;
        return lock;
    }
    lock.error_ = errno;
    lock.state_ = lock.error_ == EWOULDBLOCK ? InstanceLockState::held_elsewhere
                                             : InstanceLockState::unavailable;
    lock.release();
    return lock;
}

SingleInstanceLock::SingleInstanceLock(SingleInstanceLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), state_(other.state_), error_(other.error_) {}

SingleInstanceLock& SingleInstanceLock::operator=(SingleInstanceLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        state_ = other.state_;
        error_ = other.error_;
    }
    return *this;
}

SingleInstanceLock::~SingleInstanceLock() {
    release();
}

void SingleInstanceLock::release() {
    if (fd_ >= 0) {
        ::close(fd_);  // closing the last descriptor drops the lock
        fd_ = -1;
    }
}

}  // namespace vx::platform
