#include "platform/process_launch.hpp"
#include "platform/thread_name.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <system_error>
#include <thread>

extern char** environ;

namespace vx::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Without pidfd_open (kernels before 5.3) the wait looks again at this pace.
constexpr std::chrono::milliseconds kFallbackPollStep{10};

class SpawnSetup {
  public:
    SpawnSetup() {
        ::posix_spawn_file_actions_init(&actions_);
        ::posix_spawnattr_init(&attributes_);
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions_);
        ::posix_spawnattr_destroy(&attributes_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // stdin from `stdin_fd` (or /dev/null when it is negative), stdout and stderr on /dev/null,
    // nothing else open; own session, no blocked signals, every action back to its default (the
    // agent ignores SIGPIPE, and an ignored signal would stay ignored across exec).
    int prepare(int stdin_fd) {
        int rc = stdin_fd >= 0
                     ? ::posix_spawn_file_actions_adddup2(&actions_, stdin_fd, STDIN_FILENO)
                     : ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null",
                                                          O_RDONLY, 0);
        for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
            rc = rc != 0
                     ? rc
                     : ::posix_spawn_file_actions_addopen(&actions_, fd, "/dev/null", O_WRONLY, 0);
        }
        rc =
            rc != 0 ? rc : ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
        sigset_t none;
        sigset_t all;
        ::sigemptyset(&none);
        ::sigfillset(&all);
        rc = rc != 0 ? rc : ::posix_spawnattr_setsigmask(&attributes_, &none);
        rc = rc != 0 ? rc : ::posix_spawnattr_setsigdefault(&attributes_, &all);
        return rc != 0 ? rc
                       : ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK |
                                                                      POSIX_SPAWN_SETSIGDEF |
                                                                      POSIX_SPAWN_SETSID);
    }

    int spawn(const ProcessRequest& request, pid_t& pid) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(request.path.c_str()));
        for (const std::string& arg : request.args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        return ::posix_spawn(&pid, request.path.c_str(), &actions_, &attributes_, argv.data(),
                             environ);
    }

  private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

// Writes the stdin text without ever blocking, then closes the pipe so the child sees the end.
class StdinFeeder {
  public:
    StdinFeeder(int fd, const std::string* text) : fd_(fd), text_(text) {
        if (fd_ >= 0) {
            ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
            if (text_ == nullptr || text_->empty()) {
                close();
            }
        }
    }
    ~StdinFeeder() { close(); }
    StdinFeeder(const StdinFeeder&) = delete;
    StdinFeeder& operator=(const StdinFeeder&) = delete;

    int fd() const { return fd_; }

    void write_some() {
        const ssize_t n = ::write(fd_, text_->data() + written_, text_->size() - written_);
        if (n > 0) {
            written_ += static_cast<std::size_t>(n);
        }
        if (written_ == text_->size() || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            close();  // done, or the child stopped reading (EPIPE)
        }
    }

    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_;
    const std::string* text_;
    std::size_t written_ = 0;
};

