#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/console.hpp"

namespace vx::platform {
namespace {

constexpr std::size_t kMaxPiece = 1'048'576;

std::atomic<int> g_saved_stderr{-1};

// The terminal whose modes are saved, -1 for none. Static storage, written before the fd is
// published: the crash path reads both without a lock.
std::atomic<int> g_quiet_fd{-1};
termios g_saved_modes{};

std::mutex g_stop_mutex;
bool g_stop_saved = false;
struct sigaction g_saved_stop_action {};

}  // namespace

void open_missing_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number: this one, as the ones below it are open by now.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened > fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

bool write_fd(int fd, const char* data, std::size_t size) {
    if (fd < 0) {
        errno = EBADF;
        return false;
    }
    while (size > 0) {
        const ssize_t n = ::write(fd, data, std::min(size, kMaxPiece));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A terminal's open file is shared by every program on it, and one of them may have
            // made it non-blocking: a full buffer must not cost the rest of a frame or the
            // sequence that leaves the alternate screen. Waits as a blocking write would.
            pollfd ready{fd, POLLOUT, 0};
            if (::poll(&ready, 1, -1) < 0 && errno != EINTR) {
                return false;
            }
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool write_console(const char* data, std::size_t size) {
    return write_fd(STDOUT_FILENO, data, size);
}

bool write_error_console(std::string_view bytes) {
    return write_fd(STDERR_FILENO, bytes.data(), bytes.size());
}

bool stdout_is_terminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

bool terminal_is_dumb(const char* term) {
    return term == nullptr || term[0] == '\0' || std::strcmp(term, "dumb") == 0;
}

ConsoleSize console_size() {
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0 || ws.ws_row == 0) {
        return {};
    }
    return {ws.ws_col, ws.ws_row};
}

void ignore_terminal_stop() {
    std::lock_guard lock(g_stop_mutex);
    if (g_stop_saved) {
        return;
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    g_stop_saved = ::sigaction(SIGTSTP, &ignore, &g_saved_stop_action) == 0;
}

void restore_terminal_stop() {
    std::lock_guard lock(g_stop_mutex);
    if (g_stop_saved) {
        ::sigaction(SIGTSTP, &g_saved_stop_action, nullptr);
        g_stop_saved = false;
    }
}

bool quiet_terminal_input(int fd) {
    if (g_quiet_fd.load() >= 0) {
        return true;
    }
    if (::isatty(fd) != 1) {
        return false;
    }
    const pid_t foreground = ::tcgetpgrp(fd);
    if (foreground >= 0 && foreground != ::getpgrp()) {
        return false;
    }
    if (::tcgetattr(fd, &g_saved_modes) != 0) {
        return false;
    }
    termios quiet = g_saved_modes;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
    // Ctrl+S would stop the output: the drawing thread would then block in its write, and a
    // stop would wait for it until somebody typed Ctrl+Q.
    quiet.c_iflag &= ~static_cast<tcflag_t>(IXON);
    if (::tcsetattr(fd, TCSANOW, &quiet) != 0) {
        return false;
    }
    g_quiet_fd.store(fd);
    return true;
}

bool quiet_console_input() {
    return quiet_terminal_input(STDOUT_FILENO);
}

void restore_terminal_input() {
    const int fd = g_quiet_fd.exchange(-1);
    if (fd >= 0) {
        // TCSANOW, not TCSAFLUSH: a terminal that stopped reading must not hold a crash.
        ::tcflush(fd, TCIFLUSH);
        ::tcsetattr(fd, TCSANOW, &g_saved_modes);
    }
}

void divert_stderr(const char* path) {
    if (g_saved_stderr.load() >= 0 || ::isatty(STDERR_FILENO) != 1) {
        return;
    }
    int target = -1;
    if (path != nullptr && path[0] != '\0') {
        target = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    if (target < 0) {
        target = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    const int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (target < 0 || saved < 0 || ::dup2(target, STDERR_FILENO) < 0) {
        if (saved >= 0) {
            ::close(saved);
        }
    } else {
        g_saved_stderr.store(saved);
    }
    if (target >= 0) {
        ::close(target);
    }
}

void restore_stderr() {
    const int saved = g_saved_stderr.exchange(-1);
    if (saved >= 0) {
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
    }
}

}  // namespace vx::platform
