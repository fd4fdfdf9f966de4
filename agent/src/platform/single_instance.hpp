#pragma once

#include <filesystem>

namespace vx::platform {

enum class InstanceLockState {
    acquired,        // this process is the only agent
    held_elsewhere,  // another agent holds the lock
    unavailable,     // the lock could not be taken at all; `error()` says why
};

// The one-agent-per-user guard: an exclusive `flock` on "agent.lock" in the given folder (created
// when missing). The lock lives as long as this object (or the process) and is never inherited by
// child processes.
class SingleInstanceLock {
  public:
    // Tries once and never waits.
    static SingleInstanceLock try_acquire(const std::filesystem::path& folder);

    SingleInstanceLock() = default;
    SingleInstanceLock(SingleInstanceLock&& other) noexcept;
    SingleInstanceLock& operator=(SingleInstanceLock&& other) noexcept;
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;
    ~SingleInstanceLock();

    InstanceLockState state() const { return state_; }
    int error() const { return error_; }  // errno of the failure when unavailable

  private:
    void release();

    int fd_ = -1;
    InstanceLockState state_ = InstanceLockState::unavailable;
    int error_ = 0;
};

}  // namespace vx::platform