// A child that stops reading its stdin makes our write raise SIGPIPE, which would end a process
// that does not ignore it. Blocked for the feeding, and a SIGPIPE that became pending meanwhile is
// taken before the old mask returns.
class SigpipeBlock {
  public:
    SigpipeBlock() {
        ::sigemptyset(&pipe_);
        ::sigaddset(&pipe_, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeBlock() {
        if (::sigismember(&old_, SIGPIPE) == 0) {
            const timespec zero{0, 0};
            while (::sigtimedwait(&pipe_, nullptr, &zero) == SIGPIPE) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  private:
    sigset_t pipe_;
    sigset_t old_;
};

class FdCloser {
  public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

bool reap_now(pid_t pid, int& status) {
    pid_t r;
    do {
        r = ::waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    return r == pid;
}

void reap_blocking(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Waits until the child ends or the deadline passes, feeding its stdin meanwhile.
bool wait_for_exit(pid_t pid, StdinFeeder& feeder, Clock::time_point deadline, int& status) {
    const FdCloser exit_fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    for (;;) {
        if (reap_now(pid, status)) {
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd fds[2];
        nfds_t count = 0;
        if (exit_fd.get() >= 0) {
            fds[count++] = {exit_fd.get(), POLLIN, 0};
        }
        const nfds_t feeder_slot = count;
        if (feeder.fd() >= 0) {
            fds[count++] = {feeder.fd(), POLLOUT, 0};
        }
        const auto step = exit_fd.get() >= 0 ? left : std::min(left, kFallbackPollStep);
        if (::poll(fds, count, static_cast<int>(step.count())) > 0 && feeder_slot < count &&
            fds[feeder_slot].revents != 0) {
            feeder.write_some();
        }
    }
}

ProcessOutcome finished(pid_t pid, int status) {
    ProcessOutcome out;
    out.pid = pid;
    if (WIFSIGNALED(status)) {
        out.state = ProcessState::signalled;
        out.status = WTERMSIG(status);
    } else {
        out.state = ProcessState::exited;
        out.status = WEXITSTATUS(status);
    }
    return out;
}

// The child of PreparedStart::start, between the copy of this process and the program: only raw
// system calls, because the copy may have been made inside a signal handler, and the C library's
// (or a sanitizer's) wrappers may wait for locks that another thread of ours held at that moment.
[[noreturn]] void exec_prepared(const char* path, char* const* argv) noexcept {
    ::syscall(SYS_setsid);
    // Every action back to its default (an ignored signal would stay ignored across exec), no
    // signal blocked. The kernel's own layout of a signal action: handler, flags, restorer, mask.
    struct {
        void* handler;
        unsigned long flags;
        void* restorer;
        std::uint64_t mask;
    } default_action{nullptr, 0, nullptr, 0};  // SIG_DFL
    for (int signal_number = 1; signal_number <= 64; ++signal_number) {
        ::syscall(SYS_rt_sigaction, signal_number, &default_action, nullptr, sizeof(std::uint64_t));
    }
    const std::uint64_t no_signals = 0;
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &no_signals, nullptr, sizeof no_signals);
    const long null_fd = ::syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR);
    for (long fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (null_fd >= 0 && null_fd != fd) {
            ::syscall(SYS_dup3, null_fd, fd, 0);
        }
    }
    if (::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, 0) != 0) {
        rlimit limit{};
        ::syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &limit);
        for (rlim_t fd = STDERR_FILENO + 1; fd < limit.rlim_cur && fd < (1u << 20); ++fd) {
            ::syscall(SYS_close, fd);
        }
    }
    ::syscall(SYS_execve, path, argv, environ);
    ::syscall(SYS_exit_group, 127);
    __builtin_unreachable();
}

}  // namespace

void reap_when_ended(pid_t pid) {
    try {
        std::thread([pid] {
            name_this_thread("vx-reaper");
            reap_blocking(pid);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the child is reaped when the agent ends.
    }
}

PreparedStart::PreparedStart(ProcessRequest request) : request_(std::move(request)) {
    argv_.push_back(request_.path.data());
    for (std::string& arg : request_.args) {
        argv_.push_back(arg.data());
    }
    argv_.push_back(nullptr);
}

pid_t PreparedStart::start() const noexcept {
    // A copy of this process without its other threads, as fork makes, but without fork's
    // handlers (the C library's and the sanitizers'), which take locks.
    const long pid = ::syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, 0);
    if (pid == 0) {
        exec_prepared(request_.path.c_str(), argv_.data());
    }
    return pid > 0 ? static_cast<pid_t>(pid) : -1;
}

ProcessOutcome wait_for_child(pid_t pid, std::chrono::milliseconds wait) noexcept {
    constexpr long long kStepNs = 10'000'000;
    const auto now_ns = [] {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    };
    const long long deadline_ns = now_ns() + static_cast<long long>(wait.count()) * 1'000'000;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return finished(pid, status);
        }
        ProcessOutcome out;
        out.pid = pid;
        if (done < 0 && errno != EINTR) {
            out.error = errno;  // not a child of ours (any more)
            return out;
        }
        const long long left_ns = deadline_ns - now_ns();
        if (left_ns <= 0) {
            out.state = ProcessState::running;
            return out;
        }
        const timespec step{0, static_cast<long>(left_ns < kStepNs ? left_ns : kStepNs)};
        ::nanosleep(&step, nullptr);
    }
}

ProcessOutcome run_process(const ProcessRequest& request, std::chrono::milliseconds wait,
                           OnTimeout on_timeout) {
    ProcessOutcome out;
    if (request.path.empty() || request.path.front() != '/') {
        out.error = EINVAL;
        return out;
    }
    int pipe_fds[2] = {-1, -1};
    if (request.stdin_text && ::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        out.error = errno;
        return out;
    }
    const SigpipeBlock sigpipe_blocked;
    StdinFeeder feeder(pipe_fds[1], request.stdin_text ? &*request.stdin_text : nullptr);
    pid_t pid = 0;
    {
        // A descriptor below 3 would be overwritten by the stdio set-up before its dup2.
        const FdCloser read_end(pipe_fds[0] >= 0 && pipe_fds[0] <= STDERR_FILENO
                                    ? ::fcntl(pipe_fds[0], F_DUPFD_CLOEXEC, STDERR_FILENO + 1)
                                    : pipe_fds[0]);
        if (read_end.get() != pipe_fds[0]) {
            ::close(pipe_fds[0]);
        }
        SpawnSetup setup;
        int rc = setup.prepare(read_end.get());
        rc = rc != 0 ? rc : setup.spawn(request, pid);
        if (rc != 0) {
            out.error = rc;
            return out;
        }
    }
    int status = 0;
    if (wait_for_exit(pid, feeder, Clock::now() + wait, status)) {
        return finished(pid, status);
    }
    feeder.close();
    out.pid = pid;
    if (on_timeout == OnTimeout::kill) {
        ::kill(-pid, SIGKILL);  // its own process group: whatever it started goes too
        ::kill(pid, SIGKILL);
        reap_blocking(pid);
        out.state = ProcessState::killed;
    } else {
        reap_when_ended(pid);
        out.state = ProcessState::running;
    }
    return out;
}

std::string ProcessOutcome::describe() const {
    switch (state) {
        case ProcessState::not_started:
            return std::system_category().message(error);
        case ProcessState::exited:
            return "exit status " + std::to_string(status);
        case ProcessState::signalled:
            return "ended by signal " + std::to_string(status);
        case ProcessState::killed:
            return "killed after the wait";
        case ProcessState::running:
            return "still running after the wait";
    }
    return {};
}

std::string find_in_path(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) {
        return {};
    }
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = dirs.substr(start, end - start);
        start = end + 1;
        if (dir.empty() || dir.front() != '/') {
            continue;  // a relative folder would depend on where the agent was started
        }
        const std::string candidate = dir + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

}  // namespace vx::platform
